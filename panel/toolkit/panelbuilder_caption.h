// Caption processing of the panel builder: markup blocks in braces ("{B0,128,128}" stays for the
// control to read; "{F...}", "{<n}" and "{Kn}" are taken out and applied by the builder), string
// references ("@@" for the control's own string, "@id" for any string) and function-key labels.
// Pure code; the string table and the palette are reached through CaptionServices.
// Callers: the panel builder (user-interface thread) and host tests.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/markers.h"

constexpr size_t kCaptionCapacity = 1024; // the caption buffer, terminator included
constexpr int kMaxCaptionReferences = 8;  // string references resolved per caption
constexpr int kMaxKeyLabel = 24;          // highest function key with a label

struct CaptionServices {
    void* context;
    // Loads string id (offset already applied) into out; false when there is no such string.
    bool (*loadString)(void* context, uint32_t id, char* out, size_t capacity);
    // Receives each colour of a B, I or T block (may be null).
    void (*addColour)(void* context, uint32_t colour);
};

struct CaptionResult {
    int32_t textLimit; // from "<n", 0 when none
    int32_t keyLabel;  // from "Kn", 0 when none
    bool colourBlock;  // a B, I or T block stayed in the caption
    bool hasFont;      // an F block gave fontSpec
    char fontSpec[128];
};

// Processes caption (a buffer of capacity bytes holding a terminated text) in place for the
// control controlId. A reference past kMaxCaptionReferences shows like a missing string, "[%u]".
void ProcessCaption(char* caption, size_t capacity, uint32_t controlId,
                    const CaptionServices& services, CaptionResult* result);
