// The interface model: receiver of the computer's bytes, the interface's own System Exclusive
// messages and the timecode unit with its MTC clock.
#include "sim/interface_model.h"

#include "sim/midi_status.h"

namespace sim {
namespace {

constexpr uint8_t kMaker = 0x63, kDevice = 0x60;
constexpr uint8_t kNoChange = 0x7F;
constexpr size_t kMaxSysEx = 65536;     // longer messages are cut (kept as broken off)
constexpr uint64_t kMaxLagUs = 1000000; // a clock further behind skips instead of bursting

bool IsOwn(const MidiMessage& m, uint8_t command) {
    return m.size() >= 5 && m[0] == 0xF0 && m[1] == kMaker && m[2] == kDevice && m[3] == command;
}

bool ValidTime(const ModelTime& t, uint8_t fps) {
    return t.Hours < 24 && t.Minutes < 60 && t.Seconds < 60 && t.Frames < fps;
}

} // namespace

InterfaceModel::InterfaceModel(const ModelOptions& options)
    : options_(options), rate_(options.Rate & 3),
      ltcMode_(options.LtcMode > 4 ? 0 : options.LtcMode), level_(options.Level & 3) {}

void InterfaceModel::Receive(const uint8_t* data, size_t length) {
    line_.insert(line_.end(), data, data + length);
    for (size_t i = 0; i < length; ++i)
        ReceiveByte(data[i]);
}

void InterfaceModel::ReceiveByte(uint8_t b) {
    if (b >= 0xF8) { // real-time: passes through, touches no state
        Deliver({b});
        return;
    }
    if (b & 0x80) {
        if (inSysEx_) {
            inSysEx_ = false;
            if (b == 0xF7) {
                pending_.push_back(b);
                HandleSysEx(pending_);
                pending_.clear();
                return;
            }
            Deliver(pending_); // broken off by another status byte
        }
        pending_.clear();
        pendingNeed_ = 0;
        cableSelect_ = false;
        if (b < 0xF0) {
            runningStatus_ = b;
            pending_.push_back(b);
            pendingNeed_ = DataBytesOf(b);
            return;
        }
        runningStatus_ = 0; // system common and exclusive messages clear running status
        switch (b) {
            case 0xF0:
                inSysEx_ = true;
                pending_.push_back(b);
                break;
            case 0xF5:
                cableSelect_ = true;
                break;
            case 0xF6:
                Deliver({b});
                break;
            case 0xF1:
            case 0xF2:
            case 0xF3:
                pending_.push_back(b);
                pendingNeed_ = DataBytesOf(b);
                break;
            default: // F4, stray F7: nothing
                break;
        }
        return;
    }
    if (cableSelect_) {
        cableSelect_ = false;
        cable_ = b;
        return;
    }
    if (inSysEx_) {
        if (pending_.size() < kMaxSysEx)
            pending_.push_back(b);
        return;
    }
    if (pendingNeed_ == 0) {
        if (runningStatus_ == 0) {
            if (cable_ < kModelOutCables)
                cables_[cable_].StrayBytes++;
            return;
        }
        pending_.assign(1, runningStatus_);
        pendingNeed_ = DataBytesOf(runningStatus_);
    }
    pending_.push_back(b);
    if (--pendingNeed_ == 0) {
        Deliver(pending_);
        pending_.clear();
    }
}

void InterfaceModel::Deliver(MidiMessage message) {
    if (cable_ >= kModelOutCables)
        return; // no such MIDI out
    CableRecord& record = cables_[cable_];
    if (!computerMode_)
        record.Dropped++;
    else
        record.Messages.push_back(std::move(message));
}

void InterfaceModel::HandleSysEx(const MidiMessage& message) {
    if (HandleOwnSysEx(message))
        return;
    if (message.size() == 13 && message[1] == 0x7F && message[3] == 0x06 && message[4] == 0x44 &&
        message[5] == 0x06 && message[6] == 0x01)
        HandleMmc(message);
    Deliver(message);
}

// The interface's own messages: handled and never passed to a MIDI out.
bool InterfaceModel::HandleOwnSysEx(const MidiMessage& m) {
    if (m.size() < 4 || m[1] != kMaker || m[2] != kDevice)
        return false;
    if (IsOwn(m, 0x0B) && m.size() == 6) { // identity request (configuration request)
        configRequests_++;
        if (!options_.Answers)
            return true;
        int v = options_.FirmwareVersion;
        uint8_t reply[12] = {0xF0,
                             kMaker,
                             kDevice,
                             0x7B,
                             0x00,
                             options_.Identity1,
                             options_.Identity2,
                             0x00,
                             uint8_t('0' + v / 100 % 10),
                             uint8_t('0' + v / 10 % 10),
                             uint8_t('0' + v % 10),
                             0xF7};
        SendReply(reply, sizeof reply);
    } else if (IsOwn(m, 0x0C) && m.size() == 6) { // state request
        if (!options_.Answers)
            return true;
        uint8_t reply[12] = {0xF0,          kMaker,        kDevice,
                             0x7C,          0x01,          uint8_t(rate_ << 5 | time_.Hours),
                             time_.Minutes, time_.Seconds, time_.Frames,
                             ltcMode_,      level_,        0xF7};
        SendReply(reply, sizeof reply);
    } else if (IsOwn(m, 0x1C) && m.size() == 12 && m[4] == 0x01) { // set state
        if (m[5] != kNoChange || m[6] != kNoChange || m[7] != kNoChange || m[8] != kNoChange) {
            uint8_t rate = m[5] != kNoChange ? (m[5] >> 5) & 3 : rate_;
            ModelTime t = time_;
            if (m[5] != kNoChange)
                t.Hours = m[5] & 0x1F;
            if (m[6] != kNoChange)
                t.Minutes = m[6];
            if (m[7] != kNoChange)
                t.Seconds = m[7];
            if (m[8] != kNoChange)
                t.Frames = m[8];
            Locate(rate, t);
        }
        if (m[9] != kNoChange && m[9] <= 4)
            SetLtcMode(m[9]);
        if (m[10] != kNoChange && m[10] <= 3)
            level_ = m[10];
    } else if (IsOwn(m, 0x0F) && m.size() == 6) {
        computerMode_ = true;
        sentCable_ = -1; // the driver has just reset its input cable
    } else if (IsOwn(m, 0x10) && m.size() == 6) {
        computerMode_ = false;
    }
    return true; // other messages of the family are swallowed
}

void InterfaceModel::HandleMmc(const MidiMessage& m) {
    ModelTime t{uint8_t(m[7] & 0x1F), m[8], m[9], m[10]};
    Locate((m[7] >> 5) & 3, t);
}

void InterfaceModel::Locate(uint8_t rate, ModelTime time) {
    uint8_t fps = rate == 0 ? 24 : rate == 1 ? 25 : 30;
    if (!ValidTime(time, fps))
        return;
    rate_ = rate & 3;
    time_ = time;
    RestartClock();
}

void InterfaceModel::SetLtcMode(uint8_t mode) {
    bool was = Running();
    ltcMode_ = mode;
    if (!was && Running())
        RestartClock();
}

bool InterfaceModel::Running() const {
    return options_.Answers && ltcMode_ >= 1 && ltcMode_ <= 3;
}

void InterfaceModel::RestartClock() {
    clockStartUs_ = nowUs_;
    sentPieces_ = 0;
    nextPiece_ = 0;
}

uint8_t InterfaceModel::FramesPerSecond() const {
    return rate_ == 0 ? 24 : rate_ == 1 ? 25 : 30;
}

uint64_t InterfaceModel::DueTime(uint64_t index) const {
    return clockStartUs_ + index * 1000000 / (4u * FramesPerSecond());
}

uint64_t InterfaceModel::NextDueUs() const {
    return Running() ? DueTime(sentPieces_) : UINT64_MAX;
}

void InterfaceModel::Advance(uint64_t nowUs) {
    if (nowUs > nowUs_)
        nowUs_ = nowUs;
    if (!Running())
        return;
    if (nowUs_ > DueTime(sentPieces_) + kMaxLagUs) { // the owner stalled: skip, do not burst
        clockStartUs_ += nowUs_ - DueTime(sentPieces_);
    }
    while (DueTime(sentPieces_) <= nowUs_) {
        SendQuarterFrame();
        sentPieces_++;
    }
}

void InterfaceModel::SendQuarterFrame() {
    uint8_t p = nextPiece_;
    if (p == 0)
        cycleTime_ = time_;
    const ModelTime& t = cycleTime_;
    uint8_t nibble = 0;
    switch (p) {
        case 0:
            nibble = t.Frames & 0x0F;
            break;
        case 1:
            nibble = t.Frames >> 4;
            break;
        case 2:
            nibble = t.Seconds & 0x0F;
            break;
        case 3:
            nibble = t.Seconds >> 4;
            break;
        case 4:
            nibble = t.Minutes & 0x0F;
            break;
        case 5:
            nibble = t.Minutes >> 4;
            break;
        case 6:
            nibble = t.Hours & 0x0F;
            break;
        default:
            nibble = uint8_t((t.Hours >> 4 & 1) | rate_ << 1);
            break;
    }
    uint8_t qf[2] = {0xF1, uint8_t(p << 4 | nibble)};
    SendOnCable(options_.TimecodeCable, qf, 2);
    if (p == 3 || p == 7)
        StepFrames(1);
    nextPiece_ = (p + 1) & 7;
}

void InterfaceModel::StepFrames(unsigned count) {
    uint8_t fps = FramesPerSecond();
    while (count--) {
        ModelTime& t = time_;
        if (++t.Frames >= fps) {
            t.Frames = 0;
            if (++t.Seconds >= 60) {
                t.Seconds = 0;
                if (++t.Minutes >= 60) {
                    t.Minutes = 0;
                    t.Hours = (t.Hours + 1) % 24;
                }
            }
        }
        // Drop-frame counting skips frames 0 and 1 of every minute except each tenth.
        if (rate_ == 2 && t.Seconds == 0 && t.Frames < 2 && t.Minutes % 10 != 0)
            t.Frames = 2;
    }
}

void InterfaceModel::SendReply(const uint8_t* data, size_t length) {
    SendOnCable(options_.TimecodeCable, data, length);
}

void InterfaceModel::SendOnCable(unsigned cable, const uint8_t* data, size_t length) {
    if (int(cable) != sentCable_) {
        out_.push_back(0xF5);
        out_.push_back(uint8_t(cable & 0x7F));
        sentCable_ = int(cable & 0x7F);
    }
    out_.insert(out_.end(), data, data + length);
}

void InterfaceModel::Inject(const uint8_t* data, size_t length) {
    out_.insert(out_.end(), data, data + length);
    sentCable_ = -1; // the bytes may have selected anything
}

size_t InterfaceModel::TakeOutput(uint8_t* buffer, size_t capacity) {
    size_t n = out_.size() < capacity ? out_.size() : capacity;
    for (size_t i = 0; i < n; ++i)
        buffer[i] = out_[i];
    out_.erase(out_.begin(), out_.begin() + long(n));
    return n;
}

const CableRecord& InterfaceModel::Cable(unsigned cable) const {
    return cables_[cable < kModelOutCables ? cable : 0];
}

void InterfaceModel::ClearRecords() {
    for (CableRecord& c : cables_)
        c = CableRecord{};
    line_.clear();
}

} // namespace sim
