// The program's help texts: every control of the panel has a topic, every link leads somewhere,
// every command is one the main window knows, and every topic lays out within a sane size.
#include "help/helprender.h"
#include "help/helpstore.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <sstream>
#include <string>

namespace {

const std::set<int32_t> kControls = {1003, 1006, 1010, 1011, 1012, 1013, 1014, 1020, 1021,
                                     1022, 1023, 1040, 1041, 1042, 1043, 1094, 1095};
const std::set<int32_t> kOtherTopics = {1005, 1301, 1302, 1303, 1304, 1305, HELP_DEFAULT_TOPIC};

std::string ReadHelpText() {
    std::ifstream in(VARLO_HELPTEXT_PATH, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void Measure(void*, const HelpFont& font, const char*, size_t length, int32_t* w, int32_t* h) {
    *w = int32_t(length) * (font.size / 2 + 1);
    *h = font.size;
}
bool NoBitmap(void*, uint32_t, int32_t*, int32_t*) {
    return false;
}
uint32_t NoColor(void*, uint32_t) {
    return 0;
}

TEST(HelpTexts, EveryControlHasATopicAndEveryLinkLeadsSomewhere) {
    std::string text = ReadHelpText();
    ASSERT_FALSE(text.empty());
    ASSERT_LE(text.size(), HELP_MAX_RESOURCE);
    HelpBlockCache cache{
        CompileHelpBlock(reinterpret_cast<const uint8_t*>(text.data()), text.size(), 29001)};
    const HelpBlock* block = cache.head;
    ASSERT_NE(block, nullptr);

    std::set<int32_t> topics;
    for (int32_t i = 0; i < block->topicCount; ++i) {
        int32_t id = block->topics[i].identifier;
        EXPECT_TRUE(topics.insert(id).second) << "topic " << id << " twice";
        EXPECT_TRUE(kControls.count(id) || kOtherTopics.count(id)) << "stray topic " << id;
        int32_t up = block->topics[i].upTopic;
        EXPECT_TRUE(up == 0 || FindHelpTopic(block, up) >= 0) << "up topic of " << id;
    }
    for (int32_t id : kControls)
        EXPECT_TRUE(topics.count(id)) << "no topic for control " << id;

    const std::regex link(R"(\{([NC])(?:\d,)?(\d+):)");
    for (int32_t i = 0; i < block->topicCount; ++i) {
        for (int32_t line = 0; const char* body = GetTopicLine(block, i, line); ++line) {
            std::string s = body;
            for (std::sregex_iterator m(s.begin(), s.end(), link), end; m != end; ++m) {
                int32_t id = std::stoi((*m)[2]);
                if ((*m)[1] == "N")
                    EXPECT_TRUE(topics.count(id)) << "link to " << id;
                else
                    EXPECT_TRUE(kControls.count(id)) << "command " << id;
            }
        }
    }

    // Each topic lays out, fits a screen and has the title bar of a panel with links.
    auto* context = new HelpRenderContext;
    InitHelpRenderContext(context, HelpCanvas{nullptr, Measure, NoBitmap, NoColor, nullptr, nullptr,
                                              nullptr, nullptr, nullptr});
    for (int32_t id : topics) {
        if (id == HELP_DEFAULT_TOPIC)
            continue;
        ASSERT_TRUE(PrepareTopic(context, false, block, id, PREPARE_FIRST_SHOW)) << id;
        EXPECT_LT(HelpContentWidth(context), 640) << id;
        EXPECT_LT(HelpContentHeight(context), 300) << id;
        EXPECT_TRUE(context->flags & HELP_RENDER_TITLE_BAR) << id;
        EXPECT_EQ(context->baseBackground, 0xC0FFFFu);
    }
    delete context;
    FreeHelpBlockCache(&cache);
}

} // namespace
