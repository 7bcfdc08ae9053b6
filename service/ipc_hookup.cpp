#include "common/log.h"
#include "service/service_main.h"
#include "service/service_state.h"

void startServiceIpc() {
    logNormal("IPC: ", "not available in this build");
}
