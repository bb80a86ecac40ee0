// Guarded copies for the kernel build: probe user-mode addresses, and turn any fault into
// STATUS_ACCESS_VIOLATION with structured exception handling.
// Any thread at PASSIVE_LEVEL or APC_LEVEL in the requesting process's context; no locks.
#include "core/caller_buffer.h"

NTSTATUS DdCopyFromCaller(PVOID Destination, const void* CallerSource, ULONG Length) {
    if (Length == 0)
        return STATUS_SUCCESS;
    __try {
        if (ExGetPreviousMode() != KernelMode)
            ProbeForRead((PVOID)CallerSource, Length, 1);
        RtlCopyMemory(Destination, CallerSource, Length);
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        return STATUS_ACCESS_VIOLATION;
    }
    return STATUS_SUCCESS;
}

NTSTATUS DdCopyToCaller(PVOID CallerDestination, const void* Source, ULONG Length) {
    if (Length == 0)
        return STATUS_SUCCESS;
    __try {
        if (ExGetPreviousMode() != KernelMode)
            ProbeForWrite(CallerDestination, Length, 1);
        RtlCopyMemory(CallerDestination, Source, Length);
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        return STATUS_ACCESS_VIOLATION;
    }
    return STATUS_SUCCESS;
}
