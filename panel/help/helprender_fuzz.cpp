// Compiles arbitrary help text: every topic's lines stay within the block's limits, and every topic
// runs through all three passes on a fake canvas.
#include "help/helprender.h"

#include <cstring>

namespace {

void Measure(void*, const HelpFont& font, const char* text, size_t length, int32_t* w, int32_t* h) {
    if (length && !text)
        __builtin_trap();
    *w = int32_t(length) * 7;
    *h = font.size & 0xFF;
}
bool Bitmap(void*, uint32_t id, int32_t* w, int32_t* h) {
    *w = int32_t(id % 50);
    *h = int32_t(id % 30);
    return id % 3 == 0;
}
uint32_t Color(void*, uint32_t n) {
    return n * 0x010101u;
}
bool Colored(void*) {
    return true;
}
int32_t Frame(void*, const HelpRect&, uint32_t pattern) {
    return HelpFrameRings(pattern);
}
void Fill(void*, const HelpRect&, uint32_t) {}
void Text(void*, const HelpFont&, bool, uint32_t, int32_t, int32_t, const char* text,
          size_t length) {
    if (std::strlen(text) < length || length > HELP_RUN_TEXT_MAX)
        __builtin_trap();
}
void DrawBitmap(void*, uint32_t, int32_t, int32_t) {}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    HelpBlockCache cache{CompileHelpBlock(data, size, 29001)};
    if (!cache.head)
        return 0;
    static HelpRenderContext context;
    InitHelpRenderContext(&context, HelpCanvas{nullptr, Measure, Bitmap, Color, Colored, Frame,
                                               Fill, Text, DrawBitmap});
    char param[64] = {};
    std::memcpy(param, data, size < sizeof(param) - 1 ? size : sizeof(param) - 1);
    SetHelpParam(&context, 1, param);
    const HelpBlock* block = cache.head;
    size_t total = 0; // every line is read to its end under the address sanitizer
    for (int32_t t = 0; t < block->topicCount; ++t) {
        const HelpTopic& topic = block->topics[t];
        if (topic.firstLine + topic.lineCount > block->lineTotal)
            __builtin_trap();
        for (int32_t line = -1; line < topic.lineCount; ++line)
            if (const char* text = GetTopicLine(block, t, line))
                total += std::strlen(text);
    }
    (void)total;
    for (int32_t t = 0; t < block->topicCount && t < 50; ++t) {
        int32_t id = block->topics[t].identifier;
        if (!PrepareTopic(&context, true, block, id, t % 2 ? PREPARE_FIRST_SHOW : 0))
            __builtin_trap();
        PaintTopic(&context, 300, 20);
        HitTestTopic(&context, 10, 10);
    }
    FreeHelpBlockCache(&cache);
    return 0;
}
