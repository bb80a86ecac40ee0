// Guarded copies for the host build, on the kernel-services layer: the layer decides, as probing
// and a fault would on Windows, whether the caller's range may be touched.
// Any thread at PASSIVE_LEVEL or APC_LEVEL in the requesting client's context; no locks.
#include "core/caller_buffer.h"

#include <ks/system.h>

NTSTATUS DdCopyFromCaller(PVOID Destination, const void* CallerSource, ULONG Length) {
    if (!ks::CallerRangeAccessible(CallerSource, Length))
        return STATUS_ACCESS_VIOLATION;
    RtlCopyMemory(Destination, CallerSource, Length);
    return STATUS_SUCCESS;
}

NTSTATUS DdCopyToCaller(PVOID CallerDestination, const void* Source, ULONG Length) {
    if (!ks::CallerRangeAccessible(CallerDestination, Length))
        return STATUS_ACCESS_VIOLATION;
    RtlCopyMemory(CallerDestination, Source, Length);
    return STATUS_SUCCESS;
}
