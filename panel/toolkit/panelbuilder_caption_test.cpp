// Caption markup of the panel builder: blocks, string references, key labels.
#include "toolkit/panelbuilder_caption.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

struct FakeStrings {
    std::map<uint32_t, std::string> table;
    std::vector<uint32_t> loaded;
    std::vector<uint32_t> colours;
};

bool LoadFake(void* ctx, uint32_t id, char* out, size_t capacity) {
    auto* s = static_cast<FakeStrings*>(ctx);
    s->loaded.push_back(id);
    auto it = s->table.find(id);
    if (it == s->table.end())
        return false;
    snprintf(out, capacity, "%s", it->second.c_str());
    return true;
}

void AddColour(void* ctx, uint32_t colour) {
    static_cast<FakeStrings*>(ctx)->colours.push_back(colour);
}

class Caption : public ::testing::Test {
protected:
    FakeStrings strings;
    CaptionResult result{};

    std::string Process(const std::string& text, uint32_t id = 1010) {
        char buf[kCaptionCapacity];
        snprintf(buf, sizeof buf, "%s", text.c_str());
        CaptionServices services{&strings, LoadFake, AddColour};
        ProcessCaption(buf, sizeof buf, id, services, &result);
        return buf;
    }
};

TEST_F(Caption, ColourBlocksStayAndFeedThePaletteOthersAreTakenOut) {
    EXPECT_EQ(Process("{B192,128,128}Write"), "{B192,128,128}Write");
    EXPECT_TRUE(result.colourBlock);
    EXPECT_EQ(strings.colours, std::vector<uint32_t>{0x8080C0});
    // Items before the colour in the same block still count; the block stays whole.
    EXPECT_EQ(Process("{FArial,8;i1,2,3;K5}X"), "{FArial,8;i1,2,3;K5}X");
    EXPECT_TRUE(result.hasFont);
    EXPECT_EQ(result.keyLabel, 0); // items after the colour are not read
    EXPECT_EQ(Process("Plain"), "Plain");
    EXPECT_FALSE(result.colourBlock);

    // Font, limit and unknown blocks are taken out.
    EXPECT_EQ(Process("{FMS Sans Serif,14,B}Text"), "Text");
    EXPECT_TRUE(result.hasFont);
    EXPECT_STREQ(result.fontSpec, "MS Sans Serif,14,B");
    EXPECT_EQ(Process("Start{<11}"), "Start");
    EXPECT_EQ(result.textLimit, 11);
    EXPECT_EQ(Process("{<1}{<0}{<-4}A"), "A"); // limits below 1 are ignored
    EXPECT_EQ(result.textLimit, 1);
    EXPECT_EQ(Process("{}{zz;;q}A{x}"), "A");
    EXPECT_EQ(Process("Open {F brace"), "Open {F brace"); // no closing brace: text
}

TEST_F(Caption, KeyLabelsGoInFrontOfTheText) {
    EXPECT_EQ(Process("{K5}Go"), "F5: Go");
    EXPECT_EQ(Process("{k12}Go"), "F12: Go");
    EXPECT_EQ(Process("{K19;FArial,8}Go"), "F19: Go");
    EXPECT_EQ(Process("{K24}Go"), "F24: Go");
    EXPECT_EQ(Process("{K25}Go"), "Go"); // no such function key
    EXPECT_EQ(Process("{K0}Go"), "Go");
    EXPECT_EQ(Process("{K99999999999}Go"), "Go");
    // After a block that stays, the label goes behind it.
    EXPECT_EQ(Process("{B1,2,3}{K3}Go"), "{B1,2,3}F3: Go");
}

TEST_F(Caption, StringReferencesLoadWithTheLanguageOffsetAndAreScanned) {
    strings.table[21010] = "LTC Off";
    strings.table[22001] = "About";
    EXPECT_EQ(Process("@@", 1010), "LTC Off");
    EXPECT_EQ(Process("@22001"), "About");
    EXPECT_EQ(Process("@1234"), "[21234]");
    EXPECT_EQ(Process("@@", 12345), "[12345]");
    EXPECT_EQ(Process("@22001 and more"), "About"); // the caption is cut at the reference
    EXPECT_EQ(Process("Mail @22001"), "Mail @22001");
    EXPECT_EQ(Process("{B1,2,3}@22001"), "{B1,2,3}About");
    EXPECT_EQ(Process("{K2}@22001"), "F2: About");

    // Inserted strings are scanned in their turn.
    strings.colours.clear();
    strings.table[21010] = "{FArial,8;K4}@22001";
    strings.table[22001] = "{B9,9,9}About";
    EXPECT_EQ(Process("@@"), "{B9,9,9}F4: About");
    EXPECT_TRUE(result.hasFont);
    EXPECT_EQ(strings.colours.size(), 1u);
}

TEST_F(Caption, SelfReferencesAreResolvedOnlyABoundedNumberOfTimes) {
    strings.table[21010] = "@@";
    strings.table[21011] = "@1012";
    strings.table[21012] = "@1011";
    EXPECT_EQ(Process("@@", 1010), "[21010]");
    EXPECT_EQ(strings.loaded.size(), static_cast<size_t>(kMaxCaptionReferences));
    EXPECT_EQ(Process("@1011"), "[21011]");
}

TEST_F(Caption, TextsStayWithinTheCaptionBuffer) {
    strings.table[22001] = std::string(5000, 'x');
    EXPECT_EQ(Process("@22001").size(), kCaptionCapacity - 1);
    const std::string out = Process("{K12}" + std::string(kCaptionCapacity, 'y'));
    EXPECT_EQ(out.size(), kCaptionCapacity - 1);
    EXPECT_EQ(out.substr(0, 5), "F12: ");
}

} // namespace
