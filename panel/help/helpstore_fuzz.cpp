// Compiles arbitrary text and walks every topic line; the limits must hold for any input.
#include "help/helpstore.h"

#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    HelpBlockCache cache{CompileHelpBlock(data, size, 29001)};
    HelpBlock* block = cache.head;
    if (!block)
        return 0;
    size_t total = 0;
    for (int32_t t = 0; t < block->topicCount; ++t) {
        const HelpTopic& topic = block->topics[t];
        if (topic.firstLine + topic.lineCount > block->lineTotal)
            __builtin_trap();
        for (int32_t line = -1; line < topic.lineCount; ++line)
            if (const char* text = GetTopicLine(block, t, line))
                total += std::strlen(text);
        FindHelpTopic(block, topic.identifier);
    }
    (void)total;
    FreeHelpBlockCache(&cache);
    return 0;
}
