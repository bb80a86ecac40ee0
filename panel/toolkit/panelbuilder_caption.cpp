// Caption processing of the panel builder (see panelbuilder_caption.h).
#include "toolkit/panelbuilder_caption.h"

#include "base/colortriple.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

char Upper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// Replaces caption[from..to) by text (length n), keeping the whole within capacity.
void Splice(char* caption, size_t capacity, size_t from, size_t to, const char* text, size_t n) {
    size_t len = strlen(caption);
    size_t tail = len - to;
    if (from + n >= capacity)
        n = capacity - 1 - from;
    if (from + n + tail >= capacity)
        tail = capacity - 1 - from - n;
    memmove(caption + from + n, caption + to, tail);
    memcpy(caption + from, text, n);
    caption[from + n + tail] = '\0';
}

// Reads one block's items (between open and close); true when the block stays in the caption.
bool ReadBlock(const char* open, const char* close, const CaptionServices& services,
               CaptionResult* result) {
    const char* p = open + 1;
    while (p < close) {
        const char* end = p;
        while (end < close && *end != ';')
            ++end;
        char value[128];
        size_t n = static_cast<size_t>(end - p);
        if (n > 0) {
            size_t vn = n - 1 < sizeof value - 1 ? n - 1 : sizeof value - 1;
            memcpy(value, p + 1, vn);
            value[vn] = '\0';
            switch (Upper(*p)) {
                case '<': {
                    int32_t limit = CrtAtoi(value);
                    if (limit > 0)
                        result->textLimit = limit;
                    break;
                }
                case 'B':
                case 'I':
                case 'T':
                    if (services.addColour)
                        services.addColour(services.context, ParseColorTriple(value));
                    result->colourBlock = true;
                    return true;
                case 'F':
                    snprintf(result->fontSpec, sizeof result->fontSpec, "%s", value);
                    result->hasFont = true;
                    break;
                case 'K':
                    result->keyLabel = CrtAtoi(value);
                    break;
                default:
                    break;
            }
        }
        p = end + 1;
    }
    return false;
}

} // namespace

void ProcessCaption(char* caption, size_t capacity, uint32_t controlId,
                    const CaptionServices& services, CaptionResult* result) {
    *result = CaptionResult{};
    if (capacity == 0)
        return;
    caption[capacity - 1] = '\0';
    size_t scan = 0;
    int references = 0;
    for (;;) {
        char* open = strchr(caption + scan, '{');
        char* close = open ? strchr(open + 1, '}') : nullptr;
        if (close != nullptr) {
            if (ReadBlock(open, close, services, result)) {
                scan = static_cast<size_t>(close + 1 - caption);
            } else {
                Splice(caption, capacity, static_cast<size_t>(open - caption),
                       static_cast<size_t>(close + 1 - caption), "", 0);
            }
            continue;
        }
        if (caption[scan] != '@')
            break;
        uint32_t id = caption[scan + 1] == '@' ? controlId
                                               : static_cast<uint32_t>(CrtAtoi(caption + scan + 1));
        id = LanguageStringId(id);
        caption[scan] = '\0';
        char text[kCaptionCapacity];
        if (++references > kMaxCaptionReferences ||
            !services.loadString(services.context, id, text, sizeof text)) {
            snprintf(text, sizeof text, "[%u]", id);
        }
        text[sizeof text - 1] = '\0';
        Splice(caption, capacity, scan, scan, text, strlen(text));
    }
    int32_t k = result->keyLabel;
    if (k > 0 && k <= kMaxKeyLabel) {
        char label[8];
        int n = snprintf(label, sizeof label, "F%d: ", static_cast<int>(k));
        Splice(caption, capacity, scan, scan, label, static_cast<size_t>(n));
    }
}
