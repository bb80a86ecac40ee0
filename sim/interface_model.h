// The interface as seen from its serial line: MIDI bytes with in-band cable selection (F5 n) in
// both directions, the configuration handshake, computer and patch mode, and the timecode unit
// (identity, state, set state, MMC locate, MTC quarter frames while running). Behaviour and the
// choices made where the interface is not documented: sim/README.md.
//
// Pure C++, no operating-system headers. Not thread-safe: the owner (a serial port provider, a
// test) serialises every call. Time is given by the owner in microseconds (Advance); commands that
// start the timecode use the time of the last Advance.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

inline constexpr unsigned kModelOutCables = 5; // cables from the computer to MIDI outs
inline constexpr unsigned kModelInCables = 3;  // cables from MIDI ins to the computer

struct ModelOptions {
    int FirmwareVersion = 123; // 0 to 999, sent as three ASCII digits
    uint8_t Identity1 = 1;     // identity numbers of the identity reply
    uint8_t Identity2 = 2;
    bool Answers = true;       // false: a device that never answers anything
    uint8_t TimecodeCable = 0; // input cable carrying the timecode unit's replies and MTC
    uint8_t LtcMode = 0;       // timecode unit's mode at power-up (0 off ... 4 convert)
    uint8_t Rate = 1;          // TimecodeRate at power-up (25 frames)
    uint8_t Level = 2;         // OutputLevel at power-up (0 dB)
};

struct ModelTime {
    uint8_t Hours = 0, Minutes = 0, Seconds = 0, Frames = 0;
};

// One complete message that reached a MIDI out: status byte restored when it came with running
// status; a System Exclusive message from F0 to F7 (or broken off: no F7).
using MidiMessage = std::vector<uint8_t>;

struct CableRecord {
    std::vector<MidiMessage> Messages;
    uint32_t StrayBytes = 0; // data bytes without a status to belong to
    uint32_t Dropped = 0;    // complete messages not routed because of patch mode
};

class InterfaceModel {
public:
    explicit InterfaceModel(const ModelOptions& options = {});

    // Bytes written by the computer on the serial line, in order.
    void Receive(const uint8_t* data, size_t length);
    // Bytes the interface sends on the line as they are (tests and tools).
    void Inject(const uint8_t* data, size_t length);
    // Sends a message on an input cable, selecting the cable first when it changed.
    void SendOnCable(unsigned cable, const uint8_t* data, size_t length);

    // Moves the model's clock to now (microseconds, monotonic) and sends the quarter frames due.
    void Advance(uint64_t nowUs);
    // When the next quarter frame is due; UINT64_MAX when the timecode does not run.
    uint64_t NextDueUs() const;

    // Bytes the interface has sent and the computer has not taken yet.
    size_t Pending() const { return out_.size(); }
    size_t TakeOutput(uint8_t* buffer, size_t capacity);

    // Observation.
    const CableRecord& Cable(unsigned cable) const;            // cable 0 .. kModelOutCables - 1
    const std::vector<uint8_t>& Line() const { return line_; } // every byte received, in order
    void ClearRecords();
    bool ComputerMode() const { return computerMode_; }
    bool Running() const;
    ModelTime Time() const { return time_; }
    uint8_t Rate() const { return rate_; }
    uint8_t LtcMode() const { return ltcMode_; }
    uint8_t Level() const { return level_; }
    const ModelOptions& Options() const { return options_; }
    uint32_t ConfigRequests() const { return configRequests_; }

    // Text interface of the device host (ModelQuery, ModelCommand). Report: one "key value" line
    // per item, stable order. Command: see sim/README.md; answers "ok" or "error: reason".
    std::string Report() const;
    std::string Command(std::string_view command);

    // Settings a command or a test may change at any time.
    void SetFirmwareVersion(int version) { options_.FirmwareVersion = version; }
    void SetAnswers(bool answers) { options_.Answers = answers; }
    void Locate(uint8_t rate, ModelTime time);
    void SetLtcMode(uint8_t mode);
    void SetLevel(uint8_t level) { level_ = level; }

private:
    void ReceiveByte(uint8_t byte);
    void Deliver(MidiMessage message);
    void HandleSysEx(const MidiMessage& message);
    bool HandleOwnSysEx(const MidiMessage& message);
    void HandleMmc(const MidiMessage& message);
    void SendReply(const uint8_t* data, size_t length);
    void SendQuarterFrame();
    void StepFrames(unsigned count);
    void RestartClock();
    uint8_t FramesPerSecond() const;
    uint64_t DueTime(uint64_t index) const;

    ModelOptions options_;
    std::deque<uint8_t> out_;
    std::vector<uint8_t> line_;
    CableRecord cables_[kModelOutCables];
    int sentCable_ = -1; // input cable last selected towards the computer; -1 unknown

    // Receiver of the computer's bytes.
    unsigned cable_ = 0;
    bool cableSelect_ = false;
    uint8_t runningStatus_ = 0;
    MidiMessage pending_;    // message being collected (status first)
    size_t pendingNeed_ = 0; // data bytes still missing
    bool inSysEx_ = false;

    bool computerMode_ = false;
    uint32_t configRequests_ = 0;

    // Timecode unit.
    uint8_t rate_, ltcMode_, level_;
    ModelTime time_;      // the current frame
    ModelTime cycleTime_; // time carried by the current run of eight pieces
    uint8_t nextPiece_ = 0;
    uint64_t nowUs_ = 0;
    uint64_t clockStartUs_ = 0; // time of quarter frame number 0 of the current run
    uint64_t sentPieces_ = 0;   // quarter frames sent since clockStartUs_
};

// Formats bytes as upper-case hex pairs separated by spaces ("F0 63 60 F7").
std::string HexBytes(const uint8_t* data, size_t length);
// Parses hex pairs separated by white space; false on anything else.
bool ParseHexBytes(std::string_view text, std::vector<uint8_t>& bytes);

} // namespace sim
