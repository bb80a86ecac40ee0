// The interface model's text interface (report and commands) and the hex helpers shared with the
// device host and the command-line client.
#include "sim/interface_model.h"

#include <charconv>
#include <cstdio>

namespace sim {
namespace {

std::string_view NextWord(std::string_view& text) {
    size_t start = text.find_first_not_of(" \t\r\n");
    if (start == std::string_view::npos) {
        text = {};
        return {};
    }
    text.remove_prefix(start);
    size_t end = text.find_first_of(" \t\r\n");
    std::string_view word = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end);
    return word;
}

bool ParseNumber(std::string_view word, int low, int high, int& value) {
    auto [end, ec] = std::from_chars(word.data(), word.data() + word.size(), value);
    return ec == std::errc() && end == word.data() + word.size() && value >= low && value <= high;
}

// "hh:mm:ss:ff"
bool ParseTime(std::string_view word, ModelTime& time) {
    int parts[4];
    for (int i = 0; i < 4; ++i) {
        size_t colon = word.find(':');
        std::string_view piece = word.substr(0, colon);
        if ((i < 3) == (colon == std::string_view::npos) || !ParseNumber(piece, 0, 99, parts[i]))
            return false;
        word.remove_prefix(colon == std::string_view::npos ? word.size() : colon + 1);
    }
    time = {uint8_t(parts[0]), uint8_t(parts[1]), uint8_t(parts[2]), uint8_t(parts[3])};
    return true;
}

void AddLine(std::string& out, const char* format, int a, int b = 0, int c = 0, int d = 0) {
    char line[96];
    std::snprintf(line, sizeof line, format, a, b, c, d);
    out += line;
}

} // namespace

std::string HexBytes(const uint8_t* data, size_t length) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (size_t i = 0; i < length; ++i) {
        if (i)
            text += ' ';
        text += digits[data[i] >> 4];
        text += digits[data[i] & 15];
    }
    return text;
}

bool ParseHexBytes(std::string_view text, std::vector<uint8_t>& bytes) {
    bytes.clear();
    for (std::string_view word = NextWord(text); !word.empty(); word = NextWord(text)) {
        unsigned value = 0;
        auto [end, ec] = std::from_chars(word.data(), word.data() + word.size(), value, 16);
        if (word.size() > 2 || ec != std::errc() || end != word.data() + word.size())
            return false;
        bytes.push_back(uint8_t(value));
    }
    return true;
}

std::string InterfaceModel::Report() const {
    std::string out;
    AddLine(out, "computer-mode %d\n", computerMode_);
    AddLine(out, "answers %d\n", options_.Answers);
    AddLine(out, "firmware %d\n", options_.FirmwareVersion);
    AddLine(out, "identity %d %d\n", options_.Identity1, options_.Identity2);
    AddLine(out, "config-requests %d\n", int(configRequests_));
    AddLine(out, "timecode %02d:%02d:%02d:%02d\n", time_.Hours, time_.Minutes, time_.Seconds,
            time_.Frames);
    AddLine(out, "rate %d\n", rate_);
    AddLine(out, "ltc-mode %d\n", ltcMode_);
    AddLine(out, "level %d\n", level_);
    AddLine(out, "running %d\n", Running());
    AddLine(out, "received %d\n", int(line_.size()));
    for (unsigned c = 0; c < kModelOutCables; ++c) {
        const CableRecord& r = cables_[c];
        AddLine(out, "cable %d messages %d stray %d dropped %d last ", int(c),
                int(r.Messages.size()), int(r.StrayBytes), int(r.Dropped));
        out += r.Messages.empty() ? std::string("-")
                                  : HexBytes(r.Messages.back().data(), r.Messages.back().size());
        out += '\n';
    }
    return out;
}

std::string InterfaceModel::Command(std::string_view command) {
    std::string_view rest = command;
    std::string_view verb = NextWord(rest);
    std::string_view arg = NextWord(rest);
    int value = 0;
    if (verb == "version" && ParseNumber(arg, 0, 999, value) && NextWord(rest).empty()) {
        options_.FirmwareVersion = value;
    } else if (verb == "answers" && (arg == "on" || arg == "off") && NextWord(rest).empty()) {
        options_.Answers = arg == "on";
    } else if (verb == "mode" && ParseNumber(arg, 0, 4, value) && NextWord(rest).empty()) {
        SetLtcMode(uint8_t(value));
    } else if (verb == "level" && ParseNumber(arg, 0, 3, value) && NextWord(rest).empty()) {
        level_ = uint8_t(value);
    } else if (verb == "locate" && ParseNumber(arg, 0, 3, value)) {
        ModelTime t;
        uint8_t fps = value == 0 ? 24 : value == 1 ? 25 : 30;
        if (!ParseTime(NextWord(rest), t) || !NextWord(rest).empty() || t.Hours > 23 ||
            t.Minutes > 59 || t.Seconds > 59 || t.Frames >= fps)
            return "error: locate RATE HH:MM:SS:FF";
        Locate(uint8_t(value), t);
    } else if (verb == "send" && ParseNumber(arg, 0, 127, value)) {
        std::vector<uint8_t> bytes;
        if (!ParseHexBytes(rest, bytes) || bytes.empty())
            return "error: send CABLE HEX...";
        SendOnCable(unsigned(value), bytes.data(), bytes.size());
    } else if (verb == "clear" && arg.empty()) {
        ClearRecords();
    } else {
        return "error: unknown command (version N | answers on|off | mode N | level N | "
               "locate RATE HH:MM:SS:FF | send CABLE HEX... | clear)";
    }
    return "ok";
}

} // namespace sim
