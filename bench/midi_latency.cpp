// A Win32 program's view of input latency: a byte the interface model sends until the MIM_DATA
// callback of the first Varlo input port, through the device host, the bridge, the user-mode MIDI
// driver and the multimedia layer (under Wine on this machine).
//
//   midi_latency.exe [SAMPLES]     environment: VARLO_BRIDGE_PORT, VARLO_BRIDGE_TOKEN_FILE
//
// The model is told to send over a second bridge connection in the model role, so each sample
// also holds that request's way to the host (one loopback hop). Prints median and 99th percentile.
#include <winsock2.h>

#include <windows.h>

#include <mmsystem.h>

#include "../bridge/bridge_frames.h"
#include "../bridge/bridge_token.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

LARGE_INTEGER g_frequency;
HANDLE g_arrived;
volatile LONGLONG g_arrivedAt;

LONGLONG Now() {
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return t.QuadPart;
}

void CALLBACK OnInput(HMIDIIN, UINT message, DWORD_PTR, DWORD_PTR data, DWORD_PTR) {
    if (message == MIM_DATA && (data & 0xFF) == 0xF8) {
        g_arrivedAt = Now();
        SetEvent(g_arrived);
    }
}

int Fail(const char* what) {
    std::fprintf(stderr, "midi_latency: %s\n", what);
    return 1;
}

bool SendFrame(SOCKET s, bridge::FrameType type, uint32_t tag, const std::vector<uint8_t>& body) {
    std::vector<uint8_t> frame(bridge::kHeaderSize);
    bridge::EncodeHeader({uint32_t(body.size()), type, 0, tag}, frame.data());
    frame.insert(frame.end(), body.begin(), body.end());
    return send(s, reinterpret_cast<const char*>(frame.data()), int(frame.size()), 0) ==
           int(frame.size());
}

// Reads one whole frame (its payload is not needed).
bool ReceiveFrame(SOCKET s) {
    uint8_t header[bridge::kHeaderSize];
    bridge::FrameHeader h;
    for (int got = 0; got < int(sizeof header);) {
        int n = recv(s, reinterpret_cast<char*>(header) + got, int(sizeof header) - got, 0);
        if (n <= 0)
            return false;
        got += n;
    }
    if (!bridge::DecodeHeader(header, h))
        return false;
    std::vector<char> body(h.PayloadLength + 1);
    for (uint32_t got = 0; got < h.PayloadLength;) {
        int n = recv(s, body.data() + got, int(h.PayloadLength - got), 0);
        if (n <= 0)
            return false;
        got += uint32_t(n);
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    int samples = argc > 1 ? std::atoi(argv[1]) : 1000;
    const char* portText = std::getenv("VARLO_BRIDGE_PORT");
    const char* tokenFile = std::getenv("VARLO_BRIDGE_TOKEN_FILE");
    std::string token, error;
    if (!portText || !tokenFile ||
        !bridge::ReadTokenFile(std::string(tokenFile[0] == '/' ? "Z:" : "") + tokenFile, token,
                               error))
        return Fail("needs VARLO_BRIDGE_PORT and a readable VARLO_BRIDGE_TOKEN_FILE");
    QueryPerformanceFrequency(&g_frequency);
    g_arrived = CreateEventA(nullptr, FALSE, FALSE, nullptr);

    // The first Varlo input port carries cable 0, where the model's unselected bytes arrive.
    UINT device = UINT(-1);
    for (UINT i = 0; i < midiInGetNumDevs() && device == UINT(-1); i++) {
        MIDIINCAPSA caps;
        if (midiInGetDevCapsA(i, &caps, sizeof caps) == MMSYSERR_NOERROR && caps.wMid == 219 &&
            caps.wPid == 3)
            device = i;
    }
    HMIDIIN in = nullptr;
    if (device == UINT(-1) ||
        midiInOpen(&in, device, DWORD_PTR(OnInput), 0, CALLBACK_FUNCTION) != MMSYSERR_NOERROR ||
        midiInStart(in) != MMSYSERR_NOERROR)
        return Fail("no Varlo input port opens");

    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    BOOL noDelay = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay),
               sizeof noDelay);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(u_short(std::atoi(portText)));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::vector<uint8_t> hello(bridge::kHelloHeadSize);
    bridge::PutU32(hello.data(), bridge::kMagic);
    bridge::PutU32(hello.data() + 4, uint32_t(bridge::Role::Model));
    hello.insert(hello.end(), token.begin(), token.end());
    if (connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        !SendFrame(s, bridge::FrameType::Hello, 0, hello) || !ReceiveFrame(s))
        return Fail("the device host does not take the model connection");

    // A clock tick from the model on serial port 1; the first ones until one arrives at all.
    std::vector<uint8_t> tick(4);
    bridge::PutU32(tick.data(), 1);
    tick.push_back(0xF8);
    std::vector<double> waits;
    for (int i = 0, lost = 0; int(waits.size()) < samples && lost < 50; i++) {
        Sleep(2);
        LONGLONG sent = Now();
        if (!SendFrame(s, bridge::FrameType::ModelSend, uint32_t(i + 1), tick) || !ReceiveFrame(s))
            return Fail("the model connection ended");
        if (WaitForSingleObject(g_arrived, 1000) != WAIT_OBJECT_0) {
            lost++;
            continue;
        }
        if (i >= 5) // the first read of the driver has to wait before input reaches it
            waits.push_back(double(g_arrivedAt - sent) * 1e6 / double(g_frequency.QuadPart));
    }
    midiInStop(in);
    midiInReset(in);
    midiInClose(in);
    closesocket(s);
    if (int(waits.size()) < samples)
        return Fail("ticks did not arrive");
    std::sort(waits.begin(), waits.end());
    std::printf(
        "latency  model byte -> MIM_DATA callback of a Win32 program (Wine, bridge, user-mode "
        "MIDI driver): median %.0f us, p99 %.0f us (%d samples)\n",
        waits[waits.size() / 2], waits[waits.size() * 99 / 100], samples);
    return 0;
}
