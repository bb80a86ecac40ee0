// Counts the GDI objects of the test's process, for tests that check that drawing leaks nothing.
// Wine 8's GetGuiResources answers 0, so the count is read from the process's GDI handle table,
// which the process environment block points to (x64: offset 0xF8): 65536 entries of 24 bytes,
// an entry in use while its type byte (offset 14) is not 0. Stock objects are counted too.
#pragma once

#include <windows.h>

#include <winternl.h>

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
    const auto* peb = reinterpret_cast<const uint8_t*>(NtCurrentTeb()->ProcessEnvironmentBlock);
    const Entry* table = *reinterpret_cast<const Entry* const*>(peb + 0xF8);
    int count = 0;
    for (int i = 0; table && i < 0x10000; ++i)
        count += table[i].type != 0;
    return count;
}
