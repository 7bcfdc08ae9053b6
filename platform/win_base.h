// The system's view of the Windows facilities: the Linux build takes them from the POSIX
// emulation in platform/posix/.
#pragma once

#include "platform/posix/win_base.h"
