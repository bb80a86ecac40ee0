#include "bridge/socket_io.h"

#include <cerrno>
#include <sys/socket.h>

namespace bridge {
namespace {

// Repeats one transfer step until n bytes have moved, retrying interrupted calls.
template <typename Byte, typename Step>
bool TransferAll(Byte* p, size_t n, Step step) {
    while (n > 0) {
        ssize_t k = step(p, n);
        if (k < 0 && errno == EINTR)
            continue;
        if (k <= 0)
            return false;
        p += k;
        n -= size_t(k);
    }
    return true;
}

} // namespace

bool SendAll(int fd, const uint8_t* data, size_t n) {
    return TransferAll(
        data, n, [fd](const uint8_t* p, size_t left) { return ::send(fd, p, left, MSG_NOSIGNAL); });
}

bool ReceiveAll(int fd, uint8_t* data, size_t n) {
    return TransferAll(data, n, [fd](uint8_t* p, size_t left) { return ::recv(fd, p, left, 0); });
}

} // namespace bridge
