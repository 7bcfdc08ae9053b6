// Interface texts in the four languages, and the language of the user's locale.
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "common/log.h"
#include "common/text.h"
#include "monitor/monitor.h"

std::atomic<int> language{kLanguageTradChinese};
wchar_t uiText[kUiTextCount][kMonitorText];
std::mutex textLock;

namespace {

#define RIGHTS_NOTICE L"Copyright (C) KVLBTessarion. All rights reserved. \n"

struct LanguageText {
    int number;
    const wchar_t* text[4];  // Traditional Chinese, English, Japanese, Simplified Chinese
};

const LanguageText kTexts[] = {
    {1,
     {L"=InstallerVersion=" RIGHTS_NOTICE, L"=InstallerVersion=" RIGHTS_NOTICE,
      L"=InstallerVersion=" RIGHTS_NOTICE, L"=InstallerVersion=" RIGHTS_NOTICE}},
    {2, {L"已啟動", L"turned on", L"起動している", L"已启动"}},
    {3, {L"已關閉", L"turned off", L"停止している", L"已关闭"}},
    {6, {L"啟動", L"Start", L"起動する", L"启动"}},
    {7, {L"停止", L"Stop", L"停止する", L"停止"}},
    {8, {L"重新啟動", L"Restart", L"再起動する", L"重新启动"}},
    {9, {L"關於", L"About", L"バージョン情報", L"关于"}},
    {11, {L"語言", L"Language", L"語言", L"語言"}},
    {12, {L"離開", L"Quit", L"中止", L"退出"}},
    {13, {L"繁體中文", L"TradChinese", L"繁体字中国語", L"繁体中文"}},
    {14, {L"英文", L"English", L"英語", L"英文"}},
    {15, {L"日文", L"Japanese", L"日本語", L"日文"}},
    {16, {L"簡體中文", L"SimpChinese", L"簡体字中国語", L"简体中文"}},
    {17, {L"系統提示", L"System hint", L"システムメッセージ", L"系统提示"}},
    {18, {L"螢幕截圖", L"Screenshots", L"スクリーンショット", L"萤幕截图"}},
    {19,
     {L"已成功輸出 ==FileName== 至桌面", L"Output ==FileName== to desktop success",
      L"デスクトップに ==FileName== を出力完了", L"已成功輸出 ==FileName== 至桌面"}},
    {20, {L"已重新啟動", L"already restarted", L"再起動している", L"已重新启动"}},
    {22, {L"關閉除錯模式", L"Turn off debug mode", L"デバッグモードを停止する", L"关闭除错模式"}},
    {23, {L"開啟除錯模式", L"Turn on debug mode", L"デバッグモードを起動する", L"开启除错模式"}},
    {24, {L"版本：", L"Version:", L"バージョン：", L"版本："}},
    {26, {L"切換至", L"Switch to", L"に切り替え", L"切换至"}},
    {27,
     {L"=InstallerVersion==TessarionName= 主程式版本：=ServerVersion= \nMonitor 版本：=MonitorVersion= "
      L"\n" RIGHTS_NOTICE,
      L"=InstallerVersion==TessarionName= program version: =ServerVersion= \nMonitor version: "
      L"=MonitorVersion= \n" RIGHTS_NOTICE,
      L"=InstallerVersion==TessarionName= プログラムバージョン：=ServerVersion= \nMonitor "
      L"バージョン：=MonitorVersion= \n" RIGHTS_NOTICE,
      L"=InstallerVersion==TessarionName= 主程式版本：=ServerVersion= \nMonitor 版本：=MonitorVersion= "
      L"\n" RIGHTS_NOTICE}},
};

int column(int lang) {
    switch (lang) {
        case kLanguageTradChinese:
            return 0;
        case kLanguageEnglish:
            return 1;
        case kLanguageJapanese:
            return 2;
        case kLanguageSimpChinese:
            return 3;
        default:
            return -1;
    }
}

}  // namespace

void uiTextCopy(int number, wchar_t* out) {
    if (out == nullptr) return;
    out[0] = L'\0';
    if (number < 1 || number >= kUiTextCount) return;
    std::lock_guard<std::mutex> l(textLock);
    copyBoundedW(out, kMonitorText, uiText[number]);
}

void buildLanguageTexts() {
    int c = column(language.load());
    if (c < 0) return;
    std::lock_guard<std::mutex> l(textLock);
    for (auto& t : kTexts) copyBoundedW(uiText[t.number], kMonitorText, t.text[c]);
}

int detectLanguage() {
    char name[kMonitorText] = {};
    copyBounded(name, sizeof name, winSetlocale(LC_ALL, ""));
    char* lower = toLowerCopy(name);
    const char* text = lower != nullptr ? lower : "";
    logNormal("Detect language: ", text);
    int result;
    if (strstr(text, "chinese") != nullptr) {
        if (strstr(text, "simplified") != nullptr) {
            result = kLanguageSimpChinese;
            logNormal("Language: ", "Language_SimpChinese");
        } else {
            result = kLanguageTradChinese;
            logNormal("Language: ", "Language_TradChinese");
        }
    } else if (strstr(text, "english") != nullptr) {
        result = kLanguageEnglish;
        logNormal("Language: ", "Language_English");
    } else if (strncmp(text, "ja", 2) == 0) {
        result = kLanguageJapanese;
        logNormal("Language: ", "Language_Japan");
    } else {
        result = kLanguageEnglish;
        logNormal("Language (default): ", "Language_English");
    }
    free(lower);
    return result;
}
