// Hostile request texts: parse, look up, decode by flags, dump and serialise every map.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common/json_map.h"
#include "common/log.h"
#include "common/request_values/value_flags.h"
#include "common/request_values/value_getters.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    char* text = static_cast<char*>(malloc(size + 1));
    if (text == nullptr) return 0;
    memcpy(text, data, size);
    text[size] = '\0';
    // The dump walks the map only while logging is on; the writer stays off, so nothing is written.
    logEnabled.store(1);
    JsonMap* map = parseJsonMap(text);
    if (map != nullptr) {
        for (int i = 0; i < map->count; ++i) {
            free(getJsonMapValue(map, map->entries[i].key));
            free(BinarySearchTessarionJsonMap(map, 0, map->count - 1, map->entries[i].key));
        }
        getModeFlag(map);
        getTimeoutFlag(map);
        isJsonFlagTrue(map, "AdapterJsonKeyCheck");
        displayParameters(map);
        free(serializeJsonMap(map));
        setJsonValue(map, text, "x");
        setJsonResult(map, -1);
        free(serializeJsonMap(map));
        freeJsonMap(map);
    }
    logEnabled.store(0);
    free(text);
    return 0;
}
