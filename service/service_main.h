// The body of KVLBTessarionMain.exe: start-up, the main loop, teardown and the final function.
#pragma once

// The program body; commandLine is what follows the program name. Always 0.
int runService(const char* commandLine);
// Releases every session under the request lock and sets the stop flag (the IPC final function).
void TessarionFinal();
// New PEM text of the private key that matches the certificate for this Windows, or NULL.
char* loadTlsPrivateKey();
// True when this Windows gets the RSA certificate (Windows XP, or a version that is unknown).
bool useRsaCertificate();
// Starts the IPC receivers on the service's channel with the final function and stop flag set.
void startServiceIpc();
