// Guarded access to a caller's buffer (the METHOD_NEITHER and fast I/O paths hand the driver
// user-mode addresses). One implementation per platform: structured exception handling with
// probing in the kernel build, the layer's fault model on the host.
// Any thread at PASSIVE_LEVEL or APC_LEVEL, in the context of the requesting process; no locks.
#pragma once

#include <ntddk.h>

// Copies Length bytes from the caller's CallerSource. STATUS_ACCESS_VIOLATION when the buffer
// faults or (for a user-mode caller) does not lie in user space; Destination may then hold part
// of the data.
NTSTATUS DdCopyFromCaller(PVOID Destination, const void* CallerSource, ULONG Length);

// Copies Length bytes to the caller's CallerDestination; the same failures.
NTSTATUS DdCopyToCaller(PVOID CallerDestination, const void* Source, ULONG Length);
