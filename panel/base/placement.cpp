// The nine-number placement text.
#include "base/placement.h"

#include <climits>
#include <cstdio>
#include <initializer_list>

namespace {

constexpr int kShowNormal = 1;
constexpr int kShowMaximized = 3;
constexpr int kShow = 5;
constexpr int kCoordinateLimit = 32767; // window positions and sizes are 16-bit on the screen

// One number: optional minus, at least one digit, then one separator unless the text ended.
bool ReadNumber(const char*& p, int& out) {
    bool negative = *p == '-';
    if (negative)
        ++p;
    if (*p < '0' || *p > '9')
        return false;
    long long value = 0;
    while (*p >= '0' && *p <= '9') {
        if (value <= INT_MAX)
            value = value * 10 + (*p - '0');
        ++p;
    }
    if (negative)
        value = -value;
    out = value > INT_MAX ? INT_MAX : value < INT_MIN ? INT_MIN : int(value);
    if (*p != '\0')
        ++p;
    return true;
}

} // namespace

void FormatPlacement(const PlacementNumbers& p, char* out, std::size_t cap) {
    std::snprintf(out, cap, "%d,%d,%d,%d,%d,%d,%d,%d,%d", p.showCmd, p.normalLeft, p.normalTop,
                  p.normalRight, p.normalBottom, p.minX, p.minY, p.maxX, p.maxY);
}

bool ParsePlacement(const char* text, PlacementNumbers& out) {
    int* fields[kPlacementFields] = {&out.showCmd,     &out.normalLeft,   &out.normalTop,
                                     &out.normalRight, &out.normalBottom, &out.minX,
                                     &out.minY,        &out.maxX,         &out.maxY};
    const char* p = text;
    for (int* field : fields) {
        if (!ReadNumber(p, *field))
            return false;
    }
    // The window rectangle must have a size and lie where window coordinates can reach.
    for (int edge : {out.normalLeft, out.normalTop, out.normalRight, out.normalBottom}) {
        if (edge < -kCoordinateLimit || edge > kCoordinateLimit)
            return false;
    }
    return out.normalRight > out.normalLeft && out.normalBottom > out.normalTop;
}

int RestoredShowCommand(int stored, int requested) {
    if (requested != kShow && requested != 0)
        return requested;
    // A stored value is only trusted to say "maximised": anything else (minimised, hidden or a
    // number that is no show command) would open a window the user cannot see.
    return stored == kShowMaximized ? kShowMaximized : kShowNormal;
}
