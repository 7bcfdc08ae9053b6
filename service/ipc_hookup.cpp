// The service on its IPC channel: the receivers call its final function and set its stop flag.
#include "ipc/transport.h"
#include "service/service_main.h"
#include "service/service_state.h"

void startServiceIpc() {
    ipcFinalFunction = TessarionFinal;
    ipcSessionFlag = &stopFlag;
    startIpcReceivers(IPC_CHANNEL_MAIN);
}
