// The verbs of kvlbdesktop: one table entry per verb serves both the dispatch and the usage text,
// so the list a person sees is the list the driver obeys.
#pragma once
#include <cstddef>

struct DriverVerb {
    const char* name;
    const char* arguments;              // as the usage text shows them, "" when none
    int minArgs;                        // words after the verb
    int maxArgs;                        // -1: any number
    int (*run)(int argc, char** argv);  // argv[1] is the verb; exit code (0, 1 failed, 2 bad line)
    const char* help;
};

// desktop_shell.cpp: the tray, balloons, menus, message boxes, keys and the cursor.
extern const DriverVerb shellVerbs[];
extern const size_t shellVerbCount;
