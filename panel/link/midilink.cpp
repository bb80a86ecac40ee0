// The MIDI port link (see midilink.h).
#include "link/midilink.h"

#include "link/protocol.h"

#include <cstdlib>
#include <cstring>

MidiLink g_MidiLink;

namespace {

// A sent message with the header the output port holds until it marks it done. Only the
// user-interface thread touches the list.
struct Send {
    MIDIHDR header;
    Send* next;
    uint8_t bytes[1];
};
Send* s_inFlight;

void PostToWindow(uintptr_t window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    PostMessageA(reinterpret_cast<HWND>(window), message, wParam, lParam);
}

bool IsLinkInput(UINT index) {
    MIDIINCAPSA caps = {};
    midiInGetDevCapsA(index, &caps, sizeof caps);
    return caps.wMid == LINK_MID && caps.wPid == LINK_PID;
}

bool IsLinkOutput(UINT index) {
    MIDIOUTCAPSA caps = {};
    midiOutGetDevCapsA(index, &caps, sizeof caps);
    return caps.wMid == LINK_MID && caps.wPid == LINK_PID;
}

// The first and second matching ports in index order; the scan stops at the second.
template <typename Match>
int FindPorts(UINT count, Match match, UINT& first, UINT& second) {
    int found = 0;
    for (UINT i = 0; i < count && found < 2; ++i)
        if (match(i))
            (found++ == 0 ? first : second) = i;
    return found;
}

void QueueInputBuffer(HMIDIIN input) {
    MIDIHDR& h = g_MidiLink.inputHeader;
    std::memset(g_MidiLink.inputBuffer, 0, sizeof g_MidiLink.inputBuffer);
    h.lpData = reinterpret_cast<LPSTR>(g_MidiLink.inputBuffer);
    h.dwBufferLength = LINK_INPUT_BUFFER;
    midiInAddBuffer(input, &h, sizeof h);
}

// Unprepares and frees the sends the port has finished with (all of them with `all`, after the
// port was reset).
void ReapSends(bool all) {
    for (Send** link = &s_inFlight; *link;) {
        Send* s = *link;
        if (!all && !(s->header.dwFlags & MHDR_DONE)) {
            link = &s->next;
            continue;
        }
        if (g_MidiLink.firstOutput &&
            midiOutUnprepareHeader(g_MidiLink.firstOutput, &s->header, sizeof s->header) ==
                MIDIERR_STILLPLAYING) {
            link = &s->next;
            continue;
        }
        *link = s->next;
        std::free(s);
    }
}

// A port whose driver still holds a buffer after a reset refuses to close (MIDIERR_STILLPLAYING):
// it is reset and asked again, a bounded number of times, so that the program never waits for
// long on a driver that has hung. Any other answer ends the tries: the handle is then closed or
// no longer valid (some winmm versions free it even when the driver refused).
constexpr int kCloseAttempts = 4;
constexpr DWORD kCloseRetryMs = 25;

// Resets, returns the sends it holds (the first output) and closes an output. False while the
// driver still refuses: the handle stays open and remembered, for a later close.
bool CloseOutput(HMIDIOUT out, bool first) {
    for (int attempt = 0; attempt < kCloseAttempts; ++attempt) {
        if (attempt > 0)
            Sleep(kCloseRetryMs);
        midiOutReset(out);
        if (first)
            ReapSends(true);
        if (midiOutClose(out) != MIDIERR_STILLPLAYING)
            return true;
    }
    return false;
}

// Stops, resets, unprepares the link's header (when given) and closes an input, as above.
bool CloseInput(HMIDIIN in, MIDIHDR* header) {
    for (int attempt = 0; attempt < kCloseAttempts; ++attempt) {
        if (attempt > 0)
            Sleep(kCloseRetryMs);
        midiInStop(in);
        midiInReset(in);
        if (header && midiInUnprepareHeader(in, header, sizeof *header) == MIDIERR_STILLPLAYING)
            continue;
        if (midiInClose(in) != MIDIERR_STILLPLAYING)
            return true;
    }
    return false;
}

} // namespace

void CALLBACK MidiLinkInputProc(HMIDIIN input, UINT message, DWORD_PTR, DWORD_PTR param1,
                                DWORD_PTR) {
    switch (message) {
        case MIM_DATA:
            DecodeShortMessage(uint32_t(param1));
            break;
        case MIM_LONGDATA:
            if (g_MidiLink.inputBuffer[0] == 0xF0)
                DecodeLongMessage(g_MidiLink.inputBuffer, g_MidiLink.inputHeader.dwBytesRecorded);
            [[fallthrough]];
        case MIM_LONGERROR:
            if (!g_MidiLink.closing.load())
                QueueInputBuffer(input);
            break;
        default:
            break;
    }
}

int MidiLinkOpen() {
    MidiLink& l = g_MidiLink;
    ProtocolSetTransport(MidiLinkSendLong, PostToWindow);
    l.closing = 0;

    UINT inputs = midiInGetNumDevs();
    if (inputs < 1)
        return 1;
    UINT first = 0, second = 0;
    int found = FindPorts(inputs, IsLinkInput, first, second);
    if (found == 0)
        return 1;
    auto proc = reinterpret_cast<DWORD_PTR>(MidiLinkInputProc);
    if (midiInOpen(&l.firstInput, first, proc, 0, CALLBACK_FUNCTION) != MMSYSERR_NOERROR) {
        l.firstInput = nullptr;
        return 1;
    }
    std::memset(&l.inputHeader, 0, sizeof l.inputHeader);
    std::memset(l.inputBuffer, 0, sizeof l.inputBuffer);
    l.inputHeader.lpData = reinterpret_cast<LPSTR>(l.inputBuffer);
    l.inputHeader.dwBufferLength = LINK_INPUT_BUFFER;
    midiInPrepareHeader(l.firstInput, &l.inputHeader, sizeof l.inputHeader);
    midiInAddBuffer(l.firstInput, &l.inputHeader, sizeof l.inputHeader);
    midiInStart(l.firstInput);
    if (found == 2) {
        if (midiInOpen(&l.secondInput, second, proc, 0, CALLBACK_FUNCTION) == MMSYSERR_NOERROR)
            midiInStart(l.secondInput);
        else
            l.secondInput = nullptr;
    }

    UINT outputs = midiOutGetNumDevs();
    if (outputs < 1)
        return 1;
    found = FindPorts(outputs, IsLinkOutput, first, second);
    if (found == 0)
        return 1;
    if (midiOutOpen(&l.firstOutput, first, 0, 0, CALLBACK_NULL) != MMSYSERR_NOERROR) {
        l.firstOutput = nullptr;
        return 1;
    }
    if (found == 2 && midiOutOpen(&l.secondOutput, second, 0, 0, CALLBACK_NULL) != 0)
        l.secondOutput = nullptr;
    return 0;
}

void MidiLinkClose() {
    MidiLink& l = g_MidiLink;
    l.closing = 1; // before any reset: the returned input buffer is not queued again
    if (l.firstOutput && CloseOutput(l.firstOutput, true)) {
        l.firstOutput = nullptr;
        ReapSends(true); // the port is gone: nothing it held is in use any more
    }
    if (l.secondOutput && CloseOutput(l.secondOutput, false))
        l.secondOutput = nullptr;
    if (l.firstInput && CloseInput(l.firstInput, &l.inputHeader))
        l.firstInput = nullptr;
    if (l.secondInput && CloseInput(l.secondInput, nullptr))
        l.secondInput = nullptr;
}

void MidiLinkSendLong(const uint8_t* bytes, uint32_t count) {
    HMIDIOUT out = g_MidiLink.firstOutput;
    if (!out || !bytes || count == 0)
        return;
    ReapSends(false);
    auto* s = static_cast<Send*>(std::calloc(1, sizeof(Send) + count));
    if (!s)
        return;
    std::memcpy(s->bytes, bytes, count);
    s->header.lpData = reinterpret_cast<LPSTR>(s->bytes);
    s->header.dwBufferLength = count;
    s->header.dwBytesRecorded = count;
    midiOutPrepareHeader(out, &s->header, sizeof s->header);
    midiOutLongMsg(out, &s->header, sizeof s->header);
    s->next = s_inFlight;
    s_inFlight = s;
    ReapSends(false);
}

int MidiLinkSendsInFlight() {
    int n = 0;
    for (Send* s = s_inFlight; s; s = s->next)
        ++n;
    return n;
}
