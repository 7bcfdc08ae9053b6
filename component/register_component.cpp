// Registers the stand-in signing component in the machine's class registry (KVLB_ROOT), as
// regsvr32 would: the library beside this program, or the one named on the command line.
//   RegisterSigningComponent.exe [/u] [library]
#include <cstdio>
#include <cstring>
#include <string>

#include "component/signing_component.h"
#include "platform/root.h"

int main(int argc, char** argv) {
    platform::initProgram(argc, argv);
    bool remove = false;
    std::string library;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "/u") == 0 || std::strcmp(argv[i], "-u") == 0)
            remove = true;
        else
            library = argv[i];
    }
    if (remove) {
        bool ok = platform::unregisterComServer(CLSID_SigningComponent);
        std::printf(ok ? "SigningComponent unregistered\n" : "SigningComponent: registry not writable\n");
        return ok ? 0 : 1;
    }
    if (library.empty()) {
        WCHAR self[MAX_PATH] = {};
        DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
        for (DWORD i = 0; i < n; ++i) {
            if (self[i] >= 0x80) {
                std::fprintf(stderr, "name the library: this program's path is not plain ASCII\n");
                return 1;
            }
            library.push_back((char)self[i]);
        }
        size_t slash = library.find_last_of("\\/");
        if (n == 0 || slash == std::string::npos) {
            std::fprintf(stderr, "cannot find this program's folder; name the library\n");
            return 1;
        }
        library = library.substr(0, slash + 1) + "SigningComponent.dll";
    }
    if (!platform::registerComServer(CLSID_SigningComponent, library.c_str())) {
        std::fprintf(stderr, "cannot write the class registry under %s\n", platform::rootDir().c_str());
        return 1;
    }
    std::printf("SigningComponent registered: %s\n",
                platform::registeredComServer(CLSID_SigningComponent).c_str());
    return 0;
}
