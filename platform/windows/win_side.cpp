// The thin Windows side: the few helpers the system code uses beyond the Windows API, each a line
// or two over the C runtime and Win32.
#include <clocale>
#include <cstring>
#include <ctime>
#include <string>

#include "platform/root.h"
#include "platform/win_base.h"
#include "platform/win_shell.h"

// After windows.h: GDI+'s headers need its types.
#include <gdiplus.h>

namespace platform {

void initProgram(int, char**) {}

}  // namespace platform

namespace {

std::wstring wideOf(const char* text) {
    int n = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    if (n <= 0) return std::wstring();
    std::wstring wide(static_cast<size_t>(n), L'\0');
    if (MultiByteToWideChar(CP_UTF8, 0, text, -1, wide.data(), n) <= 0) return std::wstring();
    wide.resize(static_cast<size_t>(n - 1));
    return wide;
}

bool pngEncoder(CLSID* out) {
    UINT count = 0, bytes = 0;
    if (Gdiplus::GetImageEncodersSize(&count, &bytes) != Gdiplus::Ok || bytes == 0) return false;
    std::string buffer(bytes, '\0');
    auto* encoders = reinterpret_cast<Gdiplus::ImageCodecInfo*>(buffer.data());
    if (Gdiplus::GetImageEncoders(count, bytes, encoders) != Gdiplus::Ok) return false;
    for (UINT i = 0; i < count; ++i) {
        if (encoders[i].MimeType != nullptr && wcscmp(encoders[i].MimeType, L"image/png") == 0) {
            *out = encoders[i].Clsid;
            return true;
        }
    }
    return false;
}

}  // namespace

FILE* winFopen(const char* path, const char* mode) {
    if (path == nullptr || mode == nullptr) return nullptr;
    std::wstring widePath = wideOf(path), wideMode = wideOf(mode);
    if (widePath.empty() || wideMode.empty()) return nullptr;
    return _wfopen(widePath.c_str(), wideMode.c_str());
}

time_t winTime(time_t* out) {
    return time(out);
}

bool winLocalTime(time_t t, struct tm* out) {
    // The C runtime keeps localtime's result per thread.
    const struct tm* local = localtime(&t);
    if (local == nullptr || out == nullptr) return false;
    *out = *local;
    return true;
}

const char* winSetlocale(int category, const char* locale) {
    return setlocale(category, locale);
}

HRESULT SaveBitmapAsPngW(HBITMAP bitmap, LPCWSTR path) {
    if (bitmap == nullptr || path == nullptr || path[0] == L'\0') return E_INVALIDARG;
    Gdiplus::GdiplusStartupInput input;
    ULONG_PTR token = 0;
    if (Gdiplus::GdiplusStartup(&token, &input, nullptr) != Gdiplus::Ok) return E_FAIL;
    HRESULT result = E_FAIL;
    {
        CLSID png;
        Gdiplus::Bitmap image(bitmap, nullptr);
        if (image.GetLastStatus() == Gdiplus::Ok && pngEncoder(&png) &&
            image.Save(path, &png, nullptr) == Gdiplus::Ok) {
            result = S_OK;
        }
    }
    Gdiplus::GdiplusShutdown(token);
    return result;
}
