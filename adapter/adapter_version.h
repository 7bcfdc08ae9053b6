// The adapter's version, for its code and its Windows version resource (which the resource
// compiler reads, so this file holds nothing but macros).
#pragma once

#define ADAPTER_VERSION "1,0,20,907"
#define ADAPTER_VERSION_NUMBERS 1, 0, 20, 907
