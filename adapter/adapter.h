// The signing adapter KvlbTokenAdapter.dll inside: its process-wide state (one per loaded copy of
// the library), the function registry, the request getters with the argument key check, and the
// component binding. Only callMethod and callJsonMapMethod leave the library.
#pragma once

#include <cstdint>

#include "adapter/adapter_version.h"
#include "common/json_map.h"
#include "common/result_codes.h"
#include "component/signing_component.h"
#include "platform/bstr.h"

#define ADAPTER_TAG "KvlbTokenAdapter"

typedef void (*adapterHandler)(JsonMap* map);

// ---- the function registry ------------------------------------------------------------------
#define ADAPTER_NAME_SIZE 128
#define ADAPTER_MAP_CAPACITY 1024

struct AdapterMapEntry {
    char name[ADAPTER_NAME_SIZE];
    adapterHandler handler;
};

struct AdapterMap {
    AdapterMapEntry entries[ADAPTER_MAP_CAPACITY];
    int32_t count;
};

AdapterMap* newAdapterMap();
void addAdapterFunction(adapterHandler handler, const char* name);
int compareAdapterName(const char* inputA, const char* inputB);
int compareAdapterKey(const AdapterMapEntry* entry, const char* name);
adapterHandler BinarySearchTessarionAdapterMap(const AdapterMap* map, const char* name, int low, int high);
adapterHandler findAdapterFunction(const char* name);
void sortAdapterMap(AdapterMap* map);

// ---- state of this copy of the adapter ------------------------------------------------------
extern char* adapterResult;
extern unsigned char adapterInitialized;
extern ISigningComponent* componentInterface;
extern AdapterMap* adapterMap;
extern AdapterMapEntry* adapterIndexTable;
extern int componentFunctionCount;
extern int32_t keyCheckError;

// Replaces adapterResult by a copy of text (NULL leaves no result).
void setAdapterResult(const char* text);
// Replaces adapterResult by text, taking it over.
void takeAdapterResult(char* text);
// Replaces adapterResult by the code as decimal text, the way a page reads every result code.
void setAdapterCode(int code);

bool initAdapter();
void dispatchAdapterFunction(JsonMap* map, const char* name);
void Tessarion_Unlock(JsonMap* map);
void Tessarion_GetVersion(JsonMap* map);
void Tessarion_Release(JsonMap* map);

// ---- request getters with the argument key check --------------------------------------------
// While keyCheckMode is set, a key that the map lacks (and whose name holds neither "Tessarion"
// nor "topui") sets keyCheckError to kResultMissingKey.
void noteMissingKey(const JsonMap* map, const char* key);
// Decoded value as text (owned by the caller), NULL when absent.
char* getCheckedJsonText(const JsonMap* map, const char* key);
// "true" 1, "false" 0 (case ignored), else the leading decimal integer clamped to 32 bits; 0 when
// absent.
int32_t getJsonInt(const JsonMap* map, const char* key);
// The decoded value converted from UTF-8; an empty holder when absent.
_bstr_t getJsonBstr(const JsonMap* map, const char* key);

// ---- component binding ----------------------------------------------------------------------
HRESULT createComponent();
// Registers the 68 component functions in function-index order.
void registerComponentFunctions();
// New texts of the decimal number, or NULL.
char* intToText(int number);
char* numberToText(int number);
// New UTF-8 text of the holder's string, NULL for a NULL or empty string; releases the holder.
char* bstrHolderToUtf8(_bstr_t& holder);
