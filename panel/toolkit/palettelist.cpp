// The fixed colours and the shared palette's colour list.
#include "toolkit/palettelist.h"

StdColor StdColorTable[kStdColorCount + 1] = {
    {0x80FFFFFFu, nullptr},  {0x81C0C0C0u, nullptr}, {0x82808080u, nullptr}, {0x83404040u, nullptr},
    {0x84000000u, nullptr},  {0x856060C4u, nullptr}, {0x860000FFu, nullptr}, {0x87400080u, nullptr},
    {0x8880C080u, nullptr},  {0x8900FF00u, nullptr}, {0x8A206020u, nullptr}, {0x8BFF8080u, nullptr},
    {0x8CFF0000u, nullptr},  {0x8D602020u, nullptr}, {0x8E00FFFFu, nullptr}, {0x8F80C4FFu, nullptr},
    {0x904080C4u, nullptr},  {0x91FFFF80u, nullptr}, {0x92C4C400u, nullptr}, {0x93808000u, nullptr},
    {0x94FF80FFu, nullptr},  {0x95C400C4u, nullptr}, {0x96800080u, nullptr}, {0x97C0FFFFu, nullptr},
    {kStdColorEnd, nullptr},
};

namespace {

void Append(PaletteColorList& list, PanelColor color) {
    PaletteColor& e = list.entries[list.count++];
    e.red = std::uint8_t(color);
    e.green = std::uint8_t(color >> 8);
    e.blue = std::uint8_t(color >> 16);
    e.flags = 0;
}

} // namespace

int PaletteListAdd(PaletteColorList& list, const StdColor* table, PanelColor color,
                   void (*onMismatch)()) {
    if (list.count == 0 && table && table[0].word != kStdColorEnd) {
        list.version = 0x300;
        for (const StdColor* std = table; std->word != kStdColorEnd; ++std) {
            if (list.count == kPaletteMaxColors)
                break;
            if (PanelColorFixedNumber(std->word) != list.count && onMismatch)
                onMismatch();
            Append(list, std->word);
        }
    }
    std::uint8_t red = std::uint8_t(color);
    std::uint8_t green = std::uint8_t(color >> 8);
    std::uint8_t blue = std::uint8_t(color >> 16);
    for (int i = 0; i < list.count; ++i) {
        const PaletteColor& e = list.entries[i];
        if (e.red == red && e.green == green && e.blue == blue)
            return i;
    }
    if (list.count >= kPaletteMaxColors)
        return -1;
    list.version = 0x300;
    Append(list, color);
    return list.count - 1;
}
