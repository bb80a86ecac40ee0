// Font description texts: "face,size,flags" with the later parts optional.
#include "toolkit/fontdesc.h"

#include <cstring>

#include "base/colortriple.h"

namespace {

constexpr char kDefaultFace[] = "MS Sans Serif";

// Copies at most cap - 1 characters and terminates.
void CopyText(char* to, const char* from, std::size_t cap) {
    std::size_t n = 0;
    while (n + 1 < cap && from[n] != '\0') {
        to[n] = from[n];
        ++n;
    }
    to[n] = '\0';
}

void SetFace(FontSpecParts& out, const char* face) {
    CopyText(out.face, face, sizeof out.face);
}

} // namespace

void ParseFontSpec(const char* fontText, FontSpecParts& out) {
    char text[kFontSpecMax];
    CopyText(text, fontText ? fontText : "", sizeof text);

    out.face[0] = '\0';
    out.height = 0;
    out.weight = 400;
    out.italicUnderline = 0;
    out.pitchAndFamily = 0x22;
    out.charset = 0;

    char* size = text;
    if (!(text[0] >= '0' && text[0] <= '9')) {
        char* comma = std::strchr(text, ',');
        if (comma) {
            *comma = '\0';
            SetFace(out, text); // an empty face means none
            size = comma + 1;
        }
    }
    const char* flags = "";
    if (char* comma = std::strchr(size, ',')) {
        *comma = '\0';
        flags = comma + 1;
    }
    out.height = CrtAtoi(size);

    for (const char* f = flags; *f; ++f) {
        switch (*f) {
            case 'B':
                out.weight = 700;
                break;
            case 'I':
                out.italicUnderline |= 1;
                break;
            case 'F':
                out.pitchAndFamily = 0x31;
                break;
            case 'V':
                out.pitchAndFamily = 0x22;
                break;
            case 'X':
                out.pitchAndFamily = 0x20;
                break;
            case 'S':
                SetFace(out, "Symbol");
                out.charset = 2;
                break;
            case 'W':
                SetFace(out, "Wingdings");
                out.charset = 2;
                break;
            default:
                break;
        }
    }
    if (out.face[0] == '\0')
        SetFace(out, kDefaultFace);
}
