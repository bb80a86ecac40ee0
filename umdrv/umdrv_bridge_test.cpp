// The driver's bridge channel under Wine, against the stand-in device host with the loopback
// device behind it: ports in the standard layout, traffic over two bridge connections per
// session, sessions opened again after the last close.
#include <windows.h>
#include <mmsystem.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// Points the driver at the stand-in host before winmm loads it.
class BridgePort : public ::testing::Environment {
public:
    void SetUp() override {
        const char* file = std::getenv("VARLO_BRIDGE_PORT_FILE");
        ASSERT_NE(nullptr, file);
        FILE* f = std::fopen(("Z:" + std::string(file)).c_str(), "r");
        ASSERT_NE(nullptr, f) << file;
        unsigned port = 0;
        ASSERT_EQ(1, std::fscanf(f, "%u", &port));
        std::fclose(f);
        SetEnvironmentVariableA("VARLO_BRIDGE_PORT", std::to_string(port).c_str());
        SetEnvironmentVariableA("VARLO_UMDRV_CHANNEL", nullptr);
        SetEnvironmentVariableA("VARLO_UMDRV_INPUTS", nullptr);
        SetEnvironmentVariableA("VARLO_UMDRV_OUTPUTS", nullptr);
    }
};
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new BridgePort);

struct Recorder {
    std::mutex Lock;
    std::vector<std::pair<UINT, Bytes>> Events; // MIM_DATA carries the packed message bytes
};

void CALLBACK InputProc(HMIDIIN in, UINT message, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR) {
    auto* r = reinterpret_cast<Recorder*>(instance);
    Bytes data;
    if (message == MIM_DATA) {
        data = {uint8_t(p1), uint8_t(p1 >> 8), uint8_t(p1 >> 16)};
    } else if (message == MIM_LONGDATA || message == MIM_LONGERROR) {
        auto* h = reinterpret_cast<MIDIHDR*>(p1);
        data.assign(h->lpData, h->lpData + h->dwBytesRecorded);
        if (h->dwBytesRecorded)
            midiInAddBuffer(in, h, sizeof *h);
    } else {
        return;
    }
    std::lock_guard<std::mutex> hold(r->Lock);
    r->Events.emplace_back(message, data);
}

std::vector<std::pair<UINT, Bytes>> WaitFor(Recorder& r, size_t count, DWORD wait = 3000) {
    DWORD until = GetTickCount() + wait;
    for (;;) {
        {
            std::lock_guard<std::mutex> hold(r.Lock);
            if (r.Events.size() >= count || int(until - GetTickCount()) <= 0)
                return r.Events;
        }
        Sleep(5);
    }
}

TEST(Bridge, StandardLayoutPresentsTheInterfaceCables) {
    EXPECT_EQ(3u, midiInGetNumDevs());
    EXPECT_EQ(5u, midiOutGetNumDevs());
    MIDIOUTCAPSA caps = {};
    midiOutGetDevCapsA(4, &caps, sizeof caps);
    EXPECT_EQ(219, caps.wMid);
    EXPECT_EQ(3, caps.wPid);
    EXPECT_STREQ("Varlo Out 5", caps.szPname);
}

TEST(Bridge, ShortAndLongMessagesMakeTheRoundTrip) {
    for (int session = 0; session < 2; ++session) {
        Recorder rec;
        HMIDIIN in = nullptr;
        HMIDIOUT out = nullptr;
        ASSERT_EQ(MMSYSERR_NOERROR,
                  midiInOpen(&in, 0, reinterpret_cast<DWORD_PTR>(InputProc),
                             reinterpret_cast<DWORD_PTR>(&rec), CALLBACK_FUNCTION));
        ASSERT_EQ(MMSYSERR_NOERROR, midiOutOpen(&out, 0, 0, 0, CALLBACK_NULL));
        static uint8_t buffer[512];
        MIDIHDR hdr = {};
        hdr.lpData = reinterpret_cast<LPSTR>(buffer);
        hdr.dwBufferLength = sizeof buffer;
        midiInPrepareHeader(in, &hdr, sizeof hdr);
        midiInAddBuffer(in, &hdr, sizeof hdr);
        midiInStart(in);
        // The open returns once the session's first read waits in the host: what is sent
        // right away comes back.

        midiOutShortMsg(out, 0x403C90);
        Bytes sysex(300, 0x22);
        sysex.front() = 0xF0;
        sysex.back() = 0xF7;
        MIDIHDR outHdr = {};
        outHdr.lpData = reinterpret_cast<LPSTR>(sysex.data());
        outHdr.dwBufferLength = DWORD(sysex.size());
        midiOutPrepareHeader(out, &outHdr, sizeof outHdr);
        EXPECT_EQ(MMSYSERR_NOERROR, midiOutLongMsg(out, &outHdr, sizeof outHdr));
        midiOutUnprepareHeader(out, &outHdr, sizeof outHdr);

        auto got = WaitFor(rec, 2);
        ASSERT_EQ(2u, got.size()) << "session " << session;
        EXPECT_EQ(UINT(MIM_DATA), got[0].first);
        EXPECT_EQ(Bytes({0x90, 0x3C, 0x40}), got[0].second);
        EXPECT_EQ(UINT(MIM_LONGDATA), got[1].first);
        EXPECT_EQ(sysex, got[1].second);

        midiInStop(in);
        midiInReset(in);
        midiInUnprepareHeader(in, &hdr, sizeof hdr);
        EXPECT_EQ(MMSYSERR_NOERROR, midiInClose(in));
        EXPECT_EQ(MMSYSERR_NOERROR, midiOutClose(out));
    }
}

} // namespace
