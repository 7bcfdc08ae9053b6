// PrintScreen saves the primary screen as a PNG file on the desktop while the setting is on.
#include <cstdlib>
#include <cwchar>

#include "common/codec.h"
#include "common/system.h"
#include "common/text.h"
#include "monitor/monitor.h"

namespace {

bool printKeyDown() {
    return GetKeyState(VK_PRINT) < 0 || GetKeyState(VK_SNAPSHOT) < 0;
}

}  // namespace

void* screenshotKeyWatcher(void*) {
    for (;;) {
        Sleep(10);
        bool taken = false;
        if (!isScreenShot.load()) continue;
        // One picture per press, however long the key is held.
        while (printKeyDown()) {
            if (!taken) {
                ScreenCutter();
                taken = true;
                continue;
            }
            Sleep(10);
        }
    }
    return nullptr;
}

void ScreenCutter() {
    HDC screen = CreateDCW(L"DISPLAY", nullptr, nullptr, nullptr);
    HDC memory = screen ? CreateCompatibleDC(screen) : nullptr;
    int width = screen ? GetDeviceCaps(screen, HORZRES) : 0;
    int height = screen ? GetDeviceCaps(screen, VERTRES) : 0;
    HBITMAP bitmap = memory ? CreateCompatibleBitmap(screen, width, height) : nullptr;
    if (bitmap != nullptr) {
        HGDIOBJ previous = SelectObject(memory, bitmap);
        BitBlt(memory, 0, 0, width, height, screen, 0, 0, SRCCOPY);
        SelectObject(memory, previous);
    }

    wchar_t shots[kMonitorText];
    wchar_t format[kMonitorText];
    uiTextCopy(18, shots);
    uiTextCopy(19, format);
    wchar_t* desktop = getDesktopFolder();
    char* time = localTimeText();
    wchar_t* wideTime = time ? utf8ToWide(time) : nullptr;
    wchar_t fileName[kMonitorText];
    swprintf(fileName, kMonitorText, L"%ls\\%s %ls %ls.png", desktop ? desktop : L"", TESSARION_NAME, shots,
             wideTime ? wideTime : L"");
    free(wideTime);
    free(time);
    free(desktop);

    if (bitmap != nullptr) SaveBitmapAsPngW(bitmap, fileName);  // a failed save is not reported
    if (memory) DeleteDC(memory);
    if (screen) DeleteDC(screen);

    wchar_t* text = replaceAllWide(format, L"==FileName==", fileName, codePage.load());
    wchar_t balloon[kMonitorText];
    copyBoundedW(balloon, kMonitorText, text ? text : format);
    free(text);
    Sleep(1214);
    showBalloonText(balloon);
    if (bitmap) DeleteObject(bitmap);
}
