// The MIDI port link: finds the interface's ports among the system's MIDI ports (wMid 219,
// wPid 3), keeps one 1024-byte buffer queued on the first input for System Exclusive replies,
// hands what arrives to the protocol decoders and sends the protocol's messages.
//
// Open, close and send run on the user-interface thread. The input callback runs on a thread of
// the multimedia system; it touches only the input buffer and its header, the closing flag and
// the protocol's decoder state. No locks.
#pragma once

#include <windows.h>
#include <mmsystem.h>

#include <atomic>
#include <cstdint>

inline constexpr uint16_t LINK_MID = 219;
inline constexpr uint16_t LINK_PID = 3;
inline constexpr uint32_t LINK_INPUT_BUFFER = 1024;

struct MidiLink {
    HMIDIIN firstInput;
    HMIDIIN secondInput;
    HMIDIOUT firstOutput;  // all sending goes here
    HMIDIOUT secondOutput; // opened, reset and closed, never sent to
    std::atomic<int32_t> closing;
    MIDIHDR inputHeader;
    uint8_t inputBuffer[LINK_INPUT_BUFFER];
};
extern MidiLink g_MidiLink;

// 0 on success, 1 on failure; a failure leaves open what was opened, for MidiLinkClose. Also
// makes the link the protocol's transport (sends and posted messages).
int MidiLinkOpen();
// Closing flag first, then outputs, then inputs. A port whose driver still holds a buffer is
// reset and asked again a few times (at most about 0.1 s per port); one that still refuses stays
// remembered as open, so that the next call tries again. A second call finds nothing open.
void MidiLinkClose();
// One complete System Exclusive message on the first output; dropped when it is not open. The
// bytes are copied: the caller's buffer is free on return.
void MidiLinkSendLong(const uint8_t* bytes, uint32_t count);
// Sent messages the first output has not yet returned.
int MidiLinkSendsInFlight();

// The function registered with both inputs (multimedia callback thread).
void CALLBACK MidiLinkInputProc(HMIDIIN input, UINT message, DWORD_PTR instance, DWORD_PTR param1,
                                DWORD_PTR param2);
