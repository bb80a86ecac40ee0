// Device and link names: "\Device\" or "\??\" + base name + an optional decimal number.
#include "core/dd.h"

// Out = Prefix + Base (+ decimal Number when Number is not negative). Any IRQL; no locks.
static NTSTATUS DdBuildName(PCWSTR Prefix, PCWSTR Base, LONG Number, ULONG Shown,
                            PUNICODE_STRING Out) {
    Out->Length = 0;
    NTSTATUS Status = RtlAppendUnicodeToString(Out, Prefix);
    if (NT_SUCCESS(Status))
        Status = RtlAppendUnicodeToString(Out, Base);
    if (NT_SUCCESS(Status) && Number >= 0) {
        WCHAR DigitBuffer[10]; // 20 bytes
        UNICODE_STRING Digits = {0, sizeof(DigitBuffer), DigitBuffer};
        Status = RtlIntegerToUnicodeString(Shown, 10, &Digits);
        if (NT_SUCCESS(Status))
            Status = RtlAppendUnicodeStringToString(Out, &Digits);
    }
    return Status;
}

NTSTATUS BuildDeviceName(PCWSTR BaseName, LONG Number, PUNICODE_STRING Out) {
    return DdBuildName(DD_WTEXT("\\Device\\"), BaseName, Number, (ULONG)Number, Out);
}

NTSTATUS BuildWin32Name(PCWSTR BaseName, LONG Number, PUNICODE_STRING Out) {
    return DdBuildName(DD_WTEXT("\\??\\"), BaseName, Number, (ULONG)Number + 1, Out);
}
