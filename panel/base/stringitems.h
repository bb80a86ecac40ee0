// Lettered item lists kept in string texts, such as "D{1005}L{1010=Off|1011=Read}": letter L
// holds the items "1010=Off" and "1011=Read". One process-wide cache holds the last list looked
// up; an item returned stays valid until a lookup with other parameters. Pure; UI thread only.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr std::size_t kStringItemBuffer = 512;

struct StringItemCache {
    const void* module; // the module instance of the cached list, or null
    unsigned id;
    char letter;
    bool valid;
    std::uint8_t count; // number of items in text
    char text[kStringItemBuffer];
};

// Loads string `id` of `module` into buf (cap bytes), always terminated; false when missing.
using StringItemLoader = bool (*)(const void* module, unsigned id, char* buf, std::size_t cap);

// The index-th item (0-based) of the list after `letter`{ in string `id`; `fallback` when the
// string is missing or empty or has no such list; null when the index is beyond the last item.
const char* LookupStringItem(StringItemCache& cache, StringItemLoader load, const void* module,
                             unsigned id, char letter, int index, const char* fallback);
