// Any caption text, with every string reference answered by the rest of the input: processing
// stays inside the caption buffer and ends; the key's colour markup and mnemonic read nothing
// beyond the text and leave the caption inside it.
#include "toolkit/controllogic.h"
#include "toolkit/panelbuilder_caption.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool LoadFromInput(void* ctx, uint32_t id, char* out, size_t capacity) {
    const std::string& strings = *static_cast<const std::string*>(ctx);
    if (strings.empty() || id % 3 == 0)
        return false;
    size_t start = id % strings.size();
    size_t n = strings.size() - start < capacity - 1 ? strings.size() - start : capacity - 1;
    memcpy(out, strings.data() + start, n);
    out[n] = '\0';
    return true;
}

// What a key does with its caption text.
void CheckKeyMarkup(const char* text) {
    CaptionColors colors = {1, 2, 3};
    const char* caption = ParseCaptionColors(&colors, text);
    if (caption < text || caption > text + strlen(text))
        abort();
    for (PanelColor c : {colors.background, colors.other, colors.text})
        if (c > 3 && c >= 0x01000000u)
            abort();
    char out[100];
    const int m = StripMnemonic(caption, out, sizeof out);
    if (m >= 0 && (m >= static_cast<int>(strlen(out)) || m > 98))
        abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string input(reinterpret_cast<const char*>(data), size);
    size_t cut = input.find('\0');
    std::string caption = input.substr(0, cut);
    std::string strings = cut == std::string::npos ? "" : input.substr(cut + 1);
    CheckKeyMarkup(caption.c_str());
    char buf[kCaptionCapacity];
    size_t n = caption.size() < sizeof buf - 1 ? caption.size() : sizeof buf - 1;
    memcpy(buf, caption.data(), n);
    buf[n] = '\0';
    CaptionServices services{&strings, LoadFromInput, nullptr};
    CaptionResult result;
    ProcessCaption(buf, sizeof buf, static_cast<uint32_t>(size), services, &result);
    if (strlen(buf) >= sizeof buf)
        abort();
    CheckKeyMarkup(buf);
    return 0;
}
