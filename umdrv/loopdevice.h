// A stand-in for the driver's device inside the process, for tests of the winmm side without the
// device host: what is played on an output cable comes back on the input cable of the same number,
// framed into exchange buffers the way the driver frames serial input (System Exclusive in pieces
// of 16, then 240 bytes; a message broken off by a status byte ends with a type 3 piece). Handles
// behave like the driver's clients: input reaches a handle only after one of its reads has waited.
// Pure code (standard threads); every function may be called from any thread.
#pragma once

#include <cstdint>

namespace umdrv {

using LoopHandle = int;

LoopHandle LoopOpen();
// Blocks until a buffer is there (true, *got = header + data) or the handle is cancelled (false).
bool LoopRead(LoopHandle h, uint8_t* buffer, uint32_t size, uint32_t* got);
void LoopCancel(LoopHandle h); // wakes a waiting read; later reads fail at once
void LoopClose(LoopHandle h);
// IOCTL_DD_MIDI_PLAY; returns the bytes taken.
uint32_t LoopPlay(const uint8_t* in, uint32_t length);
// Number of open handles, and of those that receive (one of their reads has waited).
int LoopClientCount();
int LoopReceivingClients();
// Waits up to `ms` until the handle receives; false on time-out or an unknown handle.
bool LoopWaitReceiving(LoopHandle h, uint32_t ms);

} // namespace umdrv
