// Dialog template reading and the panel's layout arithmetic.
#include "toolkit/panelbuilder_template.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <tuple>
#include <string>
#include <vector>

namespace {

// Writes DLGTEMPLATE bytes.
class TemplateWriter {
public:
    // A header with DS_SETFONT when face is not empty.
    TemplateWriter(uint32_t style, uint16_t count, int16_t cx, int16_t cy, const std::string& title,
                   uint16_t pointSize = 0, const std::string& face = "") {
        Dword(style);
        Dword(0);
        for (int16_t v : {int16_t(count), int16_t(0), int16_t(0), cx, cy, int16_t(0), int16_t(0)})
            Word(static_cast<uint16_t>(v)); // count, x, y, cx, cy, menu, class
        String(title);
        if (style & 0x40) {
            Word(pointSize);
            String(face);
        }
    }

    // An item; its class and text are names, or ordinals written as "#n".
    void Item(uint16_t id, const std::string& windowClass, const std::string& text, uint32_t style,
              int16_t x, int16_t y, int16_t cx, int16_t cy, uint16_t extra = 0) {
        Align();
        Dword(style);
        Dword(0);
        for (int16_t v : {x, y, cx, cy, int16_t(id)})
            Word(static_cast<uint16_t>(v));
        NameOrOrdinal(windowClass);
        NameOrOrdinal(text);
        Word(extra);
        for (uint16_t i = 2; i < extra; ++i)
            bytes.push_back(0xAB);
        if (extra > 2 && extra % 2)
            bytes.push_back(0xAB);
    }

    std::vector<uint8_t> bytes;

private:
    void Word(uint16_t v) {
        bytes.push_back(static_cast<uint8_t>(v));
        bytes.push_back(static_cast<uint8_t>(v >> 8));
    }
    void Dword(uint32_t v) {
        Word(static_cast<uint16_t>(v));
        Word(static_cast<uint16_t>(v >> 16));
    }
    void String(const std::string& s) {
        for (unsigned char c : s)
            Word(c);
        Word(0);
    }
    void NameOrOrdinal(const std::string& s) {
        if (s.size() > 1 && s[0] == '#') {
            Word(0xFFFF);
            Word(static_cast<uint16_t>(std::stoi(s.substr(1))));
        } else {
            String(s);
        }
    }
    void Align() {
        while (bytes.size() % 4)
            bytes.push_back(0);
    }
};

// A shortened copy of the program's panel, dialog 1005: one item of every kind it holds.
std::vector<uint8_t> PanelTemplate() {
    TemplateWriter t(0x10CA00C0, 6, 250, 89, "Korvane Varlo Control", 10, "System");
    const uint32_t key = 0x50010000;
    t.Item(65534, "#130", "", 0x50000006, 240, 18, 1, 30);
    t.Item(1003, "AppDisplayClass", "Na, sowas", key, 6, 6, 240, 48);
    t.Item(1094, "#129", "", 0x50811080, 96, 60, 48, 12);
    t.Item(1006, "#130", "#108", 0x5000090E, 128, 72, 16, 12);
    t.Item(9999, "#130", "FPS:", 0x40020202, 149, 60, 18, 12);
    t.Item(1043, "AppBtnClass", "+4", key, 222, 72, 18, 12);
    return t.bytes;
}

std::string Latin1(const TemplateText& t) {
    char buf[1024];
    TemplateTextToLatin1(t, buf, sizeof buf);
    return t.isOrdinal ? "#" + std::to_string(t.ordinal) : buf;
}

// An item as "id class text style x,y,cx,cy", ordinals as #n.
std::string Describe(const TemplateItem& i) {
    char numbers[64];
    std::snprintf(numbers, sizeof numbers, " %#x %d,%d,%d,%d", unsigned(i.style), i.x, i.y, i.cx,
                  i.cy);
    return std::to_string(i.id) + " " + Latin1(i.windowClass) + " " + Latin1(i.text) + numbers;
}

// Reads every item; returns how many were read whole.
std::vector<TemplateItem> ReadAll(const uint8_t* data, size_t size) {
    std::vector<TemplateItem> items;
    TemplateHeader h;
    if (!ReadTemplateHeader(data, size, &h))
        return items;
    size_t pos = h.firstItem;
    for (int i = 0; i < h.itemCount; ++i) {
        TemplateItem item;
        if (!ReadTemplateItem(data, size, pos, &item))
            break;
        items.push_back(item);
        pos = item.next;
    }
    return items;
}

TEST(TemplateReader, ReadsThePanelTemplateHeaderAndEveryItem) {
    auto bytes = PanelTemplate();
    TemplateHeader h;
    ASSERT_TRUE(ReadTemplateHeader(bytes.data(), bytes.size(), &h));
    EXPECT_EQ(std::tie(h.style, h.itemCount, h.cx, h.cy, h.hasFont, h.pointSize),
              std::make_tuple(0x10CA00C0u, 6, 250, 89, true, 10));
    EXPECT_EQ(Latin1(h.title) + "/" + Latin1(h.face), "Korvane Varlo Control/System");
    EXPECT_EQ(h.firstItem % 4, 0u);

    auto items = ReadAll(bytes.data(), bytes.size());
    ASSERT_EQ(items.size(), 6u);
    EXPECT_EQ(Describe(items[0]), "65534 #130  0x50000006 240,18,1,30");
    EXPECT_EQ(Describe(items[1]), "1003 AppDisplayClass Na, sowas 0x50010000 6,6,240,48");
    EXPECT_EQ(Describe(items[2]), "1094 #129  0x50811080 96,60,48,12");
    EXPECT_EQ(Describe(items[3]), "1006 #130 #108 0x5000090e 128,72,16,12");
    EXPECT_EQ(Describe(items[5]), "1043 AppBtnClass +4 0x50010000 222,72,18,12");
    EXPECT_LE(items[5].next, bytes.size() + 3);
}

TEST(TemplateReader, RefusesTheExtendedFormAndHeadersWithoutFont) {
    std::vector<uint8_t> ex = {1, 0, 0xFF, 0xFF, 0, 0, 0, 0};
    ex.resize(64, 0);
    TemplateHeader h;
    EXPECT_FALSE(ReadTemplateHeader(ex.data(), ex.size(), &h));

    // A title unit beyond Latin-1 reads as a question mark.
    TemplateWriter plain(0x10C80000, 0, 100, 50, "\xFFT");
    plain.bytes[25] = 0x01; // U+0154
    ASSERT_TRUE(ReadTemplateHeader(plain.bytes.data(), plain.bytes.size(), &h));
    EXPECT_FALSE(h.hasFont);
    EXPECT_EQ(Latin1(h.title), "\xFF?");
    EXPECT_EQ(h.firstItem, (plain.bytes.size() + 3) / 4 * 4);
}

// Every prefix of the template, in a buffer of exactly that size (the address sanitizer watches
// its end): the header either fails or items stop at the cut; never a read past the end.
TEST(TemplateReader, TruncatedTemplatesAreNeverReadPastTheirEnd) {
    auto bytes = PanelTemplate();
    size_t previous = 0;
    for (size_t n = 0; n <= bytes.size(); ++n) {
        std::unique_ptr<uint8_t[]> exact(new uint8_t[n ? n : 1]);
        std::copy(bytes.begin(), bytes.begin() + static_cast<long>(n), exact.get());
        auto items = ReadAll(exact.get(), n);
        for (auto& item : items)
            EXPECT_LE(Latin1(item.text).size(), n);
        EXPECT_GE(items.size(), previous) << n;
        previous = items.size();
    }
    EXPECT_EQ(previous, 6u);
    TemplateItem item;
    EXPECT_FALSE(ReadTemplateItem(bytes.data(), bytes.size(), bytes.size() + 8, &item));
}

TEST(TemplateReader, SkipsCreationDataBySizeWordRoundedToWords) {
    for (uint16_t extra : {0, 1, 2, 5, 6, 9}) {
        TemplateWriter t(0, 2, 10, 10, "");
        t.Item(1, "#128", "A", 0, 0, 0, 1, 1, extra);
        t.Item(2, "#128", "B", 0, 0, 0, 1, 1);
        auto items = ReadAll(t.bytes.data(), t.bytes.size());
        ASSERT_EQ(items.size(), 2u) << extra;
        EXPECT_EQ(items[1].id, 2) << extra;
        EXPECT_EQ(Latin1(items[1].text), "B") << extra;
    }
}

TEST(PanelUnits, DialogUnitsToPixelsTruncateTowardZero) {
    EXPECT_EQ(HorizontalBaseFromAlphabetWidth(364), 7); // 364 / 26 = 14, (14 + 1) / 2
    EXPECT_EQ(HorizontalBaseFromAlphabetWidth(338), 7); // 13 -> 7
    EXPECT_EQ(HorizontalBaseFromAlphabetWidth(312), 6); // 12 -> 6
    auto edges = [](PanelArea a) { return std::make_tuple(a.left, a.top, a.right, a.bottom); };
    // 42 / 4, 96 / 8, 10 + 1680 / 4, 12 + 768 / 8.
    EXPECT_EQ(edges(TemplateUnitsToPixels(6, 6, 240, 48, {7, 16})),
              std::make_tuple(10, 12, 430, 108));
    // -21 / 4, -65 / 8, -5 + 5, -8 + 8.
    EXPECT_EQ(edges(TemplateUnitsToPixels(-3, -5, 3, 5, {7, 13})), std::make_tuple(-5, -8, 0, 0));
}

TEST(PanelLayout, CoordinatesStayMoveOrStretchByTheBand) {
    // Not growing: unchanged, also when smaller.
    EXPECT_EQ(MapPanelCoordinate(70, 100, 100, 10, 20), 70);
    EXPECT_EQ(MapPanelCoordinate(70, 100, 40, 10, 20), 70);
    // Before the band: stays; in it: stretches; after it: moves by the growth.
    EXPECT_EQ(MapPanelCoordinate(5, 100, 150, 10, 20), 5);
    EXPECT_EQ(MapPanelCoordinate(15, 100, 150, 10, 20), 40); // 10 + 5 * 60 / 10
    EXPECT_EQ(MapPanelCoordinate(10, 100, 150, 10, 20), 10);
    EXPECT_EQ(MapPanelCoordinate(20, 100, 150, 10, 20), 70);
    // An empty band moves everything from its position on.
    EXPECT_EQ(MapPanelCoordinate(49, 100, 130, 50, 50), 49);
    EXPECT_EQ(MapPanelCoordinate(50, 100, 130, 50, 50), 80);
    // Large values do not overflow.
    EXPECT_EQ(MapPanelCoordinate(1 << 20, 1 << 21, 1 << 30, 0, 1 << 21),
              static_cast<int32_t>((int64_t{1} << 20) * (1 << 30) >> 21));
}

} // namespace
