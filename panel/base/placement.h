// The window placement as the nine-number text stored in the registry:
// "showCmd,normalLeft,normalTop,normalRight,normalBottom,minX,minY,maxX,maxY". Pure; UI thread.
#pragma once

#include <cstddef>

constexpr int kPlacementFields = 9;
constexpr std::size_t kPlacementTextMax = 100; // buffer the stored text is read into

struct PlacementNumbers {
    int showCmd;
    int normalLeft, normalTop, normalRight, normalBottom;
    int minX, minY;
    int maxX, maxY;
};

// Writes the nine numbers separated by commas into out (cap bytes, always terminated).
void FormatPlacement(const PlacementNumbers& p, char* out, std::size_t cap);

// Reads nine integers: an optional minus sign, at least one digit, then (unless the text ended)
// exactly one separator of any kind. Anything after the ninth number is ignored. False when a
// number has no digits (so two separators in a row fail) or the text ends early, and when the
// normal rectangle is empty or has an edge beyond +-32767 (a window nobody could see).
bool ParsePlacement(const char* text, PlacementNumbers& out);

// The show command to restore with. With SW_SHOW (5) or 0 the stored one applies, sanitised: a
// stored SW_SHOWMAXIMIZED (3) stays, anything else opens normally (1), so a damaged or
// minimised placement never hides the window. Any other requested command replaces it.
int RestoredShowCommand(int stored, int requested);
