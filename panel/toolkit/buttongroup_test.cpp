// Host tests of the radio group sequence: notifications, colours and refusals.
#include "toolkit/buttongroup.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> g_log;
int32_t g_queryAnswer = 0;

int32_t Recorder(GroupNotify* n) {
    static const char* names[] = {"?", "init", "color", "query", "changed", "select", "deselect"};
    std::string entry = std::string(names[n->code]) + " " + std::to_string(n->id);
    if (n->code == GRP_COLOR) {
        entry += " " + std::to_string(*n->param);
        if (n->id == 12)
            *n->param = 777; // this key has colours of its own
    }
    g_log.push_back(entry);
    return n->code == GRP_QUERY ? g_queryAnswer : 0;
}

void SendColor(HWND, uint32_t id, PanelColor color) {
    g_log.push_back("send " + std::to_string(id) + " " + std::to_string(color));
}
int AddColor(PanelColor color) {
    g_log.push_back("palette " + std::to_string(color));
    return 0;
}
constexpr GroupSink kSink = {SendColor, AddColor};

struct GroupTest : ::testing::Test {
    ButtonGroup table[4] = {
        {10, 12, 11, Recorder, 1, 2, 0},
        {20, 23, 0, nullptr, 3, 4, 0},
        {0, 0, 0, nullptr, 0, 0, 0},
        {30, 31, 30, Recorder, 5, 6, 0}, // after the terminator: never seen
    };
    void SetUp() override {
        SetButtonGroupTable(table);
        g_log.clear();
        g_queryAnswer = 0;
    }
    void TearDown() override { SetButtonGroupTable(nullptr); }
};

using V = std::vector<std::string>;

} // namespace

TEST_F(GroupTest, InitColoursEveryKey) {
    InitButtonGroupsWith(nullptr, kSink);
    EXPECT_EQ(g_log,
              (V{"init 0", "palette 2", "palette 1", "color 10 1", "send 10 1", "select 11",
                 "color 11 2", "send 11 2", "color 12 1", "send 12 777",
                 // current id 0: all unselected, no handler to tell
                 "palette 4", "palette 3", "send 20 3", "send 21 3", "send 22 3", "send 23 3"}));
}

TEST_F(GroupTest, ClickOnTheSelectedKeyRunsTheWholeSequence) {
    EXPECT_EQ(SelectGroupButtonWith(nullptr, 11, 1, kSink), 1);
    EXPECT_EQ(g_log, (V{"query 11", "color 11 1", "send 11 1", "deselect 11", "select 11",
                        "color 11 2", "send 11 2", "changed 11"}));
    EXPECT_EQ(table[0].currentId, 11);
}

TEST_F(GroupTest, RefusalChangesNothing) {
    g_queryAnswer = 1;
    EXPECT_EQ(SelectGroupButtonWith(nullptr, 10, 1, kSink), 0);
    EXPECT_EQ(g_log, (V{"query 10"}));
    EXPECT_EQ(table[0].currentId, 11);
    // Any other answer lets the selection go ahead.
    g_queryAnswer = -1;
    EXPECT_EQ(SelectGroupButtonWith(nullptr, 10, 1, kSink), 1);
    EXPECT_EQ(table[0].currentId, 10);
}

TEST_F(GroupTest, ProgramSelectionAsksNothing) {
    EXPECT_EQ(SelectGroupButtonWith(nullptr, 12, 0, kSink), 1);
    EXPECT_EQ(g_log, (V{"color 11 1", "send 11 1", "deselect 11", "select 12", "color 12 2",
                        "send 12 777"}));
}

TEST_F(GroupTest, FirstSelectionAndIdsOutsideGroups) {
    EXPECT_EQ(SelectGroupButtonWith(nullptr, 22, 1, kSink), 1);
    EXPECT_EQ(g_log, (V{"send 22 4"})); // no old key, no handler
    EXPECT_EQ(table[1].currentId, 22);
    g_log.clear();
    EXPECT_EQ(SelectGroupButtonWith(nullptr, 30, 1, kSink), 0);
    EXPECT_EQ(SelectGroupButtonWith(nullptr, 13, 1, kSink), 0);
    EXPECT_EQ(SelectGroupButtonWith(nullptr, 0, 1, kSink), 0);
    EXPECT_TRUE(g_log.empty());
    EXPECT_EQ(table[3].currentId, 30);
}

TEST_F(GroupTest, RememberedIdSwaps) {
    EXPECT_EQ(SetGroupRememberedId(nullptr, 12, 1013), 0);
    EXPECT_EQ(SetGroupRememberedId(nullptr, 10, 5), 1013);
    EXPECT_EQ(table[0].rememberedId, 5);
    EXPECT_EQ(SetGroupRememberedId(nullptr, 99, 5), 0);
    SetButtonGroupTable(nullptr);
    EXPECT_EQ(SelectGroupButtonWith(nullptr, 10, 1, kSink), 0);
}
