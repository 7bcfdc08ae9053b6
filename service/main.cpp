// KVLBTessarionMain.exe: the program entry hands the command line (what follows the program
// name, as Windows gives it) to the service body.
#include <string>

#include "platform/root.h"
#include "service/service_main.h"

int main(int argc, char** argv) {
    platform::initProgram(argc, argv);
    std::string commandLine;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) commandLine += ' ';
        std::string argument = argv[i];
        if (argument.find(' ') != std::string::npos)
            commandLine += '"' + argument + '"';
        else
            commandLine += argument;
    }
    return runService(commandLine.c_str());
}
