// The function registry: a fixed table of names and handlers, sorted once after registration
// so that a lookup is a binary search under one case-insensitive name order.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "adapter/adapter.h"
#include "common/log.h"
#include "common/text.h"

int compareAdapterName(const char* inputA, const char* inputB) {
    if (inputA == nullptr) {
        reportNullParameter("inputA", "Adapter", 21);
        return 100;
    }
    if (inputB == nullptr) {
        reportNullParameter("inputB", "Adapter", 22);
        return 100;
    }
    return compareAsciiNoCase(inputA, inputB);
}

int compareAdapterKey(const AdapterMapEntry* entry, const char* name) {
    if (entry == nullptr) {
        reportNullParameter("inputA", "Adapter", 63);
        return 100;
    }
    if (name == nullptr) {
        reportNullParameter("inputB", "Adapter", 64);
        return 100;
    }
    // The searched name is cut as registered names are.
    char* cut = static_cast<char*>(allocZeroed(ADAPTER_NAME_SIZE));
    if (cut == nullptr) {
        reportAllocFail("Adapter", 67);
        return 100;
    }
    copyBounded(cut, ADAPTER_NAME_SIZE, name);
    int order = compareAsciiNoCase(entry->name, cut);
    free(cut);
    return order;
}

AdapterMap* newAdapterMap() {
    AdapterMap* map = static_cast<AdapterMap*>(allocZeroed(sizeof(AdapterMap)));
    if (map == nullptr) reportAllocFail("Adapter", 84);
    return map;
}

void addAdapterFunction(adapterHandler handler, const char* name) {
    if (adapterMap == nullptr) {
        reportNullParameter("inputAdapterMap", "Adapter", 103);
        return;
    }
    if (name == nullptr) {
        reportNullParameter("inputFunctionName", "Adapter", 104);
        return;
    }
    for (int i = 0; i < adapterMap->count; ++i) {
        if (compareAsciiNoCase(adapterMap->entries[i].name, name) == 0) {
            logWarning("Function name already exist: ", name);
            return;
        }
    }
    if (adapterMap->count >= ADAPTER_MAP_CAPACITY) {
        logWarning("Function map is full: ", name);
        return;
    }
    AdapterMapEntry& entry = adapterMap->entries[adapterMap->count];
    copyBounded(entry.name, ADAPTER_NAME_SIZE, name);
    entry.handler = handler;
    adapterMap->count += 1;
    logNormal("Enable adapter func: ", name);
}

void sortAdapterMap(AdapterMap* map) {
    if (map == nullptr) return;
    std::sort(map->entries, map->entries + map->count,
              [](const AdapterMapEntry& a, const AdapterMapEntry& b) {
                  return compareAsciiNoCase(a.name, b.name) < 0;
              });
}

adapterHandler BinarySearchTessarionAdapterMap(const AdapterMap* map, const char* name, int low, int high) {
    if (map == nullptr || name == nullptr || map->count <= 0) return nullptr;
    while (true) {
        if (low < 0 || high >= map->count || low > high) return nullptr;
        int mid = low + (high - low) / 2;
        const AdapterMapEntry& entry = map->entries[mid];
        // The whole name must match; compareAdapterKey below only sees its first 127 characters.
        if (compareAsciiNoCase(entry.name, name) == 0) return entry.handler;
        if (low >= high) return nullptr;
        int order = compareAdapterKey(&entry, name);
        if (order == -1) {
            if (mid + 1 >= map->count) return nullptr;
            low = mid + 1;
        } else if (order == 1) {
            if (mid - 1 < 0) return nullptr;
            high = mid - 1;
        } else {
            logWarning("BinarySearchTessarionAdapterMap Compare_Same!", "");
            return nullptr;
        }
    }
}

adapterHandler findAdapterFunction(const char* name) {
    if (adapterMap == nullptr) {
        reportNullParameter("inputTessarionJson", "Adapter", 175);
        return nullptr;
    }
    if (name == nullptr) {
        reportNullParameter("inputTargetKey", "Adapter", 176);
        return nullptr;
    }
    return BinarySearchTessarionAdapterMap(adapterMap, name, 0, adapterMap->count - 1);
}
