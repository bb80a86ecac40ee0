// Registry values of the driver's service key. Each operation opens and closes the key, so any
// passive-level thread may call them; no locks.
#include "core/dd.h"

#define DD_VALUE_QUERY_BYTES 272

HANDLE DdOpenDeviceKey(DdExtension* Extension, ACCESS_MASK Access) {
    UNICODE_STRING Path;
    OBJECT_ATTRIBUTES Attributes;
    HANDLE Key = NULL;
    if (Extension->Info.RegistryPath == NULL)
        return NULL;
    RtlInitUnicodeString(&Path, Extension->Info.RegistryPath);
    InitializeObjectAttributes(&Attributes, &Path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL,
                               NULL);
    if (!NT_SUCCESS(ZwOpenKey(&Key, Access, &Attributes)))
        return NULL;
    return Key;
}

// A value that is missing, of another type than REG_DWORD or of another size than 4 bytes
// reads as Default.
ULONG DdQueryDeviceValue(DdExtension* Extension, PCWSTR ValueName, ULONG Default) {
    ULONG Storage[DD_VALUE_QUERY_BYTES / sizeof(ULONG)];
    PKEY_VALUE_PARTIAL_INFORMATION Partial = (PKEY_VALUE_PARTIAL_INFORMATION)Storage;
    UNICODE_STRING Name;
    ULONG ResultLength = 0;
    ULONG Value = Default;

    HANDLE Key = DdOpenDeviceKey(Extension, KEY_QUERY_VALUE);
    if (Key == NULL)
        return Default;
    RtlInitUnicodeString(&Name, ValueName);
    NTSTATUS Status = ZwQueryValueKey(Key, &Name, KeyValuePartialInformation, Partial,
                                      sizeof(Storage), &ResultLength);
    if (NT_SUCCESS(Status) && Partial->Type == REG_DWORD && Partial->DataLength == sizeof(ULONG))
        RtlCopyMemory(&Value, Partial->Data, sizeof(ULONG));
    ZwClose(Key);
    return Value;
}

static BOOLEAN DdSetValue(DdExtension* Extension, PCWSTR ValueName, ULONG Type, PVOID Data,
                          ULONG Size) {
    UNICODE_STRING Name;
    HANDLE Key = DdOpenDeviceKey(Extension, KEY_SET_VALUE);
    if (Key == NULL)
        return FALSE;
    RtlInitUnicodeString(&Name, ValueName);
    NTSTATUS Status = ZwSetValueKey(Key, &Name, 0, Type, Data, Size);
    ZwClose(Key);
    return NT_SUCCESS(Status);
}

BOOLEAN DdSetDeviceValue(DdExtension* Extension, PCWSTR ValueName, ULONG Value) {
    return DdSetValue(Extension, ValueName, REG_DWORD, &Value, sizeof(Value));
}

// The REG_SZ data includes the terminating zero.
BOOLEAN DdSetDeviceString(DdExtension* Extension, PCWSTR ValueName, PCWSTR Value) {
    UNICODE_STRING Text;
    RtlInitUnicodeString(&Text, Value);
    return DdSetValue(Extension, ValueName, REG_SZ, (PVOID)Value, Text.Length + sizeof(WCHAR));
}
