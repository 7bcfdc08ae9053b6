// The body of KVLBTessarionMain.exe: start-up, the main loop, teardown and the final function.
#pragma once
#include "platform/win_base.h"

// The program body; commandLine is what follows the program name. Always 0.
int runService(const char* commandLine);
// Releases every session under the request lock and sets the stop flag (the IPC final function).
void TessarionFinal();
// New PEM text of the private key that matches the certificate for this Windows, or NULL.
char* loadTlsPrivateKey();
// True when this Windows gets the RSA certificate (Windows XP, or a version that is unknown).
bool useRsaCertificate();
// The same for the Windows that the version flags (common/winver.h) name: the rule, the built-in
// PEM certificate it picks, and a new PEM text of that certificate's private key or NULL.
bool useRsaCertificate(DWORD flags);
const char* tlsCertificatePem(DWORD flags);
char* loadTlsPrivateKey(DWORD flags);
// Starts the IPC receivers on the service's channel with the final function and stop flag set.
void startServiceIpc();
