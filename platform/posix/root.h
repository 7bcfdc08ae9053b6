// The emulated machine: every piece of state the platform layer keeps lives under one root folder,
// named by the environment variable KVLB_ROOT. A test gives each case its own root.
#pragma once
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace platform {

// The root folder on the host (created on first use): KVLB_ROOT, or ~/.kvlbtessarion. Read anew
// on every call, so a test may point one process at a fresh root per case.
std::string rootDir();

// A setting of the machine, from <root>/machine.ini ("key=value" lines), read anew on every call so
// that a test can change it while the programs run. Keys: "windows" (xp, vista, 7, 8, 8.1, 10, 11,
// server2016, unknown; default 10), "build" (overrides that version's build number), "arch" (x64,
// x86; default x64), "acp" (ANSI code page, default 1252), "clock_offset_ms" (added to the host
// clock, default 0), "user" (user name, default "User"), "screen_width" and "screen_height"
// (GetSystemMetrics, default 1920 x 1080), "random" ("fail": RtlGenRandom fails).
std::string setting(const char* key, const char* fallback);
void setSetting(const char* key, const std::string& value);

// All settings as they stand now, for a caller that reads several at once (NULL: no settings file),
// and a setting out of such a snapshot.
using SettingEntries = std::vector<std::pair<std::string, std::string>>;
std::shared_ptr<const SettingEntries> settingsSnapshot();
std::string settingIn(const SettingEntries* entries, const char* key, const char* fallback);

// Called first thing in main(): records argv so that GetCommandLineW answers as on Windows (the
// exact line when the program was started through CreateProcessW) and sets up the machine. A
// program that does not call it gets the same command line from the host's record of its argv.
void initProgram(int argc, char** argv);

}  // namespace platform
