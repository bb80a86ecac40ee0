// Font description texts such as "Arial,14" or "MS Sans Serif,14,B": face, size and flag
// letters (B bold, I italic, F/V/X pitch and family, S Symbol, W Wingdings). Pure; any thread.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr std::size_t kFontSpecMax = 1024; // the text is read up to 1023 characters

struct FontSpecParts {
    char face[kFontSpecMax];
    int height;                   // handed to the system as the font height
    int weight;                   // 400, or 700 with B
    std::uint8_t italicUnderline; // bit 0 italic, bit 1 underline (never set by a letter)
    std::uint8_t pitchAndFamily;  // 0x22 default, 0x31 with F, 0x20 with X
    std::uint8_t charset;         // 0, or 2 with S or W
};

// Splits a font text and applies the defaults ("MS Sans Serif", 400, 0x22, charset 0).
void ParseFontSpec(const char* fontText, FontSpecParts& out);
