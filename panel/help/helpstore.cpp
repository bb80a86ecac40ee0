// Help text store: loader, checksum and the one-pass compiler.
#include "help/helpstore.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

namespace {

enum CompileState { SEEKING_HEADER, IN_BODY, SKIPPING };

// atoi without undefined behaviour on overflow: white space, a sign, digits.
int32_t ReadAtoi(const char* s, const char* end) {
    while (s < end && (*s == ' ' || (*s >= '\t' && *s <= '\r')))
        ++s;
    bool negative = false;
    if (s < end && (*s == '+' || *s == '-'))
        negative = *s++ == '-';
    uint32_t value = 0;
    while (s < end && *s >= '0' && *s <= '9')
        value = value * 10u + uint32_t(*s++ - '0');
    return int32_t(negative ? 0u - value : value);
}

bool EqualsNoCase(const char* s, size_t length, const char* word) {
    size_t i = 0;
    for (; i < length && word[i]; ++i) {
        char a = s[i], b = word[i];
        if (a >= 'a' && a <= 'z')
            a = char(a - 32);
        if (b >= 'a' && b <= 'z')
            b = char(b - 32);
        if (a != b)
            return false;
    }
    return i == length && word[i] == 0;
}

// Working tables of one compilation, within the block limits.
struct Compiler {
    HelpTopic topics[HELP_MAX_TOPIC_ENTRIES];
    int32_t topicCount = 0;
    uint32_t lineStart[HELP_MAX_LINES];
    int32_t lineCount = 0;
    char text[HELP_MAX_TEXT];
    size_t used = 0;
    HelpTopic* current = nullptr;

    // Current body line: characters go to text[bodyStart..used); dropped when full.
    size_t bodyStart = 0;
    int column = 0;
    bool bodyHasChars = false;

    char header[HELP_MAX_HEADER + 1];
    size_t headerLength = 0;

    bool LineTableFull() const { return lineCount >= int32_t(HELP_MAX_LINES); }

    void BodyChar(char c) {
        bodyHasChars = true;
        ++column;
        if (LineTableFull())
            return;
        if (used + 1 < HELP_MAX_TEXT) // keep room for the line's NUL
            text[used++] = c;
    }

    void EndBodyLine() {
        if (!LineTableFull() && used < HELP_MAX_TEXT) {
            text[used++] = 0;
            lineStart[lineCount++] = uint32_t(bodyStart);
            if (current)
                ++current->lineCount;
        } else {
            used = bodyStart;
        }
        bodyStart = used;
        column = 0;
        bodyHasChars = false;
    }

    // Headers written one after the other share the lines of the last of them.
    void ShareLines() {
        if (!current || current->lineCount == 0)
            return;
        for (int32_t i = 0; i < topicCount; ++i)
            if (topics[i].firstLine == current->firstLine)
                topics[i].lineCount = current->lineCount;
    }

    // Stores a NUL-terminated copy in the text area; none when it does not fit whole.
    const char* StoreString(const char* s, size_t length) {
        if (used + length + 1 > HELP_MAX_TEXT)
            return nullptr;
        char* out = text + used;
        std::memcpy(out, s, length);
        out[length] = 0;
        used += length + 1;
        return out;
    }

    CompileState Header() {
        const char* line = header;
        const char* end = header + headerLength;
        const char* colon = static_cast<const char*>(std::memchr(line, ':', headerLength));
        if (!colon)
            return SEEKING_HEADER; // a comment line
        ShareLines();
        int32_t identifier = ReadAtoi(line, colon);
        if (identifier == 0) {
            if (!EqualsNoCase(line, size_t(colon - line), "Default"))
                return SKIPPING;
            identifier = HELP_DEFAULT_TOPIC;
        }
        if (topicCount + 1 >= int32_t(HELP_MAX_TOPIC_ENTRIES))
            return SKIPPING; // the table keeps room for its terminator
        HelpTopic* topic = &topics[topicCount++];
        *topic = HelpTopic{identifier, nullptr, false, 0, 0, lineCount};
        current = topic;

        const char* rest = colon + 1;
        const char* search = rest;
        const char* open = static_cast<const char*>(std::memchr(rest, '(', size_t(end - rest)));
        if (open) {
            const char* close =
                static_cast<const char*>(std::memchr(open, ')', size_t(end - open)));
            if (close) {
                for (const char* item = open + 1; item < close;) {
                    const char* stop = item;
                    while (stop < close && *stop != ';')
                        ++stop;
                    if (stop > item && (*item == 'G' || *item == 'g'))
                        topic->upTopic = ReadAtoi(item + 1, stop);
                    item = stop + 1;
                }
                search = close + 1;
            }
        }
        const char* quote =
            search < end ? static_cast<const char*>(std::memchr(search, '"', size_t(end - search)))
                         : nullptr;
        if (quote) {
            const char* title = quote + 1;
            if (title < end && *title == '*') {
                topic->starred = true;
                ++title;
            }
            const char* stop = title;
            while (stop < end && *stop != '"')
                ++stop;
            topic->title = StoreString(title, size_t(stop - title));
        }
        topic->firstLine = lineCount;
        bodyStart = used;
        return IN_BODY;
    }

    void Run(const uint8_t* data, size_t size) {
        CompileState state = SEEKING_HEADER;
        bool lineStartFlag = true;
        for (size_t i = 0; i < size; ++i) {
            char c = char(data[i]);
            if (lineStartFlag && c == '@') {
                state = SEEKING_HEADER;
                headerLength = 0;
                lineStartFlag = false;
                continue;
            }
            lineStartFlag = c == '\n';
            switch (state) {
                case SEEKING_HEADER:
                    if (c == '\n') {
                        if (headerLength > 0)
                            state = Header();
                        headerLength = 0;
                    } else if (headerLength < HELP_MAX_HEADER) {
                        header[headerLength++] = c;
                    }
                    break;
                case IN_BODY:
                    if (c == '\r')
                        break;
                    if (c == '\n') {
                        EndBodyLine();
                    } else if (c == '\t') {
                        do
                            BodyChar(' ');
                        while (column % 8 != 0);
                    } else {
                        BodyChar(c);
                    }
                    break;
                case SKIPPING:
                    break;
            }
        }
        if (state == IN_BODY && bodyHasChars)
            EndBodyLine();
        ShareLines();
    }
};

HelpBlock* BuildBlock(const Compiler& compiler, uint32_t identifier) {
    size_t topicBytes = sizeof(HelpTopic) * size_t(compiler.topicCount + 1);
    size_t lineBytes = sizeof(const char*) * size_t(compiler.lineCount);
    size_t total = sizeof(HelpBlock) + topicBytes + lineBytes + compiler.used + 1;
    auto* memory = static_cast<uint8_t*>(std::calloc(1, total));
    if (!memory)
        return nullptr;
    auto* block = reinterpret_cast<HelpBlock*>(memory);
    block->identifier = identifier;
    block->topicCount = compiler.topicCount;
    block->topics = reinterpret_cast<HelpTopic*>(memory + sizeof(HelpBlock));
    block->lines = reinterpret_cast<const char**>(memory + sizeof(HelpBlock) + topicBytes);
    block->text = reinterpret_cast<char*>(memory + sizeof(HelpBlock) + topicBytes + lineBytes);
    block->lineTotal = compiler.lineCount;
    std::memcpy(block->text, compiler.text, compiler.used);
    for (int32_t i = 0; i < compiler.lineCount; ++i)
        block->lines[i] = block->text + compiler.lineStart[i];
    for (int32_t i = 0; i < compiler.topicCount; ++i) {
        HelpTopic topic = compiler.topics[i];
        if (topic.title)
            topic.title = block->text + (topic.title - compiler.text);
        block->topics[i] = topic;
    }
    block->topics[compiler.topicCount] = HelpTopic{-1, nullptr, false, 0, 0, 0};
    return block;
}

} // namespace

uint32_t HelpChecksum(const uint8_t* data, size_t size) {
    uint32_t sum = 0;
    for (size_t i = 0; i + 4 <= size; ++i)
        sum += uint32_t(data[i]) | uint32_t(data[i + 1]) << 8 | uint32_t(data[i + 2]) << 16 |
               uint32_t(data[i + 3]) << 24;
    return sum;
}

HelpBlock* CompileHelpBlock(const uint8_t* text, size_t size, uint32_t identifier) {
    auto* compiler = new (std::nothrow) Compiler;
    if (!compiler)
        return nullptr;
    compiler->Run(text, size);
    HelpBlock* block = BuildBlock(*compiler, identifier);
    delete compiler;
    return block;
}

HelpBlock* LoadHelpBlock(HelpBlockCache* cache, uint32_t identifier, const HelpSource* source) {
    if (identifier < 10000)
        identifier += HELP_LANGUAGE_OFFSET;
    for (HelpBlock* block = cache->head; block; block = block->next)
        if (block->identifier == identifier)
            return block;

    const uint8_t* resource = nullptr;
    size_t size = 0;
    if (!source->findResource(source->context, uint16_t(identifier), &resource, &size) ||
        !resource || size == 0 || size > HELP_MAX_RESOURCE)
        return nullptr;
    uint32_t sum = HelpChecksum(resource, size);

    const uint8_t* text = resource;
    size_t length = size;
    std::vector<uint8_t> file;
    bool fileRead = false;
    if (resource[0] == '[') {
        const void* found = std::memchr(resource + 1, ']', size < 20 ? size - 1 : 19);
        if (found) {
            size_t close = size_t(static_cast<const uint8_t*>(found) - resource);
            size_t skip = close + 3 < size ? close + 3 : size;
            text = resource + skip;
            length = size - skip;
            std::string name(reinterpret_cast<const char*>(resource + 1), close - 1);
            if (source->readFile(source->context, ("..\\" + name).c_str(), &file) ||
                source->readFile(source->context, name.c_str(), &file)) {
                fileRead = true;
                sum -= HelpChecksum(file.data(), file.size());
                text = file.data();
                length = file.size();
            }
        }
    }

    HelpBlock* block = CompileHelpBlock(text, length, identifier);
    if (!block)
        return nullptr;
    block->next = cache->head;
    cache->head = block;
    if (fileRead && sum != 0)
        source->reportMismatch(source->context);
    return block;
}

void FreeHelpBlockCache(HelpBlockCache* cache) {
    while (HelpBlock* block = cache->head) {
        cache->head = block->next;
        std::free(block);
    }
}

const char* GetTopicLine(const HelpBlock* block, int32_t topicIndex, int32_t line) {
    if (!block || topicIndex < 0 || topicIndex >= block->topicCount)
        return nullptr;
    const HelpTopic& topic = block->topics[topicIndex];
    if (line == -1)
        return topic.title;
    if (line < 0 || line >= topic.lineCount)
        return nullptr;
    const char* text = block->lines[topic.firstLine + line];
    if (text[0])
        return text;
    for (int32_t later = line + 1; later < topic.lineCount; ++later)
        if (block->lines[topic.firstLine + later][0])
            return text;
    return nullptr;
}

int32_t FindHelpTopic(const HelpBlock* block, int32_t identifier) {
    int32_t found = -1;
    if (!block)
        return found;
    for (int32_t i = 0; i < block->topicCount; ++i)
        if (block->topics[i].identifier == identifier)
            found = i;
    return found;
}
