// The path table's one row and its two lookups: by PathID, and by adapter folder and name.
#include "service/path_table.h"

#include "common/log.h"
#include "common/text.h"

namespace {

struct PathRow {
    const char* pathId;
    const char* libDir;
    const char* comName;
};

const PathRow kPathTable = {"5D0E7B21C48A4F93B6E2D7150A9C3F68", "KVLB", "KvlbTokenAdapter"};

}  // namespace

bool resolvePathId(const char* pathId, char* libDir, char* comName) {
    if (!pathId) {
        reportNullParameter("PathID", "TessarionQueue", __LINE__);
        return false;
    }
    if (!libDir) {
        reportNullParameter("LibDir", "TessarionQueue", __LINE__);
        return false;
    }
    if (!comName) {
        reportNullParameter("ComName", "TessarionQueue", __LINE__);
        return false;
    }
    if (!equalsAsciiNoCase(pathId, kPathTable.pathId)) return false;
    copyBounded(libDir, kPathFieldSize, kPathTable.libDir);
    copyBounded(comName, kPathFieldSize, kPathTable.comName);
    return true;
}

bool checkPathTable(const char* libDir, const char* comName) {
    if (!libDir) {
        reportNullParameter("LibDir", "TessarionQueue", __LINE__);
        return false;
    }
    if (!comName) {
        reportNullParameter("ComName", "TessarionQueue", __LINE__);
        return false;
    }
    bool match =
        equalsAsciiNoCase(libDir, kPathTable.libDir) && equalsAsciiNoCase(comName, kPathTable.comName);
    logWarning("Path table compare: ", match ? "Success" : "Fail");
    logWarning("Lib: ", kPathTable.libDir);
    logWarning("Component: ", kPathTable.comName);
    return match;
}
