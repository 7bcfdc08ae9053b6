// The monitor's kill of the service: the shared escalation, reported as the monitor. A file of its
// own, so that what uses it alone does not bring in the keeper and its tray calls.
#include "monitor/keeper.h"
#include "process_control/process_control.h"

bool killMainProgram() {
    return killProgramAs(MONITOR_PROGRAM_NAME, MAIN_PROGRAM_NAME);
}
