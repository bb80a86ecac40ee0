// Help text store: loads a help text block (raw data resource or the external file it names),
// compiles it in one pass into topics with titles and lines, and caches every compiled block.
//
// Pure code (no <windows.h>): the resource, the external file and the mismatch message come
// through HelpSource, which the Win32 side implements with the module's resources and files.
// Single-threaded: called on the panel's user-interface thread only; no locks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

constexpr int32_t HELP_DEFAULT_TOPIC = 65534;    // the topic named "Default"
constexpr uint32_t HELP_TEXT_BLOCK_ID = 9001;    // language-relative identifier of the help texts
constexpr uint32_t HELP_LANGUAGE_OFFSET = 20000; // added to identifiers 0 to 9999

// Limits of one block. Input beyond them is cut: headers past the topic table's room are
// skipped with their bodies, lines past the line table are dropped, and text that does not fit
// the text area is cut at the last character that still leaves room for its terminating NUL.
constexpr size_t HELP_MAX_RESOURCE = 20000;    // bytes of a help resource (1 to this)
constexpr size_t HELP_MAX_HEADER = 255;        // characters kept of a header line
constexpr size_t HELP_MAX_TOPIC_ENTRIES = 400; // terminator included
constexpr size_t HELP_MAX_LINES = 2000;
constexpr size_t HELP_MAX_TEXT = 19984; // titles, lines, their NULs and tab spaces

struct HelpTopic {
    int32_t identifier; // control identifier, HELP_DEFAULT_TOPIC, or -1 for the terminator
    const char* title;  // none when the header gave no quoted title
    bool starred;       // the title was written as "*..."
    int32_t upTopic;    // option G, 0 for none
    int32_t lineCount;
    int32_t firstLine; // index into the block's line table
};

// One compiled block: a single allocation (header, topic table, line table, text area).
struct HelpBlock {
    HelpBlock* next;
    uint32_t identifier; // after the language offset
    int32_t topicCount;  // entries before the terminator
    HelpTopic* topics;   // topicCount entries, then the terminator (identifier -1)
    int32_t lineTotal;
    const char** lines; // lineTotal entries into text
    char* text;
};

// Where blocks come from. All functions are called on the caller's thread.
struct HelpSource {
    void* context;
    // The raw data resource `id` of the program's module: its bytes, or false when missing.
    bool (*findResource)(void* context, uint16_t id, const uint8_t** data, size_t* size);
    // The whole contents of a file opened read-only, or false when it cannot be opened or read.
    bool (*readFile)(void* context, const char* path, std::vector<uint8_t>* contents);
    // Told once per load when the external file differs from the built-in copy.
    void (*reportMismatch)(void* context);
};

struct HelpBlockCache {
    HelpBlock* head;
};

// The cached block for `identifier` (language offset added to 0..9999), loading and compiling it
// on first use; none when there is no usable resource or memory runs out.
HelpBlock* LoadHelpBlock(HelpBlockCache* cache, uint32_t identifier, const HelpSource* source);

// Compiles `text` into a new block (not cached); none only when memory runs out.
HelpBlock* CompileHelpBlock(const uint8_t* text, size_t size, uint32_t identifier);

// Frees every block of the cache (the program keeps them until it ends; tests free them).
void FreeHelpBlockCache(HelpBlockCache* cache);

// Sum of the overlapping little-endian 32-bit words at every byte position 0 .. size-4.
uint32_t HelpChecksum(const uint8_t* data, size_t size);

// Title (line -1) or line of a topic; none for an index out of range, a missing title, or an empty
// line with no non-empty line after it in the same topic.
const char* GetTopicLine(const HelpBlock* block, int32_t topicIndex, int32_t line);

// Index of the last topic with `identifier`, or -1.
int32_t FindHelpTopic(const HelpBlock* block, int32_t identifier);
