// Colour triples, lettered string items and the placement text.
#include "base/colortriple.h"
#include "base/placement.h"
#include "base/stringitems.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <tuple>

namespace {

TEST(ColorTriple, ReadsThreeMaskedPartsWithASaturatingAtoi) {
    EXPECT_EQ(0x0000FFu, ParseColorTriple("255,0,0"));
    EXPECT_EQ(0x804020u, ParseColorTriple("32,64,128"));
    EXPECT_EQ(0x00002Cu, ParseColorTriple("300,0,0"));
    EXPECT_EQ(0x808000u, ParseColorTriple(" 0, +128,128}Write"));
    EXPECT_EQ(0x8080C0u, ParseColorTriple("192,128,128}Write"));
    EXPECT_EQ(0x0000FFu, ParseColorTriple("-1,0,0")); // -1 masked to 255
    EXPECT_EQ(0x000000u, ParseColorTriple(",,"));
    // Fewer than two commas is no colour.
    EXPECT_EQ(kNoColor, ParseColorTriple("255,0"));
    EXPECT_EQ(kNoColor, ParseColorTriple("255"));
    EXPECT_EQ(kNoColor, ParseColorTriple(""));
    // Huge numbers saturate instead of overflowing.
    EXPECT_EQ(INT_MAX, CrtAtoi("99999999999999999999"));
    EXPECT_EQ(INT_MIN, CrtAtoi("-99999999999999999999"));
    EXPECT_EQ(-42, CrtAtoi("\t -42abc"));
    EXPECT_EQ(0, CrtAtoi("abc"));
    EXPECT_EQ(0, CrtAtoi("- 5"));
}

struct ItemTable {
    static std::map<unsigned, std::string> strings;
    static int loads;
    static bool Load(const void*, unsigned id, char* buf, std::size_t cap) {
        ++loads;
        auto it = strings.find(id);
        if (it == strings.end())
            return false;
        std::snprintf(buf, cap, "%s", it->second.c_str());
        return true;
    }
};
std::map<unsigned, std::string> ItemTable::strings;
int ItemTable::loads;

class StringItems : public ::testing::Test {
protected:
    void SetUp() override {
        cache = {};
        ItemTable::strings = {{1005, "D{1005}L{1010=Off|1011=Read}"},
                              {1, "E{}"},
                              {2, ""},
                              {3, "no lists here"},
                              {4, "L{unclosed|x"}};
        ItemTable::loads = 0;
    }
    const char* Get(unsigned id, char letter, int index, const char* fallback = "dflt") {
        return LookupStringItem(cache, ItemTable::Load, &module, id, letter, index, fallback);
    }
    StringItemCache cache;
    int module = 0;
};

TEST_F(StringItems, ItemsOfALetterNullBeyondTheDefaultWithout) {
    EXPECT_STREQ("1010=Off", Get(1005, 'L', 0));
    EXPECT_STREQ("1011=Read", Get(1005, 'L', 1));
    EXPECT_STREQ("1005", Get(1005, 'D', 0));
    EXPECT_STREQ("x", Get(4, 'L', 1)); // a list without "}" runs to the end
    EXPECT_STREQ("", Get(1, 'E', 0));  // empty braces: one empty item
    for (auto [id, letter, index] :
         {std::tuple{1005u, 'L', 2}, {1005u, 'L', -1}, {1005u, 'D', 1}, {1u, 'E', 1}})
        EXPECT_EQ(nullptr, Get(id, letter, index)) << id << letter << index;
    // No string, no list of the letter (letters are case-sensitive): the default.
    for (auto [id, letter] : {std::pair{999u, 'L'}, {2u, 'L'}, {3u, 'L'}, {1005u, 'l'}})
        EXPECT_STREQ("dflt", Get(id, letter, 0)) << id << letter;
    EXPECT_EQ(nullptr, Get(1005, 'C', 0, nullptr));

    // Many items do not wrap the count.
    std::string list = "L{";
    for (int i = 0; i < 300; ++i)
        list += "|";
    ItemTable::strings[7] = list + "}";
    EXPECT_STREQ("", Get(7, 'L', 254));
    EXPECT_EQ(nullptr, Get(7, 'L', 255));
}

TEST_F(StringItems, OneListIsCached) {
    Get(1005, 'L', 0);
    Get(1005, 'L', 1);
    EXPECT_EQ(1, ItemTable::loads);
    const char* kept = Get(1005, 'L', 0);
    Get(1005, 'D', 0); // other parameters: the list is loaded again
    EXPECT_EQ(2, ItemTable::loads);
    EXPECT_STREQ("1005", kept); // the earlier item's buffer now holds the new list
    int other = 0;
    LookupStringItem(cache, ItemTable::Load, &other, 1005, 'D', 0, nullptr);
    EXPECT_EQ(3, ItemTable::loads);
}

TEST(Placement, TheNineFieldsMalformedTextsAndTheShowCommandRestored) {
    const PlacementNumbers expected = {1, 10, 20, 530, 230, -1, -2, -3, -4};
    PlacementNumbers a = {}, b = {};
    ASSERT_TRUE(ParsePlacement("1,10,20,530,230,-1,-2,-3,-4", a));
    ASSERT_TRUE(ParsePlacement("1 10x20,530/230;-1a-2b-3c-4 and more", b));
    EXPECT_EQ(0, std::memcmp(&a, &expected, sizeof a));
    EXPECT_EQ(0, std::memcmp(&b, &expected, sizeof b));
    char text[kPlacementTextMax];
    FormatPlacement(a, text, sizeof text);
    EXPECT_STREQ("1,10,20,530,230,-1,-2,-3,-4", text);

    PlacementNumbers p = {};
    EXPECT_FALSE(ParsePlacement("1,,10,20,530,230,-1,-1,-1,-1", p)); // two separators
    EXPECT_FALSE(ParsePlacement("1,10,20,530,230,-1,-1,-1", p));     // eight numbers
    EXPECT_FALSE(ParsePlacement("", p));
    EXPECT_FALSE(ParsePlacement("1,10,20,530,230,-1,-1,-1,-", p)); // sign without digits
    EXPECT_FALSE(ParsePlacement("+1,10,20,530,230,-1,-1,-1,-1", p));
    EXPECT_FALSE(ParsePlacement("1,10,20,10,230,-1,-1,-1,-1", p));      // no width
    EXPECT_FALSE(ParsePlacement("1,10,20,530,-20,-1,-1,-1,-1", p));     // negative height
    EXPECT_FALSE(ParsePlacement("1,-40000,20,530,230,-1,-1,-1,-1", p)); // no window goes there

    // Only a stored maximised survives the restore.
    ASSERT_TRUE(ParsePlacement("99999999999999,1,2,3,4,5,6,7,-99999999999999", p));
    EXPECT_EQ(INT_MIN, p.maxY);                        // huge numbers saturate
    for (int stored : {0, 1, 2, 6, 99, -1, p.showCmd}) // hidden, minimised, nonsense, INT_MAX
        EXPECT_EQ(1, RestoredShowCommand(stored, 5)) << stored;
    EXPECT_EQ(3, RestoredShowCommand(3, 5));
    EXPECT_EQ(1, RestoredShowCommand(0, 0));
    EXPECT_EQ(7, RestoredShowCommand(3, 7)); // an explicit command replaces it
}

} // namespace
