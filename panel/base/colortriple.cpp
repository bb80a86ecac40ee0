// Colour triples and the C runtime's integer reading.
#include "base/colortriple.h"

#include <climits>
#include <cstring>

int CrtAtoi(const char* text) {
    const char* p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    long long value = 0;
    while (*p >= '0' && *p <= '9') {
        value = value * 10 + (*p++ - '0');
        if (value > static_cast<long long>(INT_MAX) + 1)
            value = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative)
        return value > INT_MAX ? INT_MIN : -static_cast<int>(value);
    return value > INT_MAX ? INT_MAX : static_cast<int>(value);
}

std::uint32_t ParseColorTriple(const char* text) {
    const char* first = std::strchr(text, ',');
    if (!first)
        return kNoColor;
    const char* second = std::strchr(first + 1, ',');
    if (!second)
        return kNoColor;
    std::uint32_t red = std::uint32_t(CrtAtoi(text)) & 0xFFu;
    std::uint32_t green = std::uint32_t(CrtAtoi(first + 1)) & 0xFFu;
    std::uint32_t blue = std::uint32_t(CrtAtoi(second + 1)) & 0xFFu;
    return red | green << 8 | blue << 16;
}
