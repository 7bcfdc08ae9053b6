// The primary screen as device contexts and bitmaps, and bitmaps saved as PNG files (libpng).
// The screen is a fixed-size picture of the root: the setting "screen" gives its size and
// <root>/desktop/screen.rgb, when it has the right size, its pixels; otherwise it is black.
#include <png.h>

#include <cstdio>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/root.h"
#include "platform/win_internal.h"
#include "platform/win_shell.h"

namespace {

struct Bitmap {
    int width = 0;
    int height = 0;
    std::vector<unsigned char> rgb;  // rows from the top, 3 bytes a pixel
};

struct DeviceContext {
    bool screen = false;
    Bitmap* selected = nullptr;
};

std::mutex g_gdiLock;
std::set<DeviceContext*>& g_dcs = platform::keptState<std::set<DeviceContext*>>();
std::set<Bitmap*>& g_bitmaps = platform::keptState<std::set<Bitmap*>>();
// What a new memory context holds.
Bitmap& g_stockBitmap = platform::keptState<Bitmap>(Bitmap{1, 1, {0, 0, 0}});

void screenSize(int* width, int* height) {
    std::string size = platform::setting("screen", "1024x768");
    int w = 0, h = 0;
    if (sscanf(size.c_str(), "%dx%d", &w, &h) != 2 || w <= 0 || h <= 0 || w > 16384 || h > 16384) {
        w = 1024;
        h = 768;
    }
    *width = w;
    *height = h;
}

std::vector<unsigned char> screenPixels(int width, int height) {
    std::vector<unsigned char> pixels((size_t)width * height * 3, 0);
    std::ifstream in(platform::rootDir() + "/desktop/screen.rgb", std::ios::binary);
    if (in) {
        std::stringstream s;
        s << in.rdbuf();
        std::string bytes = s.str();
        if (bytes.size() == pixels.size()) pixels.assign(bytes.begin(), bytes.end());
    }
    return pixels;
}

DeviceContext* lookDc(HDC dc) {
    auto* d = reinterpret_cast<DeviceContext*>(dc);
    return g_dcs.count(d) ? d : nullptr;
}

Bitmap* lookBitmap(HGDIOBJ object) {
    auto* b = static_cast<Bitmap*>(object);
    return g_bitmaps.count(b) ? b : nullptr;
}

HDC newDc(bool screen) {
    std::lock_guard<std::mutex> l(g_gdiLock);
    auto* d = new DeviceContext;
    d->screen = screen;
    d->selected = screen ? nullptr : &g_stockBitmap;
    g_dcs.insert(d);
    return reinterpret_cast<HDC>(d);
}

// libpng reports errors by longjmp; nothing set after the setjmp is read after it.
bool writePng(FILE* file, const Bitmap& image) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (!png) return false;
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        return false;
    }
    if (setjmp(png_jmpbuf(png)) != 0) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_init_io(png, file);
    png_set_IHDR(png, info, (png_uint_32)image.width, (png_uint_32)image.height, 8, PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int row = 0; row < image.height; ++row)
        png_write_row(png, const_cast<png_bytep>(image.rgb.data() + (size_t)row * image.width * 3));
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

}  // namespace

HDC CreateDCW(LPCWSTR driver, LPCWSTR, LPCWSTR, const void*) {
    if (driver == nullptr || wcscasecmp(driver, L"DISPLAY") != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return newDc(true);
}

HDC GetDC(HWND window) {
    if (window != nullptr && !IsWindow(window)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    return newDc(true);  // windows are invisible here: their context is the screen's
}

int ReleaseDC(HWND, HDC dc) {
    return DeleteDC(dc) ? 1 : 0;
}

HDC CreateCompatibleDC(HDC dc) {
    if (dc != nullptr) {
        std::lock_guard<std::mutex> l(g_gdiLock);
        if (!lookDc(dc)) {
            SetLastError(ERROR_INVALID_HANDLE);
            return nullptr;
        }
    }
    return newDc(false);
}

BOOL DeleteDC(HDC dc) {
    std::lock_guard<std::mutex> l(g_gdiLock);
    DeviceContext* d = lookDc(dc);
    if (!d) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    g_dcs.erase(d);
    delete d;
    return TRUE;
}

int GetDeviceCaps(HDC dc, int index) {
    std::lock_guard<std::mutex> l(g_gdiLock);
    DeviceContext* d = lookDc(dc);
    if (!d) return 0;
    int width = 1, height = 1;
    if (d->screen)
        screenSize(&width, &height);
    else if (d->selected)
        width = d->selected->width, height = d->selected->height;
    if (index == HORZRES) return width;
    if (index == VERTRES) return height;
    return 0;
}

HBITMAP CreateCompatibleBitmap(HDC dc, int width, int height) {
    std::lock_guard<std::mutex> l(g_gdiLock);
    if (!lookDc(dc) || width <= 0 || height <= 0 || width > 16384 || height > 16384) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto* b = new Bitmap;
    b->width = width;
    b->height = height;
    b->rgb.assign((size_t)width * height * 3, 0);
    g_bitmaps.insert(b);
    return reinterpret_cast<HBITMAP>(b);
}

HGDIOBJ SelectObject(HDC dc, HGDIOBJ object) {
    std::lock_guard<std::mutex> l(g_gdiLock);
    DeviceContext* d = lookDc(dc);
    Bitmap* b = object == &g_stockBitmap ? &g_stockBitmap : lookBitmap(object);
    if (!d || !b || d->screen) return nullptr;
    Bitmap* previous = d->selected;
    d->selected = b;
    return previous;
}

BOOL DeleteObject(HGDIOBJ object) {
    std::lock_guard<std::mutex> l(g_gdiLock);
    Bitmap* b = lookBitmap(object);
    if (!b) return FALSE;
    for (auto* d : g_dcs)
        if (d->selected == b) return FALSE;  // still selected into a context, as on Windows
    g_bitmaps.erase(b);
    delete b;
    return TRUE;
}

BOOL BitBlt(HDC destination, int x, int y, int width, int height, HDC source, int sx, int sy, DWORD rop) {
    std::lock_guard<std::mutex> l(g_gdiLock);
    DeviceContext* to = lookDc(destination);
    DeviceContext* from = lookDc(source);
    if (!to || !from || rop != SRCCOPY || !to->selected || to->screen) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    int fw = 1, fh = 1;
    std::vector<unsigned char> screen;
    const std::vector<unsigned char>* pixels;
    if (from->screen) {
        screenSize(&fw, &fh);
        screen = screenPixels(fw, fh);
        pixels = &screen;
    } else {
        if (!from->selected) return FALSE;
        fw = from->selected->width;
        fh = from->selected->height;
        pixels = &from->selected->rgb;
    }
    Bitmap* target = to->selected;
    for (int row = 0; row < height; ++row) {
        int ty = y + row, fy = sy + row;
        if (ty < 0 || ty >= target->height || fy < 0 || fy >= fh) continue;
        for (int col = 0; col < width; ++col) {
            int tx = x + col, fx = sx + col;
            if (tx < 0 || tx >= target->width || fx < 0 || fx >= fw) continue;
            for (int c = 0; c < 3; ++c)
                target->rgb[((size_t)ty * target->width + tx) * 3 + c] =
                    (*pixels)[((size_t)fy * fw + fx) * 3 + c];
        }
    }
    return TRUE;
}

HRESULT SaveBitmapAsPngW(HBITMAP bitmap, LPCWSTR path) {
    Bitmap copy;
    {
        std::lock_guard<std::mutex> l(g_gdiLock);
        Bitmap* b = lookBitmap(bitmap);
        if (!b) return E_INVALIDARG;
        copy = *b;
    }
    char host[4096];
    if (path == nullptr || !winPathToHost(path, host, sizeof host)) return E_INVALIDARG;
    FILE* file = fopen(host, "wb");
    if (!file) return E_FAIL;
    bool ok = writePng(file, copy);
    if (fclose(file) != 0) ok = false;
    if (!ok) remove(host);
    return ok ? S_OK : E_FAIL;
}
