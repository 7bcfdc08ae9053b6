// The keeper: the monitor's thread that launches the service hidden, waits for its end and
// launches it again, steered by the wanted state, a restart in progress and the session flag.
#pragma once
#include <atomic>

// Wanted state of the service.
constexpr int kDesiredRun = 1;
constexpr int kDesiredStopped = 2;
constexpr int kDesiredRestart = 3;

extern std::atomic<int> desiredState;              // 1 run, 2 stopped by the user, 3 restart
extern std::atomic<unsigned char> keeperMayStart;  // 0 while a restart ends the service
extern std::atomic<unsigned char> restarted;       // set by a restart; the tray balloons clear it
// 1 while the Windows session is locked or disconnected; the keeper's receivers on "KVLBMonitor"
// write it through ipcSessionFlag.
extern unsigned char switchedOut;

// Thread body (pthread signature; the argument is unused). Ends after the eighth launch in a row
// in the run state, else lives as long as the process.
void* keeperThread(void*);

void startMainProgram();    // wanted state: run
void stopMainProgram();     // wanted state: stopped; the service is ended
void restartMainProgram();  // wanted state: restart; the service is ended while the keeper waits
// The monitor's kill of the service (the escalation of killProgramAs, reported as the monitor);
// true when no service process is left.
bool killMainProgram();

// Tray icon states the keeper shows around each launch; the tray code defines them.
void setIconRunning();
void setIconStopped();
void refreshTrayIcons();
