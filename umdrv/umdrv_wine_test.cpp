// The user-mode MIDI driver under Wine's winmm, on its in-process loopback channel: what an output
// port sends comes back on the input port of the same cable. Port layout (environment): inputs
// other, Varlo 1, 2, 3; outputs Varlo 1, other, Varlo 2, 3, 4, 5.
#include <windows.h>
#include <mmsystem.h>

#include <gtest/gtest.h>

#include <mutex>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

struct Event {
    UINT Message;
    DWORD_PTR P1;
    Bytes Data; // long messages: the recorded bytes
};

struct Recorder {
    std::mutex Lock;
    std::vector<Event> Events;
    bool Requeue = false;
};

// Records the data messages (short, long, long error); queues a long one's buffer again on request.
void CALLBACK InputProc(HMIDIIN in, UINT message, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR) {
    auto* r = reinterpret_cast<Recorder*>(instance);
    auto* h = reinterpret_cast<MIDIHDR*>(p1);
    bool isLong = message == MIM_LONGDATA || message == MIM_LONGERROR;
    if (message != MIM_DATA && !isLong)
        return; // open, close
    std::unique_lock hold(r->Lock);
    r->Events.push_back(
        {message, p1, isLong ? Bytes(h->lpData, h->lpData + h->dwBytesRecorded) : Bytes()});
    bool requeue = isLong && r->Requeue;
    hold.unlock();
    if (requeue)
        midiInAddBuffer(in, h, sizeof(MIDIHDR));
}

MIDIHDR Header(void* data, size_t length) {
    MIDIHDR h = {};
    h.lpData = static_cast<LPSTR>(data);
    h.dwBufferLength = DWORD(length);
    return h;
}

// Waits until `count` data events arrived, or `wait` ms passed.
std::vector<Event> WaitFor(Recorder& r, size_t count, DWORD wait = 2000) {
    for (DWORD until = GetTickCount() + wait;; Sleep(5)) {
        std::lock_guard hold(r.Lock);
        if (r.Events.size() >= count || int(until - GetTickCount()) <= 0)
            return r.Events;
    }
}

class Driver : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(MMSYSERR_NOERROR, midiOutOpen(&out1_, 0, 0, 0, CALLBACK_NULL));
        ASSERT_EQ(MMSYSERR_NOERROR,
                  midiInOpen(&in1_, 1, reinterpret_cast<DWORD_PTR>(InputProc),
                             reinterpret_cast<DWORD_PTR>(&rec1_), CALLBACK_FUNCTION));
        for (int i = 0; i < 2; ++i) {
            headers_[i] = Header(buffers_[i], sizeof buffers_[i]);
            ASSERT_EQ(MMSYSERR_NOERROR, midiInPrepareHeader(in1_, &headers_[i], sizeof(MIDIHDR)));
        }
    }
    void TearDown() override {
        rec1_.Requeue = false;
        midiInReset(in1_);
        for (MIDIHDR& h : headers_)
            midiInUnprepareHeader(in1_, &h, sizeof h);
        midiInClose(in1_);
        midiOutClose(out1_);
    }
    void Queue(int n) {
        for (int i = 0; i < n; ++i)
            ASSERT_EQ(MMSYSERR_NOERROR, midiInAddBuffer(in1_, &headers_[i], sizeof(MIDIHDR)));
    }
    void SendLong(HMIDIOUT out, Bytes bytes) {
        MIDIHDR h = Header(bytes.data(), bytes.size());
        ASSERT_EQ(MMSYSERR_NOERROR, midiOutPrepareHeader(out, &h, sizeof h));
        ASSERT_EQ(MMSYSERR_NOERROR, midiOutLongMsg(out, &h, sizeof h));
        EXPECT_TRUE(h.dwFlags & MHDR_DONE);
        EXPECT_EQ(MMSYSERR_NOERROR, midiOutUnprepareHeader(out, &h, sizeof h));
    }

    HMIDIOUT out1_ = nullptr;
    HMIDIIN in1_ = nullptr;
    Recorder rec1_;
    MIDIHDR headers_[2];
    uint8_t buffers_[2][1024];
};

TEST(DriverPorts, PresentTheInterfaceAmongOtherMakersPorts) {
    ASSERT_EQ(4u, midiInGetNumDevs());
    ASSERT_EQ(6u, midiOutGetNumDevs());
    MIDIINCAPSA in = {};
    ASSERT_EQ(MMSYSERR_NOERROR, midiInGetDevCapsA(2, &in, sizeof in));
    EXPECT_EQ(219 << 16 | 3, in.wMid << 16 | in.wPid);
    EXPECT_STREQ("Varlo In 2", in.szPname); // read from the inputs' table, not the outputs'
    MIDIOUTCAPSA out = {};
    ASSERT_EQ(MMSYSERR_NOERROR, midiOutGetDevCapsA(1, &out, sizeof out));
    EXPECT_NE(219, out.wMid); // another maker's port between the interface's
}

TEST_F(Driver, ShortMessagesTravelOnTheirCableOnlyAfterStart) {
    midiOutShortMsg(out1_, 0x403C90); // not started yet: lost
    Sleep(100);
    EXPECT_TRUE(WaitFor(rec1_, 1, 50).empty());

    HMIDIOUT out2 = nullptr;
    ASSERT_EQ(MMSYSERR_NOERROR, midiOutOpen(&out2, 2, 0, 0, CALLBACK_NULL));
    midiInStart(in1_);
    midiOutShortMsg(out2, 0x7F3C90); // the second cable: not for input 1
    midiOutShortMsg(out1_, 0x403C90);
    midiOutShortMsg(out1_, 0x00003C); // running status
    midiOutShortMsg(out1_, 0x0000F8);
    midiOutShortMsg(out1_, 0x0023F1);
    std::vector<DWORD_PTR> got;
    for (const Event& e : WaitFor(rec1_, 5, 1000)) // a fifth: the other cable's
        got.push_back(e.Message == MIM_DATA ? e.P1 : 0);
    EXPECT_EQ((std::vector<DWORD_PTR>{0x403C90, 0x003C90, 0x0000F8, 0x0023F1}), got);
    midiOutClose(out2);
}

// Whole messages fill the queued buffers; broken ones come back as errors, never as data (the
// callback queues its buffer again).
TEST_F(Driver, LongMessagesArriveWholeAcrossQueuedBuffersAndBrokenOnesAsErrors) {
    Queue(2);
    midiInStart(in1_);
    Bytes sent(2000);
    for (size_t i = 1; i + 1 < sent.size(); ++i)
        sent[i] = uint8_t(i % 0x7F);
    sent.front() = 0xF0;
    sent.back() = 0xF7;
    SendLong(out1_, sent);
    auto got = WaitFor(rec1_, 2);
    ASSERT_EQ(2u, got.size());
    EXPECT_EQ(UINT(MIM_LONGDATA), got[0].Message);
    EXPECT_EQ(1024u, got[0].Data.size());
    Bytes joined = got[0].Data;
    joined.insert(joined.end(), got[1].Data.begin(), got[1].Data.end());
    EXPECT_EQ(sent, joined);
    EXPECT_TRUE(headers_[0].dwFlags & MHDR_DONE);
    EXPECT_FALSE(headers_[0].dwFlags & MHDR_INQUEUE);

    rec1_.Requeue = true;
    Queue(1);
    SendLong(out1_, {0xF0, 0x63, 0x60, 0x7B, 0x90, 0x3C, 0x40});
    SendLong(out1_, {0xF0, 0x01, 0xF7});
    got = WaitFor(rec1_, 4);
    ASSERT_EQ(4u, got.size());
    EXPECT_EQ(UINT(MIM_LONGERROR), got[2].Message);
    EXPECT_EQ(Bytes({0xF0, 0x63, 0x60, 0x7B}), got[2].Data);
    EXPECT_EQ(UINT(MIM_LONGDATA), got[3].Message);
    EXPECT_EQ(Bytes({0xF0, 0x01, 0xF7}), got[3].Data);
}

TEST_F(Driver, ResetReturnsQueuedBuffers) {
    Queue(2);
    EXPECT_EQ(MIDIERR_STILLPLAYING, midiInAddBuffer(in1_, &headers_[0], sizeof(MIDIHDR)));
    EXPECT_EQ(MMSYSERR_NOERROR, midiInReset(in1_));
    auto got = WaitFor(rec1_, 2);
    ASSERT_EQ(2u, got.size());
    for (const Event& e : got) {
        EXPECT_EQ(UINT(MIM_LONGDATA), e.Message);
        EXPECT_TRUE(e.Data.empty());
    }
    EXPECT_TRUE(headers_[1].dwFlags & MHDR_DONE);
    MIDIHDR unprepared = Header(buffers_[0], 16);
    EXPECT_EQ(MIDIERR_UNPREPARED, midiInAddBuffer(in1_, &unprepared, sizeof unprepared));
    // Unpreparing a header that is not prepared succeeds, whatever its other flags say.
    unprepared.dwFlags = MHDR_INQUEUE | MHDR_DONE;
    EXPECT_EQ(MMSYSERR_NOERROR, midiInUnprepareHeader(in1_, &unprepared, sizeof unprepared));
    EXPECT_EQ(MMSYSERR_NOERROR, midiOutUnprepareHeader(out1_, &unprepared, sizeof unprepared));
    EXPECT_EQ(MMSYSERR_INVALPARAM, midiOutGetVolume(out1_, nullptr));

    // A close with a buffer queued is refused; Wine's winmm frees the handle all the same, so the
    // buffer comes back done and the port opens again.
    HMIDIIN in2 = nullptr;
    char data[16];
    MIDIHDR h = Header(data, sizeof data);
    ASSERT_EQ(MMSYSERR_NOERROR, midiInOpen(&in2, 2, 0, 0, CALLBACK_NULL));
    ASSERT_EQ(MMSYSERR_NOERROR, midiInPrepareHeader(in2, &h, sizeof h));
    ASSERT_EQ(MMSYSERR_NOERROR, midiInAddBuffer(in2, &h, sizeof h));
    EXPECT_EQ(MIDIERR_STILLPLAYING, midiInClose(in2));
    EXPECT_EQ(DWORD(MHDR_PREPARED | MHDR_DONE), h.dwFlags);
    ASSERT_EQ(MMSYSERR_NOERROR, midiInOpen(&in2, 2, 0, 0, CALLBACK_NULL));
    EXPECT_EQ(MMSYSERR_NOERROR, midiInClose(in2));

    // The same for an output port closed while another thread sends a long message on it.
    Bytes big(1 << 20, 0x11);
    MIDIHDR out = Header(big.data(), big.size());
    ASSERT_EQ(MMSYSERR_NOERROR, midiOutPrepareHeader(out1_, &out, sizeof out));
    std::thread sender([&] { midiOutLongMsg(out1_, &out, sizeof out); });
    Sleep(2);
    MMRESULT closed = midiOutClose(out1_);
    sender.join();
    EXPECT_TRUE(closed == MIDIERR_STILLPLAYING || closed == MMSYSERR_NOERROR) << closed;
    EXPECT_EQ(MMSYSERR_NOERROR, midiOutOpen(&out1_, 0, 0, 0, CALLBACK_NULL));
}

} // namespace
