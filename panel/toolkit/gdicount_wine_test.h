// Counts the GDI objects of the test's process, for tests that check that drawing leaks nothing.
// Wine 8's GetGuiResources answers 0, so the count is read from the process's GDI handle table
// (PEB offset 0xF8 on x64): 65536 entries of 24 bytes, in use while the type byte is not 0.
// Stock objects are counted too.
#pragma once

#include <windows.h>

#include <cstdint>

inline int ProcessGdiObjects() {
    struct Entry {
        uint64_t object;
        uint32_t owner;
        uint16_t unique;
        uint8_t type;
        uint8_t flags;
        uint64_t user;
    };
    static_assert(sizeof(Entry) == 24);
    using PebFn = const uint8_t*(WINAPI*)();
    static auto currentPeb = reinterpret_cast<PebFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "RtlGetCurrentPeb")));
    const uint8_t* peb = currentPeb ? currentPeb() : nullptr;
    if (!peb)
        return -1;
    const Entry* table = *reinterpret_cast<const Entry* const*>(peb + 0xF8);
    int count = 0;
    for (int i = 0; table && i < 0x10000; ++i)
        count += table[i].type != 0;
    return count;
}
