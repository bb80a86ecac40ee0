// The road from the user-mode MIDI driver to the driver's device: one table of operations per
// kind of channel. On Windows the device itself (\\.\KorvaneMidiVr1); on the development machine
// the device host's loopback bridge; for tests an in-process loopback (loopdevice.h).
//
// Every handle is one client of the driver. Read blocks until a buffer arrives or Cancel is called
// from another thread; Ioctl may run on another thread while a Read of the same handle waits,
// but the driver keeps a separate handle for its reads, so each handle sees one request at a time.
#pragma once

#include <cstdint>

namespace umdrv {

enum class ChannelKind { Device, Bridge, Loop };

struct ChannelConfig {
    ChannelKind Kind = ChannelKind::Device;
    uint16_t BridgePort = 0; // 127.0.0.1 port of the device host's bridge
};

struct DeviceChannel {
    // A new handle, or nullptr with *status the failure (an NTSTATUS where the device told one).
    void* (*Open)(const ChannelConfig& config, uint32_t* status);
    bool (*Read)(void* handle, uint8_t* buffer, uint32_t size, uint32_t* got);
    void (*Cancel)(void* handle);
    void (*Close)(void* handle);
    // true when the request completed; *status is its NTSTATUS, *returned the bytes returned.
    bool (*Ioctl)(void* handle, uint32_t code, const void* in, uint32_t inLength, void* out,
                  uint32_t outLength, uint32_t* returned, uint32_t* status);
    // Waits up to `ms` until a read of the handle is waiting in the driver, so that input from
    // then on reaches it.
    bool (*WaitReading)(void* handle, uint32_t ms);
};

const DeviceChannel* ChannelFor(ChannelKind kind);

} // namespace umdrv
