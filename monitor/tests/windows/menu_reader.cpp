// A hook DLL that reads the monitor's open popup menu from inside the monitor's process. The probe
// hooks the monitor's window thread with it: Wine keeps a menu's items in the process that made
// it, so GetMenuItemInfoW on another process's menu finds nothing there (on Windows it would).
// On the probe's registered message the hook finds the thread's open menu window, asks it for its
// menu (MN_GETHMENU) and writes the items, one per line, into the probe's shared memory.
#include <windows.h>

#include <cwchar>
#include <string>

namespace {

const wchar_t kShared[] = L"KVLBProbeMenuItems";
const size_t kSharedChars = 16384;

BOOL CALLBACK findMenuWindow(HWND w, LPARAM p) {
    wchar_t name[32] = L"";
    GetClassNameW(w, name, 32);
    if (wcscmp(name, L"#32768") == 0 && IsWindowVisible(w)) {
        *reinterpret_cast<HWND*>(p) = w;
        return FALSE;
    }
    return TRUE;
}

// "<id>\t<flags>\t<text>" per item, where flags are C (checked), S (separator), P (popup, whose
// items follow with a leading tab, then a line "\tend").
void describe(HMENU menu, const std::wstring& indent, std::wstring& out) {
    int count = GetMenuItemCount(menu);
    for (int i = 0; i < count; ++i) {
        wchar_t text[512] = L"";
        MENUITEMINFOW info = {};
        info.cbSize = sizeof info;
        info.fMask = MIIM_ID | MIIM_STRING | MIIM_FTYPE | MIIM_STATE | MIIM_SUBMENU;
        info.dwTypeData = text;
        info.cch = 512;
        if (!GetMenuItemInfoW(menu, i, TRUE, &info)) {
            out += indent + L"?\t\t(unreadable)\n";
            continue;
        }
        std::wstring flags;
        if (info.fState & MFS_CHECKED) flags += L'C';
        if (info.fType & MFT_SEPARATOR) flags += L'S';
        if (info.hSubMenu) flags += L'P';
        out += indent + std::to_wstring(info.hSubMenu ? 0u : info.wID) + L"\t" + flags + L"\t" + text + L"\n";
        if (info.hSubMenu) {
            describe(info.hSubMenu, indent + L"\t", out);
            out += indent + L"\tend\n";
        }
    }
}

}  // namespace

extern "C" __declspec(dllexport) LRESULT CALLBACK menuReaderHook(int code, WPARAM wParam, LPARAM lParam) {
    static const UINT read = RegisterWindowMessageW(L"KVLBProbeReadMenu");
    const auto* call = reinterpret_cast<const CWPSTRUCT*>(lParam);
    if (code == HC_ACTION && call != nullptr && call->message == read) {
        std::wstring out;
        HWND window = nullptr;
        EnumThreadWindows(GetCurrentThreadId(), findMenuWindow, reinterpret_cast<LPARAM>(&window));
        HMENU menu = window ? reinterpret_cast<HMENU>(SendMessageW(window, MN_GETHMENU, 0, 0)) : nullptr;
        if (menu != nullptr)
            describe(menu, L"", out);
        else
            out = window ? L"(no menu behind the menu window)\n" : L"(no open menu on the thread)\n";
        HANDLE shared = OpenFileMappingW(FILE_MAP_WRITE, FALSE, kShared);
        auto* view = shared ? static_cast<wchar_t*>(MapViewOfFile(shared, FILE_MAP_WRITE, 0, 0, 0)) : nullptr;
        if (view != nullptr) {
            wcsncpy(view, out.c_str(), kSharedChars - 1);
            view[kSharedChars - 1] = L'\0';
            UnmapViewOfFile(view);
        }
        if (shared) CloseHandle(shared);
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}
