// Colour triples "red,green,blue" as captions and template strings carry them, and the C
// runtime's string-to-integer reading they rely on. Pure; any thread.
#pragma once

#include <cstdint>

// The invalid colour: no triple in the text.
constexpr std::uint32_t kNoColor = 0x80000000u;

// Reads an integer as the C runtime's atoi does (leading blanks, optional sign, digits up to the
// first non-digit); out-of-range values saturate instead of overflowing.
int CrtAtoi(const char* text);

// "r,g,b" -> COLORREF layout (red in bits 0-7), each part masked to 8 bits; kNoColor when the
// text holds fewer than two commas. Reading a part stops at its first non-digit ("128}Write").
std::uint32_t ParseColorTriple(const char* text);
