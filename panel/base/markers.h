// Marker expansion of resource string texts, free of Win32 so it runs in host tests.
//
// Markers: "@" and decimal digits (a string reference), "$" and any "#"s (the program version),
// a doubled "@" or "$" (the character itself) and a backslash followed by "n" (CR LF). The text
// is changed in place. Called on the user-interface thread; no shared state, no locks.
#pragma once

#include <cstddef>

// Language offset added to string ids below 10000; ids of 10000 and above are absolute.
constexpr unsigned kLanguageOffset = 20000;
constexpr unsigned kAbsoluteStringIds = 10000;

// The string id actually loaded for a requested id (unsigned comparison).
constexpr unsigned LanguageStringId(unsigned id) {
    return id < kAbsoluteStringIds ? id + kLanguageOffset : id;
}

// Where marker expansion takes its replacements from.
struct MarkerSource {
    // Loads string `id` (already offset) into buf (cap bytes, cap >= 1), always terminated.
    // Returns false when the string does not exist.
    bool (*loadString)(void* context, unsigned id, char* buf, std::size_t cap);
    // Writes the program version text into buf (cap bytes). Returns false when no version text
    // can be had; buf then holds what replaces the marker (possibly empty), always terminated.
    bool (*versionText)(void* context, char* buf, std::size_t cap);
    void* context;
};

// Longest string a reference inserts, terminator included.
constexpr std::size_t kMarkerStringMax = 100;
// Inserted texts are expanded in their turn; a reference inside this many nested insertions is
// dropped like a replacement that does not fit, so a string that refers to itself ends.
constexpr int kMarkerMaxNesting = 8;

// Expands the markers of `text` in place. `capacity` is the size of the buffer holding it; the
// text only grows into the room beyond its terminator (none for a capacity of 0) plus what the
// markers themselves free. Returns 1 when every marker was replaced, else 0.
int ExpandMarkersWith(char* text, std::size_t capacity, const MarkerSource& source);
