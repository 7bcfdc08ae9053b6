// The tray monitor as a user meets it: start-up, the tray icon and its menu acting on the
// service, the About box, debug mode, screenshots and the settings file.
#include "monitor/tests/monitor_harness.h"

#include "ipc/message.h"
#include "ipc/transport.h"
#include "platform/win_base.h"
#include "platform/win_user.h"

#include <fcntl.h>

#include <cstring>

namespace mon {
namespace {

constexpr const char* kDefaultConfig = "isScreenShot=false\r\nsilentmode=false\r\nautocheckupdate=true\r\n";
constexpr const char* kNotice = "Copyright (C) KVLBTessarion. All rights reserved. \\n";
// The About text in debug mode, with no components installed.
const std::string kDebugAbout =
    std::string("KVLBTessarion program version: 1.0.21.0630 \\nMonitor version: 1.0.20.0309 \\n") + kNotice;

TEST_F(MonitorTest, StartsOnceWithItsIconLaunchesTheServiceAndQuitsCleanly) {
    // A stand-in worker that notes how it was started.
    spit(bin("KVLBTessarionWorker.exe"), "#!/bin/sh\necho \"$@\" >> '" + root.path() + "/worker-args'\n");
    fs::permissions(bin("KVLBTessarionWorker.exe"), fs::perms::owner_all);
    pid_t first = startMonitorReady();
    EXPECT_TRUE(pollUntil([&] { return slurp(root.path() + "/worker-args") == "-watchdog\n"; }))
        << "the watchdog is started when none runs";
    auto icons = splitLines(tray().out);
    ASSERT_EQ(icons.size(), 1u);
    auto fields = splitTabs(icons[0]);
    EXPECT_EQ(fields[4], "alive");
    EXPECT_EQ(fields[5], "KVLBTessarion");
    EXPECT_EQ(slurp(configFile()), kDefaultConfig) << "first start writes the defaults";
    EXPECT_TRUE(hasBalloon("KVLBTessarion turned on") || balloons().empty());

    pid_t second = startMonitor();
    EXPECT_EQ(waitExit(second, 20s), 0) << "the second monitor of the user ends by itself";
    EXPECT_EQ(slurp(root.path() + "/worker-args"), "-watchdog\n");
    EXPECT_EQ(splitLines(tray().out).size(), 1u);
    EXPECT_TRUE(boxes().empty());

    ASSERT_TRUE(choose("Quit"));
    EXPECT_EQ(waitExit(first), 0);
    EXPECT_EQ(tray().out, "") << "the icon is removed";
    EXPECT_TRUE(pollUntil([&] { return servicePids().empty(); }, 15s)) << "the service is told to end";
}

// Started from a terminal on a fresh machine: the commands the set runs hidden (the service
// empties a temp folder that is not there yet) complain in the log, never on the terminal.
TEST_F(MonitorTest, CommandsRunHiddenKeepTheirComplaintsOffTheTerminal) {
    spit(logIni(), "[KVLBTessarion]\r\nLog File=C:\\set-log.txt\r\nLog Level=5\r\n");
    const std::string terminal = root.path() + "/terminal.txt";
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(terminal.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, STDOUT_FILENO);
        dup2(fd, STDERR_FILENO);
        std::string exe = bin("KVLBTessarionMonitor.exe");
        execl(exe.c_str(), exe.c_str(), (char*)nullptr);
        _exit(127);
    }
    monitors.push_back(pid);
    auto logText = [&] {
        std::string text;
        for (auto& e : fs::directory_iterator(root.c()))
            if (e.path().filename().string().rfind("set-log", 0) == 0) text += slurp(e.path().string());
        return text;
    };
    EXPECT_TRUE(pollUntil([&] {
        std::string text = logText();
        return text.find("[Error] Command: rmdir /s /q ") != std::string::npos &&
               text.find("[Error] Command error code: 2") != std::string::npos;
    })) << logText();
    EXPECT_TRUE(pollUntil([&] { return !servicePids().empty() && iconResource() != 0; }));
    ASSERT_TRUE(choose("Quit"));
    EXPECT_EQ(waitExit(pid), 0);
    EXPECT_TRUE(pollUntil([&] { return servicePids().empty(); }, 15s));
    std::string shown = slurp(terminal);
    EXPECT_EQ(shown.find("The system cannot find the file specified."), std::string::npos) << shown;
    EXPECT_EQ(shown.find("Could Not Find"), std::string::npos) << shown;
}

// A monitor of another user on the same desktop finds the tray window and asks it for its About
// box instead of making a second one.
TEST_F(MonitorTest, MonitorOfAnotherUserShowsTheFirstOnesAboutBoxAndEnds) {
    startMonitorReady();
    platform::setSetting("user", "Other");
    pid_t other = startMonitor();
    EXPECT_EQ(waitExit(other, 20s), 0);
    platform::setSetting("user", "User");
    EXPECT_TRUE(pollUntil([&] { return boxes().size() == 1; }));
    EXPECT_EQ(boxes()[0].first, "KVLBTessarion Monitor");
    EXPECT_EQ(splitLines(tray().out).size(), 1u);
    driver({"msgbox-ok"});
}

TEST_F(MonitorTest, MenuStopStartAndRestartActOnTheService) {
    startMonitorReady();
    std::string menu = openMenu();
    EXPECT_NE(menu.find("\t61001\t0\tStop\n"), std::string::npos) << menu;
    EXPECT_NE(menu.find("\t61003\t0\tRestart\n"), std::string::npos);
    EXPECT_EQ(menu.find("\t61002\t"), std::string::npos);
    EXPECT_EQ(menu.find("Screenshots"), std::string::npos) << "debug items only in debug mode";
    ASSERT_EQ(driver({"choose", "61001"}).rc, 0);
    EXPECT_TRUE(pollUntil([&] { return servicePids().empty() && iconResource() == 105; }));
    EXPECT_TRUE(pollUntil([&] { return hasBalloon("KVLBTessarion turned off"); }));
    Sleep(1500);
    EXPECT_TRUE(servicePids().empty()) << "stopped stays stopped";
    menu = openMenu();
    EXPECT_NE(menu.find("\t61002\t0\tStart\n"), std::string::npos) << menu;
    EXPECT_EQ(menu.find("Stop"), std::string::npos);

    ASSERT_EQ(driver({"choose", "61002"}).rc, 0);
    EXPECT_TRUE(pollUntil([&] { return !servicePids().empty() && iconResource() == 104; }));

    int before = servicePids()[0];
    size_t mark = balloons().size();
    ASSERT_TRUE(choose("Restart"));
    EXPECT_TRUE(pollUntil([&] {
        auto now = servicePids();
        return now.size() == 1 && now[0] != before && hasBalloon("KVLBTessarion already restarted", mark);
    }));
    EXPECT_FALSE(hasBalloon("KVLBTessarion turned off", mark)) << "a restart shows no turned-off balloon";
}

struct LanguageCase {
    const char* name;
    const char* locale;
    const char* stop;
    const char* restart;
    const char* languagePopup;
    UINT checkedItem;
};

class MonitorLanguageTest : public MonitorTest, public ::testing::WithParamInterface<LanguageCase> {};

TEST_P(MonitorLanguageTest, MenuSpeaksTheLocalesLanguage) {
    platform::setSetting("locale", GetParam().locale);
    startMonitorReady();
    std::string menu = openMenu();
    EXPECT_NE(menu.find(std::string("0\t61001\t0\t") + GetParam().stop + "\n"), std::string::npos) << menu;
    EXPECT_NE(menu.find(std::string("0\t61003\t0\t") + GetParam().restart + "\n"), std::string::npos) << menu;
    EXPECT_NE(menu.find(std::string("0\t0\t16\t") + GetParam().languagePopup + "\n"), std::string::npos)
        << menu;
    EXPECT_NE(menu.find("1\t" + std::to_string(GetParam().checkedItem) + "\t8\t"), std::string::npos) << menu;
    driver({"dismiss"});
}

INSTANTIATE_TEST_SUITE_P(
    Locales, MonitorLanguageTest,
    ::testing::Values(LanguageCase{"TradChinese", "zh_TW.UTF-8", "停止", "重新啟動", "語言", 61007},
                      LanguageCase{"English", "en_US.UTF-8", "Stop", "Restart", "Language", 61008},
                      LanguageCase{"Japanese", "ja_JP.UTF-8", "停止する", "再起動する", "語言", 61013},
                      LanguageCase{"SimpChinese", "zh_CN.UTF-8", "停止", "重新启动", "語言", 61010},
                      LanguageCase{"OtherIsEnglish", "de_DE.UTF-8", "Stop", "Restart", "Language", 61008}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MonitorTest, LanguageSwitchAnnouncesTheNewLanguageWithoutABlank) {
    startMonitorReady();
    ASSERT_TRUE(choose("61013"));
    EXPECT_TRUE(pollUntil([&] { return hasBalloon("に切り替え日本語"); }));
    std::string menu = openMenu();
    EXPECT_NE(menu.find("0\t61001\t0\t停止する\n"), std::string::npos) << menu;
    ASSERT_EQ(driver({"choose", "61008"}).rc, 0);
    EXPECT_TRUE(pollUntil([&] { return hasBalloon("Switch toEnglish"); }));
}

// Virtual-key codes of the six-key sequence.
const std::vector<std::string> kShortSequence = {"0x4B", "0x56", "0x4C", "0x42", "0x44", "0x4D"};

TEST_F(MonitorTest, KeySequenceInTheAboutBoxTogglesDebugModeAndPulsesTheEvent) {
    startMonitorReady();
    auto tap = [&](std::vector<std::string> keys, const char* timeout = "20000") {
        keys.insert(keys.begin(), "tap");
        keys.push_back("--timeout");
        keys.push_back(timeout);
        return driver(keys).rc;
    };
    EXPECT_NE(tap({"0x4B"}, "600"), 0) << "no one watches the keys while the About box is closed";

    EXPECT_EQ(openAbout(), kNotice) << "no components, not in debug mode";
    // An extra key inside the sequence spoils it.
    EXPECT_EQ(tap({"0x4B", "0x56", "0x41", "0x4C", "0x42", "0x44", "0x4D"}), 0);
    Sleep(300);
    EXPECT_FALSE(fs::exists(logIni()));
    EXPECT_EQ(boxes().size(), 1u);

    HANDLE event = OpenEventW(SYNCHRONIZE, FALSE, DEBUG_MODE_EVENT_NAME);
    ASSERT_NE(event, nullptr) << "the monitor holds the debug-mode event";
    std::atomic<int> pulses{0};
    std::atomic<bool> stop{false};
    std::thread otherProgram([&] {
        while (!stop)
            if (WaitForSingleObject(event, 200) == WAIT_OBJECT_0) ++pulses, Sleep(50);
    });

    // Keys before the sequence do not matter.
    EXPECT_EQ(tap({"0x41", "0x42"}), 0);
    EXPECT_EQ(tap(kShortSequence), 0);
    EXPECT_TRUE(pollUntil([&] { return fs::exists(logIni()) && boxes().empty(); }))
        << "on, and the box closed";
    std::string desktopWin = "C:\\Users\\User\\Desktop";
    EXPECT_EQ(slurp(logIni()), "[KVLBTessarion]\r\nLog File=" + desktopWin +
                                   "\\TessarionLog\\KVLBTessarion.txt\r\nLog Level=5");
    EXPECT_TRUE(fs::is_directory(desktop() + "/TessarionLog"));
    EXPECT_TRUE(pollUntil([&] { return hasBalloon("Turn on debug mode") && pulses.load() >= 1; }));

    EXPECT_EQ(openAbout(), kDebugAbout);
    driver({"msgbox-close"});
    EXPECT_TRUE(pollUntil([&] { return boxes().empty(); }));

    std::string menu = openMenu();
    EXPECT_NE(menu.find("\t61012\t0\tScreenshots\n"), std::string::npos) << menu;
    ASSERT_EQ(driver({"choose", "Turn off debug mode"}).rc, 0);
    EXPECT_TRUE(pollUntil([&] { return !fs::exists(logIni()) && hasBalloon("Turn off debug mode"); }));
    EXPECT_TRUE(fs::is_directory(desktop() + "/TessarionLog")) << "the log folder stays";
    EXPECT_TRUE(pollUntil([&] { return pulses.load() >= 2; }));
    stop = true;
    otherProgram.join();
    CloseHandle(event);
    EXPECT_EQ(openMenu().find("Screenshots"), std::string::npos);
    driver({"dismiss"});
}

TEST_F(MonitorTest, EachOfTheThreeKeySequencesToggles) {
    startMonitorReady();
    const std::vector<std::vector<std::string>> sequences = {
        {"0x26", "0x26", "0x28", "0x28", "0x25", "0x27", "0x25", "0x27", "0x42", "0x41", "0x42", "0x41"},
        {"0x44", "0x45", "0x42", "0x55", "0x47", "0x4D", "0x4F", "0x44", "0x45", "0x31"},
        kShortSequence,
    };
    bool on = false;
    for (auto keys : sequences) {
        ASSERT_EQ(openAbout(), on ? kDebugAbout : kNotice) << "the box is open before the keys";
        keys.insert(keys.begin(), "tap");
        ASSERT_EQ(driver(keys).rc, 0);
        on = !on;
        EXPECT_TRUE(pollUntil([&] { return fs::exists(logIni()) == on && boxes().empty(); })) << keys[1];
    }
}

// With logging on, what the window receives is logged; a message that fails its check is refused.
TEST_F(MonitorTest, InstructionsAndClicksAreLoggedAndForgedMessagesRefused) {
    spit(logIni(), "[KVLBTessarion]\r\nLog File=C:\\monitor-log.txt\r\nLog Level=5\r\n");
    startMonitorReady();
    // The writer puts the date into the file name.
    auto logText = [&] {
        std::string text;
        for (auto& e : fs::directory_iterator(root.c()))
            if (e.path().filename().string().rfind("monitor-log", 0) == 0) text += slurp(e.path().string());
        return text;
    };
    ipcSenderName = "KVLBTessarionWorker.exe";
    ASSERT_TRUE(sendIpcMessage(IPC_CHANNEL_MONITOR, "TessarionInstruction_Unknown"));
    EXPECT_TRUE(pollUntil([&] {
        std::string text = logText();
        return text.find("Receive COPYDATA message: TessarionInstruction_Unknown") != std::string::npos &&
               text.find("Receive unknow instruction: TessarionInstruction_Unknown") != std::string::npos &&
               text.find("Receive unknow message: ") != std::string::npos;
    })) << logText();

    TessarionMessage* forged =
        newIpcMessage("KVLBTessarionWorker.exe", IPC_CHANNEL_MONITOR, kInstructionStop);
    ASSERT_NE(forged, nullptr);
    forged->HashValue[0] = forged->HashValue[0] == 'A' ? 'B' : 'A';
    char* json = ipcMessageToJson(forged);
    ASSERT_NE(json, nullptr);
    HWND window = FindWindowW(L"KVLBTessarionMonitor.exe", nullptr);
    ASSERT_NE(window, nullptr);
    COPYDATASTRUCT data{0, (DWORD)strlen(json), json};  // no NUL sent along
    SendMessageW(window, WM_COPYDATA, 0, (LPARAM)&data);
    free(json);
    freeIpcMessage(forged);
    const std::string refused = "][Warning] Verify TessarionMessage fail";
    auto refusals = [&] {
        std::string text = logText();
        size_t n = 0;
        for (size_t at = text.find(refused); at != std::string::npos; at = text.find(refused, at + 1)) ++n;
        return n;
    };
    EXPECT_TRUE(pollUntil([&] { return refusals() == 1; })) << logText();
    EXPECT_FALSE(servicePids().empty()) << "a forged Stop is not obeyed";

    // Whatever else arrives is refused the same way, each with one record.
    char stop[] = "{\"Instruction\":\"TessarionInstruction_Stop\"}";
    char garbage[] = "not a message at all";
    const struct {
        const char* what;
        COPYDATASTRUCT data;
    } malformed[] = {
        {"no data", {0, 0, nullptr}},
        {"no data but a length", {0, 16, nullptr}},
        {"zero-length data", {0, 0, garbage}},
        {"text that is not a message", {0, (DWORD)strlen(garbage), garbage}},
        {"a message without its other keys", {0, (DWORD)sizeof stop, stop}},
    };
    size_t expected = 1;
    for (const auto& m : malformed) {
        COPYDATASTRUCT data = m.data;
        SendMessageW(window, WM_COPYDATA, 0, (LPARAM)&data);
        ++expected;
        EXPECT_TRUE(pollUntil([&] { return refusals() == expected; }, 5s)) << m.what;
        expected = refusals();
    }
    EXPECT_FALSE(servicePids().empty());

    EXPECT_EQ(openAbout(), kDebugAbout) << "logging on is debug mode";
    driver({"msgbox-ok"});
    EXPECT_TRUE(pollUntil([&] { return boxes().empty(); }));
    EXPECT_EQ(logText().find("Click ShowMonitorAbout"), std::string::npos) << "a double click is not logged";
    ASSERT_TRUE(choose("About"));
    EXPECT_TRUE(pollUntil([&] { return logText().find("Click ShowMonitorAbout") != std::string::npos; }));
    driver({"msgbox-ok"});
}

TEST_F(MonitorTest, DebugModeFromTheIniAndOneScreenshotPerPrintScreenPress) {
    spit(logIni(), "[KVLBTessarion]\r\nLog Level=0");
    startMonitorReady();
    std::string menu = openMenu();
    ASSERT_NE(menu.find("\t61012\t0\tScreenshots\n"), std::string::npos) << "debug mode at once: " << menu;
    EXPECT_NE(menu.find("\t61015\t0\tTurn off debug mode\n"), std::string::npos);
    EXPECT_NE(driver({"tap", "0x2C", "--timeout", "600"}).rc, 0)
        << "PrintScreen does nothing with the setting off";

    ASSERT_EQ(driver({"choose", "61012"}).rc, 0);
    EXPECT_TRUE(pollUntil([&] { return slurp(configFile()).find("isScreenShot=true\r\n") == 0; }));
    auto shots = [&] {
        std::vector<std::string> names;
        if (fs::exists(desktop()))
            for (auto& e : fs::directory_iterator(desktop()))
                if (e.path().extension() == ".png") names.push_back(e.path().filename().string());
        return names;
    };
    // Held for a while: still one picture.
    ASSERT_EQ(driver({"keydown", "0x2C"}).rc, 0);
    EXPECT_TRUE(pollUntil([&] { return !shots().empty(); }));
    Sleep(2500);
    driver({"keyup", "0x2C"});
    ASSERT_EQ(shots().size(), 1u);
    std::string name = shots()[0];
    EXPECT_EQ(name.rfind("KVLBTessarion Screenshots ", 0), 0u) << name;
    EXPECT_EQ(slurp(desktop() + "/" + name).substr(0, 4), "\x89PNG");
    std::string expected = "Output C:\\\\Users\\\\User\\\\Desktop\\\\" + name + " to desktop success";
    EXPECT_TRUE(pollUntil([&] { return hasBalloon(expected); })) << expected;
    auto all = balloons();
    EXPECT_EQ(std::count_if(all.begin(), all.end(), [](auto& b) { return b.find("Output ") == 0; }), 1);

    ASSERT_TRUE(choose("61012"));
    EXPECT_TRUE(pollUntil([&] { return slurp(configFile()).find("isScreenShot=false\r\n") == 0; }));
}

TEST_F(MonitorTest, AboutListsTheFirstInstalledComponentReadAsBig5) {
    // "測試元件" in Big5, and a sibling component that is not listed.
    spit(dataFolder() + "/Installer/SignerDisplayName.txt", "\xb4\xfa\xb8\xd5\xa4\xb8\xa5\xf3");
    spit(dataFolder() + "/Installer/SignerVersion.txt", "1.2.3");
    spit(dataFolder() + "/Other/OtherDisplayName.txt", "Other");
    spit(dataFolder() + "/Other/OtherVersion.txt", "9");
    startMonitorReady();
    std::string about = openAbout();
    std::string signer = std::string("測試元件 Version:1.2.3 \\n") + kNotice;
    std::string other = std::string("Other Version:9 \\n") + kNotice;
    EXPECT_TRUE(about == signer || about == other) << about;

    // A second request while the box is open is ignored.
    driver({"tray-dblclick"});
    Sleep(500);
    EXPECT_EQ(boxes().size(), 1u);
    ASSERT_EQ(driver({"msgbox-ok"}).rc, 0);
    EXPECT_TRUE(pollUntil([&] { return boxes().empty(); }));
    EXPECT_EQ(openAbout(), about) << "the box opens again after it was closed";
    driver({"msgbox-ok"});
}

struct ConfigCase {
    const char* name;
    const char* stored;
    const char* after;
};

class MonitorConfigTest : public MonitorTest, public ::testing::WithParamInterface<ConfigCase> {};

TEST_P(MonitorConfigTest, StoredKeysAreKeptAndMissingOnesGetTheirDefaults) {
    spit(configFile(), GetParam().stored);
    startMonitorReady();
    EXPECT_EQ(slurp(configFile()), GetParam().after);
}

INSTANTIATE_TEST_SUITE_P(
    Files, MonitorConfigTest,
    ::testing::Values(
        ConfigCase{"OnlySilentMode", "silentmode=true",
                   "isScreenShot=false\r\nsilentmode=true\r\nautocheckupdate=true\r\n"},
        ConfigCase{"OtherLetterCase", "isScreenShot=TRUE\nsilentmode=False\nautocheckupdate=false\n",
                   "isScreenShot=false\r\nsilentmode=false\r\nautocheckupdate=false\r\n"},
        ConfigCase{"AllKeysAnywhereFalseFirst",
                   "x silentmode=true autocheckupdate=false isScreenShot=true silentmode=false",
                   "x silentmode=true autocheckupdate=false isScreenShot=true silentmode=false"},
        ConfigCase{"Empty", "", kDefaultConfig}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MonitorTest, SilentModeHidesTheStateBalloonsOnlyAndTogglesBackToTheSameFile) {
    spit(configFile(), "isScreenShot=false\r\nsilentmode=true\r\nautocheckupdate=true\r\n");
    startMonitorReady();
    std::string menu = openMenu();
    EXPECT_NE(menu.find("\t61011\t0\tSystem hint\n"), std::string::npos)
        << "unchecked while silent: " << menu;
    ASSERT_EQ(driver({"choose", "Stop"}).rc, 0);
    EXPECT_TRUE(pollUntil([&] { return iconResource() == 105; }));
    ASSERT_TRUE(choose("61008"));
    EXPECT_TRUE(pollUntil([&] { return hasBalloon("Switch toEnglish"); }));
    EXPECT_EQ(balloons().size(), 1u) << "no launch or end balloons";

    std::string before = slurp(configFile());
    ASSERT_TRUE(choose("System hint"));
    EXPECT_TRUE(pollUntil([&] { return slurp(configFile()).find("silentmode=false") != std::string::npos; }));
    ASSERT_TRUE(choose("System hint"));
    EXPECT_TRUE(pollUntil([&] { return slurp(configFile()) == before; }));
}

// A restart while silent leaves its mark: once the hints are back, the next end shows no
// "turned off" and the next launch says "already restarted".
TEST_F(MonitorTest, RestartWhileSilentIsAnnouncedAfterTheHintsComeBack) {
    spit(configFile(), "silentmode=true");
    startMonitorReady();
    int before = servicePids().empty() ? 0 : servicePids()[0];
    ASSERT_TRUE(choose("Restart"));
    EXPECT_TRUE(pollUntil([&] {
        auto now = servicePids();
        return now.size() == 1 && now[0] != before;
    }));
    ASSERT_TRUE(choose("System hint"));
    EXPECT_TRUE(pollUntil([&] { return slurp(configFile()).find("silentmode=false") != std::string::npos; }));
    ASSERT_TRUE(choose("Stop"));
    EXPECT_TRUE(pollUntil([&] { return iconResource() == 105; }));
    ASSERT_TRUE(choose("Start"));
    EXPECT_TRUE(pollUntil([&] { return hasBalloon("KVLBTessarion already restarted"); }));
    EXPECT_FALSE(hasBalloon("KVLBTessarion turned off"));
    EXPECT_FALSE(hasBalloon("KVLBTessarion turned on"));
}

TEST_F(MonitorTest, InstructionsToItsWindowStopStartAndEndIt) {
    pid_t monitor = startMonitorReady();
    ipcSenderName = "KVLBTessarionWorker.exe";
    ASSERT_TRUE(sendIpcMessage(IPC_CHANNEL_MONITOR, kInstructionStop));
    EXPECT_TRUE(pollUntil([&] { return servicePids().empty() && iconResource() == 105; }));
    ASSERT_TRUE(sendIpcMessage(IPC_CHANNEL_MONITOR, kInstructionMonitorStart));
    EXPECT_TRUE(pollUntil([&] { return !servicePids().empty() && iconResource() == 104; }));
    ASSERT_TRUE(sendIpcMessage(IPC_CHANNEL_MONITOR, kInstructionSuicide));
    EXPECT_EQ(waitExit(monitor), 0);
    EXPECT_EQ(tray().out, "");
    EXPECT_TRUE(pollUntil([&] { return servicePids().empty(); }, 15s));
}

TEST_F(MonitorTest, IconComesBackWhenTheShellRestarts) {
    startMonitorReady();
    int shown = iconResource();
    ASSERT_EQ(driver({"tray-reset"}).rc, 0);
    EXPECT_EQ(iconResource(), 0);
    ASSERT_EQ(driver({"broadcast", "TaskbarCreated"}).rc, 0);
    EXPECT_TRUE(pollUntil([&] { return iconResource() == shown; })) << tray().out;
    EXPECT_EQ(splitTabs(splitLines(tray().out)[0])[5], "KVLBTessarion");
}

}  // namespace
}  // namespace mon
