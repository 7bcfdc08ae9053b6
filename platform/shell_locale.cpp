// Shell folders by CSIDL, and the C runtime's locale names as the Windows runtime gives them.
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/root.h"
#include "platform/win_internal.h"
#include "platform/win_shell.h"

BOOL SHGetSpecialFolderPathW(HWND, LPWSTR path, int csidl, BOOL create) {
    if (path == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    path[0] = L'\0';
    if (FAILED(SHGetFolderPathW(nullptr, csidl, nullptr, 0, path)) || path[0] == L'\0') return FALSE;
    if (create && GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES) CreateDirectoryW(path, nullptr);
    return TRUE;
}

BOOL SHGetSpecialFolderPathA(HWND owner, LPSTR path, int csidl, BOOL create) {
    if (path == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    path[0] = '\0';
    wchar_t wide[MAX_PATH] = {};
    if (!SHGetSpecialFolderPathW(owner, wide, csidl, create)) return FALSE;
    return WideCharToMultiByte(CP_UTF8, 0, wide, -1, path, MAX_PATH, nullptr, nullptr) > 0 ? TRUE : FALSE;
}

namespace {

struct LocaleName {
    const char* posix;  // language_TERRITORY, or the language alone as a fallback
    const char* windows;
};

const LocaleName kLocales[] = {
    {"zh_TW", "Chinese (Traditional)_Taiwan.950"},
    {"zh_HK", "Chinese (Traditional)_Hong Kong SAR.950"},
    {"zh_MO", "Chinese (Traditional)_Macao SAR.950"},
    {"zh_CN", "Chinese (Simplified)_China.936"},
    {"zh_SG", "Chinese (Simplified)_Singapore.936"},
    {"en_US", "English_United States.1252"},
    {"en_GB", "English_United Kingdom.1252"},
    {"en_AU", "English_Australia.1252"},
    {"en_CA", "English_Canada.1252"},
    {"ja_JP", "Japanese_Japan.932"},
    {"ko_KR", "Korean_Korea.949"},
    {"de_DE", "German_Germany.1252"},
    {"fr_FR", "French_France.1252"},
    {"es_ES", "Spanish_Spain.1252"},
    {"it_IT", "Italian_Italy.1252"},
    {"zh", "Chinese (Simplified)_China.936"},
    {"en", "English_United States.1252"},
    {"ja", "Japanese_Japan.932"},
    {"ko", "Korean_Korea.949"},
    {"de", "German_Germany.1252"},
    {"fr", "French_France.1252"},
    {"es", "Spanish_Spain.1252"},
    {"it", "Italian_Italy.1252"},
};

bool looksPosix(const std::string& name) {
    if (name == "C" || name == "POSIX") return true;
    size_t i = 0;
    while (i < name.size() && name[i] >= 'a' && name[i] <= 'z') ++i;
    if (i < 2 || i > 3) return false;
    return i == name.size() || name[i] == '_' || name[i] == '.' || name[i] == '@';
}

// "ll_CC.encoding@modifier" -> the Windows name; a name that is not of the POSIX form is taken
// as a Windows name already.
std::string windowsName(const std::string& name) {
    if (!looksPosix(name)) return name;
    std::string base = name.substr(0, name.find_first_of(".@"));
    if (base == "C" || base == "POSIX") return "C";
    for (auto& l : kLocales)
        if (base == l.posix) return l.windows;
    std::string language = base.substr(0, base.find('_'));
    for (auto& l : kLocales)
        if (language == l.posix) return l.windows;
    return "C";
}

std::string userDefault() {
    std::string fromRoot = platform::setting("locale", "");
    if (!fromRoot.empty()) return windowsName(fromRoot);
    for (const char* variable : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const char* value = getenv(variable);
        if (value && *value) return windowsName(value);
    }
    return "C";
}

std::mutex g_localeLock;
std::string& g_locale = platform::keptState<std::string>("C");

}  // namespace

const char* winSetlocale(int, const char* locale) {
    std::lock_guard<std::mutex> l(g_localeLock);
    if (locale == nullptr) return g_locale.c_str();
    std::string name = locale[0] == '\0' ? userDefault() : windowsName(locale);
    g_locale = name;
    return g_locale.c_str();
}
