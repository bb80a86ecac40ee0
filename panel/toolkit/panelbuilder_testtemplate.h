// Test helper: writes DLGTEMPLATE bytes, and the panel template of this program (dialog 1005).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class TemplateWriter {
public:
    // A header with DS_SETFONT when face is not empty.
    TemplateWriter(uint32_t style, uint16_t count, int16_t cx, int16_t cy, const std::string& title,
                   uint16_t pointSize = 0, const std::string& face = "") {
        Dword(style);
        Dword(0);
        for (int16_t v : {int16_t(count), int16_t(0), int16_t(0), cx, cy, int16_t(0), int16_t(0)})
            Word(static_cast<uint16_t>(v)); // count, x, y, cx, cy, menu, class
        String(title);
        if (style & 0x40) {
            Word(pointSize);
            String(face);
        }
    }

    // An item with a class atom (className empty) or name, and a text ordinal (text empty and
    // ordinal nonzero) or string.
    void Item(uint16_t id, uint16_t atom, const std::string& className, const std::string& text,
              uint32_t style, int16_t x, int16_t y, int16_t cx, int16_t cy, uint16_t ordinal = 0,
              uint16_t extra = 0) {
        Align();
        Dword(style);
        Dword(0);
        for (int16_t v : {x, y, cx, cy, int16_t(id)})
            Word(static_cast<uint16_t>(v));
        if (className.empty()) {
            Word(0xFFFF);
            Word(atom);
        } else {
            String(className);
        }
        if (ordinal != 0) {
            Word(0xFFFF);
            Word(ordinal);
        } else {
            String(text);
        }
        Word(extra);
        for (uint16_t i = 2; i < extra; ++i)
            bytes.push_back(0xAB);
        if (extra > 2 && extra % 2)
            bytes.push_back(0xAB);
    }

    std::vector<uint8_t> bytes;

private:
    void Word(uint16_t v) {
        bytes.push_back(static_cast<uint8_t>(v));
        bytes.push_back(static_cast<uint8_t>(v >> 8));
    }
    void Dword(uint32_t v) {
        Word(static_cast<uint16_t>(v));
        Word(static_cast<uint16_t>(v >> 16));
    }
    void String(const std::string& s) {
        for (unsigned char c : s)
            Word(c);
        Word(0);
    }
    void Align() {
        while (bytes.size() % 4)
            bytes.push_back(0);
    }
};

// The program's panel, dialog 1005. Its stretch-band marker stands at the right end of the glass
// display, so the display takes all growth and the keys below it only move down.
inline std::vector<uint8_t> PanelTemplate1005(int16_t markerX = 240) {
    TemplateWriter t(0x10CA00C0, 20, 250, 89, "Korvane Varlo Control", 10, "System");
    const uint32_t key = 0x50010000;
    t.Item(65534, 0x82, "", "", 0x50000006, markerX, 18, 1, 30);
    t.Item(1003, 0, "AppDisplayClass", "Na, sowas", key, 6, 6, 240, 48);
    t.Item(1013, 0, "AppBtnClass", "{B192,128,128}Write", key, 12, 60, 30, 24);
    t.Item(1010, 0, "AppBtnClass", "{B0,128,128}Off", key, 42, 60, 24, 12);
    t.Item(1011, 0, "AppBtnClass", "{B0,128,128}Read", key, 42, 72, 24, 12);
    t.Item(1012, 0, "AppBtnClass", "{B0,255,0}Refr.", key, 66, 60, 24, 12);
    t.Item(1014, 0, "AppBtnClass", "{B128,192,128}MTC", key, 66, 72, 24, 12);
    t.Item(1094, 0x81, "", "", 0x50811080, 96, 60, 48, 12);
    t.Item(1095, 0, "AppBtnClass", "Set", key, 96, 72, 18, 12);
    t.Item(1006, 0x82, "", "", 0x5000090E, 128, 72, 16, 12, 108);
    t.Item(9999, 0x82, "", "FPS:", 0x40020202, 149, 60, 18, 12);
    t.Item(9998, 0x82, "", "VU:", 0x40020202, 149, 72, 18, 12);
    t.Item(1020, 0, "AppBtnClass", "{B0,0,255}24", key, 168, 60, 18, 12);
    t.Item(1021, 0, "AppBtnClass", "{B0,255,255}25", key, 186, 60, 18, 12);
    t.Item(1022, 0, "AppBtnClass", "{B0,0,128}30d", key, 204, 60, 18, 12);
    t.Item(1023, 0, "AppBtnClass", "{B0,0,128}30", key, 222, 60, 18, 12);
    t.Item(1040, 0, "AppBtnClass", "-9", key, 168, 72, 18, 12);
    t.Item(1041, 0, "AppBtnClass", "-4", key, 186, 72, 18, 12);
    t.Item(1042, 0, "AppBtnClass", "0", key, 204, 72, 18, 12);
    t.Item(1043, 0, "AppBtnClass", "+4", key, 222, 72, 18, 12);
    return t.bytes;
}
