// Lettered item lists in string texts, with the one-list cache.
#include "base/stringitems.h"

#include <cstring>

namespace {

// Turns the list after `letter`{ into items separated by zeros at the start of the buffer.
// False when the text has no such list.
bool CutItems(StringItemCache& cache, char letter) {
    char* text = cache.text;
    char* open = nullptr;
    for (char* p = text; p[0] != '\0'; ++p) {
        if (p[0] == letter && p[1] == '{') {
            open = p + 2;
            break;
        }
    }
    if (!open)
        return false;
    unsigned count = 1;
    char* out = text;
    for (const char* in = open; *in != '\0' && *in != '}'; ++in) {
        if (*in == '|') {
            *out++ = '\0';
            ++count;
        } else {
            *out++ = *in;
        }
    }
    *out = '\0';
    // The count is a byte; items beyond the 255th cannot be asked for.
    cache.count = std::uint8_t(count > 255 ? 255 : count);
    return true;
}

} // namespace

const char* LookupStringItem(StringItemCache& cache, StringItemLoader load, const void* module,
                             unsigned id, char letter, int index, const char* fallback) {
    bool hit = cache.valid && cache.module == module && cache.id == id && cache.letter == letter;
    if (!hit) {
        cache.valid = false;
        cache.count = 0;
        cache.text[0] = '\0';
        if (!load(module, id, cache.text, sizeof cache.text) || cache.text[0] == '\0')
            return fallback;
        if (!CutItems(cache, letter))
            return fallback;
        cache.module = module;
        cache.id = id;
        cache.letter = letter;
        cache.valid = true;
    }
    if (index < 0 || index >= cache.count)
        return nullptr;
    const char* item = cache.text;
    for (int i = 0; i < index; ++i)
        item += std::strlen(item) + 1;
    return item;
}
