// KVLBTessarionMonitor.exe: the per-user tray program. The command line is not read.
#include <cstdio>
#include <cstdlib>

#include "monitor/monitor.h"
#include "platform/root.h"

int main(int argc, char** argv) {
    platform::initProgram(argc, argv);
    taskbarCreatedMessage = RegisterWindowMessageW(L"TaskbarCreated");
    int code = monitorMain(GetModuleHandleW(nullptr));
    // The keeper and the watchers never end; leave without running static destructors under them.
    std::fflush(nullptr);
    std::_Exit(code);
}
