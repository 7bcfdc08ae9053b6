// The service's process-wide values, defined once here.
#include "service/service_state.h"

wchar_t copyPath[MAX_PATH];
wchar_t dataFolder[MAX_PATH];
wchar_t programFolder[MAX_PATH];
DWORD ownProcessId;
unsigned char stopFlag;
