// The little of sockets the system touches beside libmicrohttpd: an IPv4 socket address for a
// listen address, and shutdown() of a connection. Winsock in the Windows build, the host's
// sockets in the Linux build.
#pragma once

#ifdef _WIN32
#include "platform/win_base.h"
#include <ws2tcpip.h>
#ifndef SHUT_RDWR
#define SHUT_RDWR SD_BOTH
#endif
#else
#include <netinet/in.h>
#include <sys/socket.h>
#endif
