// Run-time library: counted strings and integer conversions.
#include <wdm.h>

#include "ks_internal.h"

extern "C" {

SIZE_T RtlCompareMemory(const void* Source1, const void* Source2, SIZE_T Length) {
    const UCHAR* a = (const UCHAR*)Source1;
    const UCHAR* b = (const UCHAR*)Source2;
    SIZE_T i = 0;
    while (i < Length && a[i] == b[i])
        i++;
    return i;
}

void RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    DestinationString->Buffer = (PWSTR)SourceString;
    if (SourceString == NULL) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        return;
    }
    size_t n = 0;
    while (SourceString[n] != 0)
        n++;
    if (n * sizeof(WCHAR) > 0xFFFC)
        ks::Fail("RtlInitUnicodeString: string of %zu characters does not fit a UNICODE_STRING", n);
    DestinationString->Length = (USHORT)(n * sizeof(WCHAR));
    DestinationString->MaximumLength = (USHORT)(DestinationString->Length + sizeof(WCHAR));
}

void RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString) {
    DestinationString->Buffer = (PCHAR)SourceString;
    if (SourceString == NULL) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        return;
    }
    size_t n = strlen(SourceString);
    if (n > 0xFFFE)
        ks::Fail("RtlInitAnsiString: string of %zu characters does not fit an ANSI_STRING", n);
    DestinationString->Length = (USHORT)n;
    DestinationString->MaximumLength = (USHORT)(n + 1);
}

void RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
    if (SourceString == NULL) {
        DestinationString->Length = 0;
        return;
    }
    USHORT n = SourceString->Length;
    if (n > DestinationString->MaximumLength)
        n = DestinationString->MaximumLength;
    memmove(DestinationString->Buffer, SourceString->Buffer, n);
    DestinationString->Length = n;
    if (n + sizeof(WCHAR) <= DestinationString->MaximumLength)
        DestinationString->Buffer[n / sizeof(WCHAR)] = 0;
}

static NTSTATUS Append(PUNICODE_STRING Destination, const WCHAR* Source, size_t Bytes) {
    if (Destination->Length + Bytes > Destination->MaximumLength)
        return STATUS_BUFFER_TOO_SMALL;
    memmove((PUCHAR)Destination->Buffer + Destination->Length, Source, Bytes);
    Destination->Length = (USHORT)(Destination->Length + Bytes);
    if (Destination->Length + sizeof(WCHAR) <= Destination->MaximumLength)
        Destination->Buffer[Destination->Length / sizeof(WCHAR)] = 0;
    return STATUS_SUCCESS;
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
    if (Source == NULL)
        return STATUS_SUCCESS;
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, Source);
    return Append(Destination, s.Buffer, s.Length);
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
    return Append(Destination, Source->Buffer, Source->Length);
}

static NTSTATUS Digits(ULONG Value, ULONG Base, char* Out, size_t* Count) {
    if (Base == 0)
        Base = 10;
    if (Base != 2 && Base != 8 && Base != 10 && Base != 16)
        return STATUS_INVALID_PARAMETER;
    char reversed[33];
    size_t n = 0;
    do {
        ULONG d = Value % Base;
        reversed[n++] = (char)(d < 10 ? '0' + d : 'A' + d - 10);
        Value /= Base;
    } while (Value != 0);
    for (size_t i = 0; i < n; i++)
        Out[i] = reversed[n - 1 - i];
    *Count = n;
    return STATUS_SUCCESS;
}

NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String) {
    char text[33];
    size_t n;
    NTSTATUS status = Digits(Value, Base, text, &n);
    if (!NT_SUCCESS(status))
        return status;
    if ((n + 1) * sizeof(WCHAR) > String->MaximumLength)
        return STATUS_BUFFER_OVERFLOW;
    for (size_t i = 0; i < n; i++)
        String->Buffer[i] = (WCHAR)text[i];
    String->Buffer[n] = 0;
    String->Length = (USHORT)(n * sizeof(WCHAR));
    return STATUS_SUCCESS;
}

NTSTATUS RtlIntegerToChar(ULONG Value, ULONG Base, LONG OutputLength, PCHAR String) {
    char text[33];
    size_t n;
    NTSTATUS status = Digits(Value, Base, text, &n);
    if (!NT_SUCCESS(status))
        return status;
    if (OutputLength < 0 || (size_t)OutputLength < n)
        return STATUS_BUFFER_OVERFLOW;
    memcpy(String, text, n);
    if ((size_t)OutputLength > n)
        String[n] = 0;
    return STATUS_SUCCESS;
}

NTSTATUS RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value) {
    size_t n = String->Length / sizeof(WCHAR), i = 0;
    while (i < n && String->Buffer[i] == ' ')
        i++;
    bool negative = false;
    if (i < n && (String->Buffer[i] == '-' || String->Buffer[i] == '+'))
        negative = String->Buffer[i++] == '-';
    if (Base == 0) {
        Base = 10;
        if (i + 1 < n && String->Buffer[i] == '0') {
            WCHAR p = String->Buffer[i + 1];
            Base = p == 'x' ? 16 : p == 'o' ? 8 : p == 'b' ? 2 : 10;
            if (Base != 10)
                i += 2;
        }
    }
    if (Base != 2 && Base != 8 && Base != 10 && Base != 16)
        return STATUS_INVALID_PARAMETER;
    ULONG result = 0;
    for (; i < n; i++) {
        WCHAR c = String->Buffer[i];
        ULONG d = c >= '0' && c <= '9'   ? c - '0'
                  : c >= 'a' && c <= 'f' ? c - 'a' + 10
                  : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                         : 99;
        if (d >= Base)
            break;
        result = result * Base + d;
    }
    *Value = negative ? (ULONG)(-(LONG)result) : result;
    return STATUS_SUCCESS;
}

static WCHAR Upcase(WCHAR c) {
    return (c >= 'a' && c <= 'z') ? (WCHAR)(c - 'a' + 'A') : c;
}

LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                             BOOLEAN CaseInSensitive) {
    size_t n1 = String1->Length / sizeof(WCHAR), n2 = String2->Length / sizeof(WCHAR);
    for (size_t i = 0; i < n1 && i < n2; i++) {
        WCHAR a = String1->Buffer[i], b = String2->Buffer[i];
        if (CaseInSensitive) {
            a = Upcase(a);
            b = Upcase(b);
        }
        if (a != b)
            return (LONG)a - (LONG)b;
    }
    return (LONG)n1 - (LONG)n2;
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                              BOOLEAN CaseInSensitive) {
    return String1->Length == String2->Length &&
           RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0;
}

NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, PCANSI_STRING SourceString,
                                      BOOLEAN AllocateDestinationString) {
    size_t bytes = (size_t)SourceString->Length * sizeof(WCHAR);
    if (bytes + sizeof(WCHAR) > 0xFFFE)
        return STATUS_INVALID_PARAMETER;
    if (AllocateDestinationString) {
        DestinationString->MaximumLength = (USHORT)(bytes + sizeof(WCHAR));
        DestinationString->Buffer = (PWSTR)ExAllocatePoolWithTag(
            PagedPool, DestinationString->MaximumLength, ks::kStringPoolTag);
        if (DestinationString->Buffer == NULL)
            return STATUS_NO_MEMORY;
    } else if (bytes > DestinationString->MaximumLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (size_t i = 0; i < SourceString->Length; i++)
        DestinationString->Buffer[i] = (WCHAR)(UCHAR)SourceString->Buffer[i];
    DestinationString->Length = (USHORT)bytes;
    if (bytes + sizeof(WCHAR) <= DestinationString->MaximumLength)
        DestinationString->Buffer[bytes / sizeof(WCHAR)] = 0;
    return STATUS_SUCCESS;
}

void RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
    if (UnicodeString->Buffer != NULL)
        ExFreePoolWithTag(UnicodeString->Buffer, ks::kStringPoolTag);
    UnicodeString->Buffer = NULL;
    UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

} // extern "C"
