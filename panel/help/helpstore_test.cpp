// Help text store: compiler rules, line rules, the cache, the external file and the limits.
#include "help/helpstore.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace {

HelpBlock* Compile(const std::string& text) {
    return CompileHelpBlock(reinterpret_cast<const uint8_t*>(text.data()), text.size(), 29001);
}

struct BlockHolder {
    HelpBlockCache cache{nullptr};
    HelpBlock* Take(HelpBlock* block) {
        block->next = cache.head;
        cache.head = block;
        return block;
    }
    ~BlockHolder() { FreeHelpBlockCache(&cache); }
};

std::string Line(const HelpBlock* block, int32_t identifier, int32_t line) {
    const char* text = GetTopicLine(block, FindHelpTopic(block, identifier), line);
    return text ? text : "<none>";
}

// A topic as "title|line|line...", read until the first missing line.
std::string Topic(const HelpBlock* block, int32_t identifier) {
    std::string out = Line(block, identifier, -1);
    for (int32_t i = 0; GetTopicLine(block, FindHelpTopic(block, identifier), i); ++i)
        out += "|" + Line(block, identifier, i);
    return out;
}

TEST(HelpCompiler, ConsecutiveHeadersShareLinesTrailingEmptyLinesAreDropped) {
    BlockHolder holder;
    HelpBlock* block = holder.Take(Compile("@1010:\"Off\"\r\n@1011:\"Read\"\r\none\r\ntwo\r\n"
                                           "@1012:\"Refresh\"\r\nthree\r\n"));
    ASSERT_EQ(block->topicCount, 3);
    EXPECT_EQ(block->topics[0].lineCount, 2);
    EXPECT_EQ(Topic(block, 1010) + " " + Topic(block, 1011) + " " + Topic(block, 1012),
              "Off|one|two Read|one|two Refresh|three");
    // The last topic's sharing is applied at the end of the text too.
    HelpBlock* tail = holder.Take(Compile("1:\"a\"\n@2:\"b\"\nx"));
    EXPECT_EQ(tail->topics[0].lineCount, 1);
    EXPECT_EQ(Line(tail, 1, 0), "x");

    // Empty lines inside a topic are returned, trailing ones are not.
    HelpBlock* empty = holder.Take(Compile("1:\"T\"\none\n\ntwo\n\n\n\n@2:\n"));
    EXPECT_EQ(empty->topics[0].lineCount, 6);
    EXPECT_EQ(Topic(empty, 1), "T|one||two");
    EXPECT_EQ(Line(empty, 1, 5), "<none>");
    EXPECT_EQ(Line(empty, 1, -2), "<none>");
    EXPECT_EQ(GetTopicLine(empty, 2, 0), nullptr); // index at the topic count
    EXPECT_EQ(GetTopicLine(empty, FindHelpTopic(empty, 2), -1), nullptr);
}

TEST(HelpCompiler, HeadersOptionsTitlesNamesAndLineRules) {
    BlockHolder holder;
    HelpBlock* block = holder.Take(Compile("1003:(x;g1013;q)\"*Glass\"\nbody\n"
                                           "@ a comment line without a colon\n"
                                           "@default: \"Base\nd\n"
                                           "@nonsense:\"Dropped\"\nskipped\n"
                                           "@ -7 :(G12\"Open\" title\"\n"
                                           "@1095:\"Set\"\r\n"));
    ASSERT_EQ(block->topicCount, 4);
    const HelpTopic& glass = block->topics[FindHelpTopic(block, 1003)];
    EXPECT_TRUE(glass.starred);
    EXPECT_EQ(glass.upTopic, 1013);
    EXPECT_EQ(Topic(block, 1003), "Glass|body");
    // Lower-case "default" is the default topic; a title without closing quote runs to the end.
    EXPECT_EQ(Topic(block, HELP_DEFAULT_TOPIC), "Base|d");
    // Without ")" the options are ignored and the title is searched in the whole rest.
    const HelpTopic& negative = block->topics[FindHelpTopic(block, -7)];
    EXPECT_EQ(negative.upTopic, 0);
    EXPECT_STREQ(negative.title, "Open");
    EXPECT_EQ(negative.lineCount, 0);
    // A carriage return before the line feed belongs to an unterminated title.
    EXPECT_EQ(Line(block, 1095, -1), "Set");
    EXPECT_EQ(FindHelpTopic(block, 0), -1);

    // Line and title rules.
    const std::string eight(8, ' ');
    const struct {
        const char* text;
        int32_t identifier;
        std::string want;
    } cases[] = {
        // An unterminated title keeps its carriage return.
        {"5:\"Key\r\nline\r\n", 5, "Key\r|line"},
        // Of equal identifiers the last one counts; the first header needs no "@".
        {"1020:\"first\"\na\n@1020:\"second\"\nb\n", 1020, "second|b"},
        // Topic -1 does not end the table.
        {"-1:\"minus\"\nm\n@1010:\"Off\"\no\n", -1, "minus|m"},
        {"-1:\"minus\"\nm\n@1010:\"Off\"\no\n", 1010, "Off|o"},
        // Tabs expand to columns of eight.
        {"1:\n\tx\nab\ty\nabcdefgh\tz\n\t\t!\n", 1,
         "<none>|" + eight + "x|ab" + std::string(6, ' ') + "y|abcdefgh" + eight + "z|" + eight +
             eight + "!"},
    };
    for (const auto& c : cases) {
        BlockHolder holder;
        EXPECT_EQ(Topic(holder.Take(Compile(c.text)), c.identifier), c.want) << c.text;
    }
}

// A fake module: resources by identifier and files by path.
struct FakeSource {
    std::map<uint16_t, std::string> resources;
    std::map<std::string, std::string> files;
    int resourceLoads = 0;
    int mismatches = 0;
    HelpSource source{this, FindResource, ReadFile, Report};

    static bool FindResource(void* context, uint16_t id, const uint8_t** data, size_t* size) {
        auto* self = static_cast<FakeSource*>(context);
        auto it = self->resources.find(id);
        if (it == self->resources.end())
            return false;
        ++self->resourceLoads;
        *data = reinterpret_cast<const uint8_t*>(it->second.data());
        *size = it->second.size();
        return true;
    }
    static bool ReadFile(void* context, const char* path, std::vector<uint8_t>* contents) {
        auto* self = static_cast<FakeSource*>(context);
        auto it = self->files.find(path);
        if (it == self->files.end())
            return false;
        contents->assign(it->second.begin(), it->second.end());
        return true;
    }
    static void Report(void* context) { ++static_cast<FakeSource*>(context)->mismatches; }
};

TEST(HelpLoader, CachesByOffsetIdentifierAndComparesTheExternalFile) {
    FakeSource fake;
    fake.resources[29001] = "1003:\"Glass\"\nx\n";
    HelpBlockCache cache{nullptr};
    HelpBlock* first = LoadHelpBlock(&cache, 9001, &fake.source);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->identifier, 29001u);
    EXPECT_EQ(LoadHelpBlock(&cache, 9001, &fake.source), first);
    EXPECT_EQ(LoadHelpBlock(&cache, 29001, &fake.source), first);
    EXPECT_EQ(fake.resourceLoads, 1);
    // Missing, empty and oversized resources give none.
    EXPECT_EQ(LoadHelpBlock(&cache, 9002, &fake.source), nullptr);
    fake.resources[29003] = "";
    EXPECT_EQ(LoadHelpBlock(&cache, 9003, &fake.source), nullptr);
    fake.resources[29004] = std::string(20001, 'a');
    EXPECT_EQ(LoadHelpBlock(&cache, 9004, &fake.source), nullptr);
    fake.resources[29005] = "5:\n" + std::string(19997, 'a');
    EXPECT_NE(LoadHelpBlock(&cache, 9005, &fake.source), nullptr);

    // The external file: missing, equal or differing.
    const std::string builtIn = "[help.txt]\r\n1003:\"Built in\"\r\nx\r\n";
    fake.resources[29001] = builtIn;
    // Loads afresh: a line of a topic (the title of 1003 unless told) and the mismatches so far.
    auto load = [&](int32_t topic = 1003, int32_t line = -1) {
        FreeHelpBlockCache(&cache);
        HelpBlock* block = LoadHelpBlock(&cache, 9001, &fake.source);
        return block ? Line(block, topic, line) + "/" + std::to_string(fake.mismatches) : "null";
    };
    EXPECT_EQ(load(), "Built in/0");
    fake.files["..\\help.txt"] = builtIn; // a byte-identical copy in the parent folder
    EXPECT_EQ(load(), "Built in/0");
    std::string edited = builtIn;
    edited[edited.find("t in") + 2] = 'I'; // "Built In"
    fake.files = {{"help.txt", edited}};
    EXPECT_EQ(load(), "Built In/1");
    LoadHelpBlock(&cache, 9001, &fake.source);
    EXPECT_EQ(fake.mismatches, 1); // once per load; the block is cached

    // A closing bracket at position 20 or beyond is no file name: the whole text is compiled.
    fake.resources[29001] = "[abcdefghijklmnopqrs]\n7:\nseven\n";
    fake.files["abcdefghijklmnopqrs"] = "7:\nfile\n";
    EXPECT_EQ(load(7, 0), "seven/1");
    // Just a name line, nothing after it: a block without topics.
    fake.resources[29001] = "[x]";
    EXPECT_EQ(load(), "<none>/1");
    EXPECT_EQ(cache.head->topicCount, 0);
    FreeHelpBlockCache(&cache);

    // The comparison's checksum: overlapping words.
    const uint8_t bytes[] = {1, 0, 0, 0, 2};
    EXPECT_EQ(HelpChecksum(bytes, 3), 0u);
    EXPECT_EQ(HelpChecksum(bytes, 4), 1u);
    EXPECT_EQ(HelpChecksum(bytes, 5), 1u + 0x02000000u);
}

TEST(HelpLimits, InputBeyondEveryLimitIsCut) {
    BlockHolder holder;
    std::string topics;
    for (int i = 1; i <= 450; ++i)
        topics += "@" + std::to_string(i) + ":\"t\"\nline\n";
    HelpBlock* many = holder.Take(Compile(topics));
    EXPECT_EQ(many->topicCount, 399);
    EXPECT_EQ(many->topics[399].identifier, -1);
    EXPECT_EQ(FindHelpTopic(many, 400), -1);
    EXPECT_EQ(Line(many, 399, 0), "line");

    std::string lines = "1:\n";
    for (int i = 0; i < 2100; ++i)
        lines += "l\n";
    lines += "@2:\nafter\n";
    HelpBlock* tall = holder.Take(Compile(lines));
    EXPECT_EQ(tall->lineTotal, 2000);
    EXPECT_EQ(tall->topics[0].lineCount, 2000);
    EXPECT_EQ(tall->topics[1].lineCount, 0);

    HelpBlock* wide = holder.Take(Compile("1:\n" + std::string(30000, 'w') + "\n@2:\"late\"\nz\n"));
    ASSERT_EQ(wide->lineTotal, 1);
    EXPECT_EQ(std::string(wide->lines[0]).size(), HELP_MAX_TEXT - 1);
    EXPECT_EQ(Line(wide, 2, -1), "<none>"); // no room left for the title
    EXPECT_EQ(wide->topics[1].lineCount, 0);

    HelpBlock* header = holder.Take(Compile(std::string(300, ' ') + "1:\"x\"\nbody\n"));
    EXPECT_EQ(header->topicCount, 0); // the colon lies beyond the 255 kept characters
    HelpBlock* tabs = holder.Take(Compile("1:\n" + std::string(5000, '\t') + "\n"));
    EXPECT_EQ(std::string(tabs->lines[0]).size(), HELP_MAX_TEXT - 1);
}

} // namespace
