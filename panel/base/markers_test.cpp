// Marker expansion against a string table and version text held by the test.
#include "base/markers.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>

namespace {

struct FakeResources {
    std::map<unsigned, std::string> strings = {
        {20001, "V $\\n@2"}, {20002, "end"}, {20003, "x"},   {20005, "ab"},    {20006, "@7"},
        {20007, "x@6"},      {20008, "@8"},  {20009, "a@9"}, {22001, "About"},
    };
    std::string version = "2.22";
    std::map<unsigned, int> loads;

    static bool Load(void* context, unsigned id, char* buf, std::size_t cap) {
        auto* self = static_cast<FakeResources*>(context);
        ++self->loads[id];
        auto it = self->strings.find(id);
        if (it == self->strings.end())
            return false;
        std::snprintf(buf, cap, "%s", it->second.c_str());
        return true;
    }
    static bool Version(void* context, char* buf, std::size_t cap) {
        std::snprintf(buf, cap, "%s", static_cast<FakeResources*>(context)->version.c_str());
        return true;
    }

    // Expands `text` in a buffer of `capacity` bytes (at least its own size): "text|result".
    std::string Expand(const std::string& text, std::size_t capacity) {
        std::string buffer(std::max(capacity, text.size() + 1), '\x7f');
        std::memcpy(buffer.data(), text.c_str(), text.size() + 1);
        MarkerSource source = {Load, Version, this};
        int result = ExpandMarkersWith(buffer.data(), capacity, source);
        return std::string(buffer.c_str()) + "|" + std::to_string(result);
    }
};

TEST(Markers, ExpansionTableVersionsLoadsAndNesting) {
    const struct {
        const char *text, *want;
        std::size_t capacity;
    } cases[] = {
        // The version fits the room its marker frees; a bare marker frees one character only,
        // unless the buffer has room.
        {"V $####", "V 2.22|1", 0},
        {"V $", "V |0", 0},
        {"V $!", "V 2.22!|1", 64},
        // Doubled markers stand for themselves; a lone one at the end stays.
        {"mail@@host", "mail@host|1", 0},
        {"a @b", "a @b|1", 0},
        {"@@5 costs $$5", "@5 costs $5|1", 0},
        {"trailing @", "trailing @|1", 0},
        // String references; ids of 10000 and above are absolute. A replacement must be shorter
        // than the free room: "@5" frees two characters, a buffer of 4 bytes adds one.
        {"[@5]", "[ab]|1", 16},
        {"@22001", "About|1", 0},
        {"[@5]", "[]|0", 0},
        {"@5", "|0", 3},
        {"@5", "ab|1", 4},
        // A missing string gives an error text only when it fits.
        {"a@77b", "a<Err 20077>b|0", 64},
        {"a@77b", "ab|0", 0},
        // Backslash n becomes a line break; other backslashes stay.
        {"one\\ntwo", "one\r\ntwo|1", 0},
        {"one\ntwo", "one\ntwo|1", 0},
        {"\\x\\", "\\x\\|1", 0},
        // Inserted texts are expanded in their turn; text longer than its capacity only shrinks.
        {"@1.", "V 2.22\r\nend.|1", 64},
        {"abc@3", "abcx|1", 2},
        // Self references end, after at most kMarkerMaxNesting levels.
        {"@8", "|0", 200},
        {"<@6>", "<xxxx>|0", 200},
    };
    for (const auto& c : cases) {
        FakeResources res;
        EXPECT_EQ(res.Expand(c.text, c.capacity), c.want) << c.text;
    }
    FakeResources res;
    res.Expand("@@5 costs $$5", 0);
    EXPECT_EQ(0, res.loads[20005]);
    EXPECT_EQ(std::string(kMarkerMaxNesting, 'a') + "|0", res.Expand("@9", 200));
    // A huge id wraps quietly and is simply missing.
    EXPECT_EQ(0u, res.Expand("@99999999999999999999", 64).rfind("<Err ", 0));
    // Many sibling references at the top level are all resolved: only nesting is bounded.
    std::string text;
    for (int i = 0; i < 3 * kMarkerMaxNesting; ++i)
        text += "@3 ";
    const std::string out = res.Expand(text, 0);
    EXPECT_EQ(std::string::npos, out.find('@'));
    EXPECT_EQ('1', out.back());
    res.version = "2.22b";
    EXPECT_EQ("V |0", res.Expand("V $####", 0));
    res.version = "$";
    EXPECT_EQ("v|0", res.Expand("v$", 200));
}

} // namespace
