// Feeds arbitrary texts to the shell's parsers and to marker expansion, whose strings are cut
// from the same input (so they hold markers and refer to each other and to themselves).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "base/colortriple.h"
#include "base/markers.h"
#include "base/placement.h"
#include "base/stringitems.h"

namespace {

struct Input {
    std::vector<std::string> parts; // the strings, by id modulo their number
    std::string version;
};

bool LoadPart(void* context, unsigned id, char* buf, std::size_t cap) {
    auto* input = static_cast<Input*>(context);
    if (input->parts.empty() || id % 7 == 0)
        return false;
    const std::string& s = input->parts[id % input->parts.size()];
    std::size_t n = s.size() < cap - 1 ? s.size() : cap - 1;
    std::memcpy(buf, s.data(), n);
    buf[n] = '\0';
    return true;
}

bool Version(void* context, char* buf, std::size_t cap) {
    return LoadPart(context, 1, buf, cap) || (buf[0] = '\0', false);
}

bool LoadItems(const void* module, unsigned id, char* buf, std::size_t cap) {
    return LoadPart(const_cast<void*>(module), id, buf, cap);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2)
        return 0;
    std::size_t extra = data[0];
    std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    text = text.substr(0, text.find('\0'));

    Input input;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == '~') {
            input.parts.push_back(text.substr(start, i - start));
            start = i + 1;
        }
    }

    // Capacity 0 and the text's own size plus a little room, in an exactly sized buffer.
    for (std::size_t capacity : {std::size_t(0), text.size() + 1 + extra}) {
        std::vector<char> buffer(text.size() + 1 + extra);
        std::memcpy(buffer.data(), text.c_str(), text.size() + 1);
        MarkerSource source = {LoadPart, Version, &input};
        ExpandMarkersWith(buffer.data(), capacity, source);
    }

    ParseColorTriple(text.c_str());
    CrtAtoi(text.c_str());
    PlacementNumbers p;
    if (ParsePlacement(text.c_str(), p)) {
        char formatted[kPlacementTextMax];
        FormatPlacement(p, formatted, sizeof formatted);
    }
    static StringItemCache cache;
    LookupStringItem(cache, LoadItems, &input, 3, char(extra), int(extra % 5), nullptr);
    LookupStringItem(cache, LoadItems, &input, 3, char(extra), 300, nullptr);
    cache.valid = false; // the next input is another module
    return 0;
}
