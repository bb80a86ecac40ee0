// Whole-buffer transfers on a connected stream socket (host tree: the device host and its
// clients). Any thread; the caller keeps one sender at a time per socket.
#pragma once

#include <cstddef>
#include <cstdint>

namespace bridge {

// Sends all n bytes (no SIGPIPE); false once the peer is gone or the socket fails.
bool SendAll(int fd, const uint8_t* data, size_t n);

// Receives exactly n bytes; false at the end of the stream or on an error.
bool ReceiveAll(int fd, uint8_t* data, size_t n);

} // namespace bridge
