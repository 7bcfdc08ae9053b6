// The About box: installed components (from the installers' name and version files in the
// service's data folder) and, in debug mode, the program versions.
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>

#include "common/codec.h"
#include "common/system.h"
#include "common/log.h"
#include "common/text.h"
#include "monitor/monitor.h"

std::atomic<UINT> codePage{65001};
std::atomic<unsigned char> aboutMayShow{1};
wchar_t componentList[kMonitorText];

namespace {

constexpr size_t kFileText = 511;

// The whole file in the component files' code page, cut to 511 bytes.
void readComponentText(const wchar_t* path, wchar_t* out) {
    out[0] = L'\0';
    char* text = path ? readWholeFile(path) : nullptr;
    if (text == nullptr) return;
    if (strlen(text) > kFileText) text[kFileText] = '\0';
    if (MultiByteToWideChar(codePage.load(), 0, text, -1, out, (int)kMonitorText) <= 0) out[0] = L'\0';
    out[kMonitorText - 1] = L'\0';
    free(text);
}

void replaceInto(wchar_t* text, const wchar_t* from, const wchar_t* to) {
    wchar_t* replaced = replaceAllWide(text, from, to, codePage.load());
    if (replaced != nullptr) copyBoundedWAndFree(text, kMonitorText, replaced);
}

}  // namespace

void readComponentInfo(const wchar_t* path) {
    if (path == nullptr) return;
    wchar_t* versionPath = replaceAllWide(path, L"DisplayName.txt", L"Version.txt", codePage.load());
    wchar_t name[kMonitorText];
    wchar_t version[kMonitorText];
    wchar_t label[kMonitorText];
    codePage.store(CP_BIG5);
    readComponentText(path, name);
    readComponentText(versionPath, version);
    codePage.store(CP_UTF8);
    free(versionPath);
    uiTextCopy(24, label);
    std::wstring joined = std::wstring(name) + L" " + label + version + L" \n";
    wchar_t line[kMonitorText];
    copyBoundedW(line, kMonitorText, joined.c_str());
    // The list keeps what fits in its 512 characters; later lines are cut, never written past it.
    appendWideText(componentList, line);
}

void scanInstalledComponents(const wchar_t* folder) {
    if (folder == nullptr) {
        reportNullParameter("dirn", __FILE__, __LINE__);
        return;
    }
    if (componentList[0] != L'\0') return;
    wchar_t pattern[kMonitorText];
    if (swprintf(pattern, kMonitorText, L"%ls\\*", folder) < 0) return;  // too deep to list
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW(pattern, &entry);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        if (!wcscmp(entry.cFileName, L".") || !wcscmp(entry.cFileName, L"..")) continue;
        wchar_t full[kMonitorText];
        if (swprintf(full, kMonitorText, L"%ls%ls%ls", folder, L"\\", entry.cFileName) < 0) continue;
        char* narrow = wideToUtf8(full);
        if (isDisplayNameFile(narrow)) readComponentInfo(full);
        free(narrow);
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) scanInstalledComponents(full);
    } while (FindNextFileW(find, &entry));
    FindClose(find);
}

void ShowMonitorAbout() {
    unsigned char expected = 1;
    if (!aboutMayShow.compare_exchange_strong(expected, 0)) return;  // one About box at a time
    buildLanguageTexts();
    wchar_t text[kMonitorText];
    uiTextCopy(debugMode.load() ? 27 : 1, text);
    replaceInto(text, L"=TessarionName=", L"" TESSARION_NAME);
    replaceInto(text, L"=ServerVersion=", L"1.0.21.0630");
    replaceInto(text, L"=MonitorVersion=", L"1.0.20.0309");
    componentList[0] = L'\0';
    wchar_t* folder = getFolderPath("KVLBTessarionMain");
    scanInstalledComponents(folder);
    free(folder);
    replaceInto(text, L"=InstallerVersion=", componentList);
    registerCheatCodes();
    MSGBOXPARAMSW box = {};
    box.cbSize = sizeof box;
    box.hwndOwner = nullptr;
    box.hInstance = GetModuleHandleW(nullptr);
    box.lpszText = text;
    box.lpszCaption = ABOUT_CAPTION;
    box.dwStyle = MB_USERICON | MB_SETFOREGROUND;
    box.lpszIcon = MAKEINTRESOURCEW(kIconStart);
    MessageBoxIndirectW(&box);
    aboutMayShow.store(1);
}
