#include "socket_layer/transport.h"

#include "platform/socket_queue.h"
#include "platform/winsock.h"

bool Transport::Discard() {
    char scratch[16 * 1024];
    for (int reads = 0; reads < 64; ++reads) {
        const int n = platform::recv(socket_, scratch, sizeof scratch, 0);
        if (n <= 0) {
            return n < 0 && platform::WSAGetLastError() == platform::WSAEWOULDBLOCK;
        }
    }
    return true;
}

int Transport::UnsentBytes() const {
    return platform::UnsentBytes(socket_);
}

void Transport::CloseSocket() {
    platform::closesocket(socket_);
}
