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
    MIDIHDR Header;
    Send* Next;
    uint8_t Bytes[1];
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
    MIDIHDR& h = g_MidiLink.InputHeader;
    std::memset(g_MidiLink.InputBuffer, 0, sizeof g_MidiLink.InputBuffer);
    h.lpData = reinterpret_cast<LPSTR>(g_MidiLink.InputBuffer);
    h.dwBufferLength = LINK_INPUT_BUFFER;
    midiInAddBuffer(input, &h, sizeof h);
}

// Unprepares and frees the sends the port has finished with (all of them with `all`, after the
// port was reset).
void ReapSends(bool all) {
    for (Send** link = &s_inFlight; *link;) {
        Send* s = *link;
        if (!all && !(s->Header.dwFlags & MHDR_DONE)) {
            link = &s->Next;
            continue;
        }
        if (g_MidiLink.FirstOutput &&
            midiOutUnprepareHeader(g_MidiLink.FirstOutput, &s->Header, sizeof s->Header) ==
                MIDIERR_STILLPLAYING) {
            link = &s->Next;
            continue;
        }
        *link = s->Next;
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
        if (header && (header->dwFlags & MHDR_PREPARED) &&
            midiInUnprepareHeader(in, header, sizeof *header) == MIDIERR_STILLPLAYING)
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
            if (g_MidiLink.InputBuffer[0] == 0xF0)
                DecodeLongMessage(g_MidiLink.InputBuffer, g_MidiLink.InputHeader.dwBytesRecorded);
            [[fallthrough]];
        case MIM_LONGERROR:
            if (!g_MidiLink.Closing.load())
                QueueInputBuffer(input);
            break;
        default:
            break;
    }
}

int MidiLinkOpen() {
    MidiLink& l = g_MidiLink;
    ProtocolSetTransport(MidiLinkSendLong, PostToWindow);
    l.Closing = 0;

    UINT inputs = midiInGetNumDevs();
    if (inputs < 1)
        return 1;
    UINT first = 0, second = 0;
    int found = FindPorts(inputs, IsLinkInput, first, second);
    if (found == 0)
        return 1;
    auto proc = reinterpret_cast<DWORD_PTR>(MidiLinkInputProc);
    if (midiInOpen(&l.FirstInput, first, proc, 0, CALLBACK_FUNCTION) != MMSYSERR_NOERROR) {
        l.FirstInput = nullptr;
        return 1;
    }
    std::memset(&l.InputHeader, 0, sizeof l.InputHeader);
    std::memset(l.InputBuffer, 0, sizeof l.InputBuffer);
    l.InputHeader.lpData = reinterpret_cast<LPSTR>(l.InputBuffer);
    l.InputHeader.dwBufferLength = LINK_INPUT_BUFFER;
    midiInPrepareHeader(l.FirstInput, &l.InputHeader, sizeof l.InputHeader);
    midiInAddBuffer(l.FirstInput, &l.InputHeader, sizeof l.InputHeader);
    midiInStart(l.FirstInput);
    if (found == 2) {
        if (midiInOpen(&l.SecondInput, second, proc, 0, CALLBACK_FUNCTION) == MMSYSERR_NOERROR)
            midiInStart(l.SecondInput);
        else
            l.SecondInput = nullptr;
    }

    UINT outputs = midiOutGetNumDevs();
    if (outputs < 1)
        return 1;
    found = FindPorts(outputs, IsLinkOutput, first, second);
    if (found == 0)
        return 1;
    if (midiOutOpen(&l.FirstOutput, first, 0, 0, CALLBACK_NULL) != MMSYSERR_NOERROR) {
        l.FirstOutput = nullptr;
        return 1;
    }
    if (found == 2 && midiOutOpen(&l.SecondOutput, second, 0, 0, CALLBACK_NULL) != 0)
        l.SecondOutput = nullptr;
    return 0;
}

void MidiLinkClose() {
    MidiLink& l = g_MidiLink;
    l.Closing = 1; // before any reset: the returned input buffer is not queued again
    if (l.FirstOutput && CloseOutput(l.FirstOutput, true)) {
        l.FirstOutput = nullptr;
        ReapSends(true); // the port is gone: nothing it held is in use any more
    }
    if (l.SecondOutput && CloseOutput(l.SecondOutput, false))
        l.SecondOutput = nullptr;
    if (l.FirstInput && CloseInput(l.FirstInput, &l.InputHeader))
        l.FirstInput = nullptr;
    if (l.SecondInput && CloseInput(l.SecondInput, nullptr))
        l.SecondInput = nullptr;
}

void MidiLinkSendLong(const uint8_t* bytes, uint32_t count) {
    HMIDIOUT out = g_MidiLink.FirstOutput;
    if (!out || !bytes || count == 0)
        return;
    ReapSends(false);
    auto* s = static_cast<Send*>(std::calloc(1, sizeof(Send) + count));
    if (!s)
        return;
    std::memcpy(s->Bytes, bytes, count);
    s->Header.lpData = reinterpret_cast<LPSTR>(s->Bytes);
    s->Header.dwBufferLength = count;
    s->Header.dwBytesRecorded = count;
    midiOutPrepareHeader(out, &s->Header, sizeof s->Header);
    midiOutLongMsg(out, &s->Header, sizeof s->Header);
    s->Next = s_inFlight;
    s_inFlight = s;
    ReapSends(false);
}

int MidiLinkSendsInFlight() {
    int n = 0;
    for (Send* s = s_inFlight; s; s = s->Next)
        ++n;
    return n;
}
