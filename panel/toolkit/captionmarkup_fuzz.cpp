// Fuzzes caption markup and mnemonics: any text, no read beyond it, caption inside it.
#include "toolkit/controllogic.h"

#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    const char* begin = text.c_str();
    CaptionColors colors = {1, 2, 3};
    const char* caption = ParseCaptionColors(&colors, begin);
    if (caption < begin || caption > begin + std::strlen(begin))
        std::abort();
    for (PanelColor c : {colors.background, colors.other, colors.text})
        if (c > 3 && c >= 0x01000000u)
            std::abort();
    char out[100];
    const int m = StripMnemonic(caption, out, sizeof out);
    if (m >= 0 && (m >= static_cast<int>(std::strlen(out)) || m > 98))
        std::abort();
    return 0;
}
