#pragma once
// One connection accepted by a socket layer over loopback, for the layer's own tests.

#include "platform/winsock.h"
#include "socket_layer/mod_falquor.h"
#include "support/loopback.h"

#include <sys/socket.h>

#include <gtest/gtest.h>

namespace testing_support {

// Starts `falquor`'s socket library, listens on a free port, connects `client` and returns the
// accepted socket. A small `receiveBuffer` on both ends makes output back up quickly.
inline int AcceptedSocket(modFalquor& falquor, int& listener, LoopbackClient& client,
                          int receiveBuffer) {
    falquor.StartWinSock();
    EXPECT_TRUE(falquor.CreateSocket(listener, 0));
    EXPECT_EQ(platform::listen(listener, platform::MaxBacklog()), 0);
    client.Connect(platform::LocalPort(listener), receiveBuffer);
    int socket = -1;
    PumpUntil([&] { return (socket = platform::accept(listener, nullptr, nullptr)) >= 0; });
    if (receiveBuffer > 0) {
        ::setsockopt(socket, SOL_SOCKET, SO_SNDBUF, &receiveBuffer, sizeof receiveBuffer);
    }
    return socket;
}

}  // namespace testing_support
