// The request dispatcher: finds or opens the caller's session, answers the service's own
// commands and passes every other function to the session's adapter.
#pragma once
#include "common/json_map.h"

// New reply map (the caller frees it after serialising), or NULL when there is nothing to send.
JsonMap* dispatchRequest(JsonMap* request, const char* origin);
