// Marker expansion against a string table and version text held by the test.
#include "base/markers.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>

namespace {

struct FakeResources {
    std::map<unsigned, std::string> strings;
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

    // Expands `text` in a buffer of `capacity` bytes (at least its own size).
    std::pair<std::string, int> Expand(const std::string& text, std::size_t capacity) {
        std::string buffer(std::max(capacity, text.size() + 1), '\x7f');
        std::memcpy(buffer.data(), text.c_str(), text.size() + 1);
        MarkerSource source = {Load, Version, this};
        int result = ExpandMarkersWith(buffer.data(), capacity, source);
        return {std::string(buffer.c_str()), result};
    }
};

TEST(Markers, VersionFitsTheRoomItsMarkerFrees) {
    FakeResources res;
    EXPECT_EQ(std::make_pair(std::string("V 2.22"), 1), res.Expand("V $####", 0));
    res.version = "2.22b";
    EXPECT_EQ(std::make_pair(std::string("V "), 0), res.Expand("V $####", 0));
    res.version = "2.22";
    // A bare marker frees one character: nothing but an empty text fits.
    EXPECT_EQ(std::make_pair(std::string("V "), 0), res.Expand("V $", 0));
    // With room in the buffer the bare marker is replaced.
    EXPECT_EQ(std::make_pair(std::string("V 2.22!"), 1), res.Expand("V $!", 64));
}

TEST(Markers, DoubledMarkersStandForThemselves) {
    FakeResources res;
    res.strings[20005] = "five";
    EXPECT_EQ(std::make_pair(std::string("mail@host"), 1), res.Expand("mail@@host", 0));
    EXPECT_EQ(std::make_pair(std::string("a @b"), 1), res.Expand("a @b", 0));
    EXPECT_EQ(std::make_pair(std::string("@5 costs $5"), 1), res.Expand("@@5 costs $$5", 0));
    EXPECT_EQ(0, res.loads[20005]);
    EXPECT_EQ(std::make_pair(std::string("trailing @"), 1), res.Expand("trailing @", 0));
}

TEST(Markers, StringReferences) {
    FakeResources res;
    res.strings[20005] = "ab";
    res.strings[22001] = "About";
    EXPECT_EQ(std::make_pair(std::string("[ab]"), 1), res.Expand("[@5]", 16));
    // Ids of 10000 and above are absolute.
    EXPECT_EQ(std::make_pair(std::string("About"), 1), res.Expand("@22001", 0));
    // A replacement must be shorter than the free room: "@5" frees two characters only.
    EXPECT_EQ(std::make_pair(std::string("[]"), 0), res.Expand("[@5]", 0));
    // "@5" in a buffer of 3 bytes has no room beyond the two it frees; 4 bytes add one.
    EXPECT_EQ(std::make_pair(std::string(""), 0), res.Expand("@5", 3));
    EXPECT_EQ(std::make_pair(std::string("ab"), 1), res.Expand("@5", 4));
}

TEST(Markers, MissingStringsGiveAnErrorTextOnlyWhenItFits) {
    FakeResources res;
    EXPECT_EQ(std::make_pair(std::string("a<Err 20077>b"), 0), res.Expand("a@77b", 64));
    EXPECT_EQ(std::make_pair(std::string("ab"), 0), res.Expand("a@77b", 0));
    // A huge id wraps quietly and is simply missing.
    auto [text, result] = res.Expand("@99999999999999999999", 64);
    EXPECT_EQ(0, result);
    EXPECT_EQ(0u, text.rfind("<Err ", 0));
}

TEST(Markers, BackslashNBecomesALineBreak) {
    FakeResources res;
    EXPECT_EQ(std::make_pair(std::string("one\r\ntwo"), 1), res.Expand("one\\ntwo", 0));
    EXPECT_EQ(std::make_pair(std::string("one\ntwo"), 1), res.Expand("one\ntwo", 0));
    EXPECT_EQ(std::make_pair(std::string("\\x\\"), 1), res.Expand("\\x\\", 0));
}

TEST(Markers, InsertedTextsAreExpandedInTheirTurn) {
    FakeResources res;
    res.strings[20001] = "V $\\n@2";
    res.strings[20002] = "end";
    EXPECT_EQ(std::make_pair(std::string("V 2.22\r\nend."), 1), res.Expand("@1.", 64));
}

TEST(Markers, SelfReferencesEnd) {
    FakeResources res;
    res.strings[20005] = "@5";
    EXPECT_EQ(0, res.Expand("@5", 200).second);
    res.strings[20005] = "a@5";
    auto grown = res.Expand("@5", 200);
    EXPECT_EQ(0, grown.second);
    EXPECT_EQ(std::string(kMarkerMaxNesting, 'a'), grown.first);
    res.strings[20006] = "@7";
    res.strings[20007] = "x@6";
    EXPECT_EQ(0, res.Expand("<@6>", 200).second);
    res.version = "$";
    EXPECT_EQ(std::make_pair(std::string("v"), 0), res.Expand("v$", 200));
}

TEST(Markers, NestingEndsWhereTheInsertedTextEnds) {
    // Many sibling references at the top level are all resolved: only nesting is bounded.
    FakeResources res;
    res.strings[20001] = "x";
    std::string text;
    for (int i = 0; i < 3 * kMarkerMaxNesting; ++i)
        text += "@1 ";
    auto [out, result] = res.Expand(text, 0);
    EXPECT_EQ(1, result);
    EXPECT_EQ(std::string::npos, out.find('@'));
}

TEST(Markers, TextLongerThanItsCapacityOnlyShrinks) {
    FakeResources res;
    res.strings[20001] = "1";
    EXPECT_EQ(std::make_pair(std::string("abc1"), 1), res.Expand("abc@1", 2));
}

} // namespace
