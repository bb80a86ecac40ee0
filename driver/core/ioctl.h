// The device control interface: five codes served by the fast device-control entry
// FastDeviceIoCtl on the caller's buffers; every other code goes to DdIoctl as a request and is
// refused. The handlers run in the caller's thread at PASSIVE_LEVEL; every access to the caller's
// buffers goes through the guarded copies of caller_buffer.h (a fault: STATUS_ACCESS_VIOLATION).
// NumClients takes ClientLock; Play and the sends below it take the ports' SendLocks;
// Activate takes no lock of its own (DdActivatePort).
#pragma once

#include "core/dd.h"

NTSTATUS DdIoctlGetCaps(DdExtension* Extension, PIO_STATUS_BLOCK IoStatus, PVOID Output,
                        ULONG OutputLength);
NTSTATUS DdIoctlGetState(DdExtension* Extension, PIO_STATUS_BLOCK IoStatus, PVOID Output,
                         ULONG OutputLength);
NTSTATUS DdIoctlNumClients(DdExtension* Extension, PIO_STATUS_BLOCK IoStatus, PVOID Output,
                           ULONG OutputLength);
NTSTATUS DdIoctlMidiPlay(DdExtension* Extension, PIO_STATUS_BLOCK IoStatus, PVOID Input,
                         ULONG InputLength);
NTSTATUS DdIoctlActivate(DdExtension* Extension, PIO_STATUS_BLOCK IoStatus, PVOID Input,
                         ULONG InputLength);
