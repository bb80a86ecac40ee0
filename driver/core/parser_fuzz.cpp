// Any byte stream from the serial line: the parser must stay inside its buffers, hand out only
// well-formed pieces, deliver every real-time byte to a client that keeps up, in order, hand that
// client the same whether the bytes come in large reads or small ones, and hold no pool once the
// ports are reset. One rig with its clients lives across inputs; what they get is kept as a digest.
#include "core/testing/parser_rig.h"

#include <ks/system.h>

#include <cstdlib>

namespace {

void Check(bool ok) {
    if (!ok)
        std::abort();
}

// Order-sensitive digest of a sequence, cheaper than keeping it: every step is one-to-one.
void Mix(uint64_t& digest, uint64_t value) {
    digest = (digest ^ value) * 0x9E3779B97F4A7C15ull;
    digest ^= digest >> 29;
}

struct Harness {
    varlo_test::ParserRig rig;
    DdClient* idle = rig.AddClient(false);
    DdClient* reader = rig.AddClient();
    DdClient* full = rig.AddClient(); // never reads: its buffers fill and stay full
    size_t poolAtRest = ks::PoolBlocks(DD_POOL_TAG);
    uint64_t realTimeSent, realTimeGot; // digests of the real-time bytes in and out
    bool inSysEx[2] = {false, false};   // per port: a message's later pieces are due
    bool sysExKnown[2] = {true, true};  // false after a piece may have been lost
    uint64_t got;                       // what the reader was handed, buffer borders left out
    ULONG events;                       // events the reader was handed by the last read
    bool manyEvents;                    // a read of the last run handed it a batch's worth
};

// One buffer as a read would hand it out.
void CheckPiece(Harness& h, const DdMidiBuffer* b) {
    const UCHAR* data = b->Data;
    ULONG length = b->Length, port = b->Port;
    Check(b->Type >= DD_BUF_SYSEX_PART && b->Type <= DD_BUF_EVENTS);
    Check(length <= DD_MIDI_DATA_BYTES && port <= 1);
    if (b->Type == DD_BUF_EVENTS) {
        Check(length > 0 && length % 4 == 0 && b->Cable == 0);
        h.events += length / 4;
        for (ULONG i = 0; i < length; i += 4) {
            ULONG e = data[i] | data[i + 1] << 8 | data[i + 2] << 16 | (ULONG)data[i + 3] << 24;
            Check((e & 0x80) && (e & 0xFF) != 0xFE && (e & 0x00808000) == 0);
            Mix(h.got, uint64_t(port) << 32 | e);
            if ((e & 0xFF) >= 0xF8)
                Mix(h.realTimeGot, (e & 0xFF) | port << 8);
        }
        return;
    }
    Mix(h.got, 1ull << 40 | b->Type << 16 | port << 8 | b->Cable);
    for (ULONG i = 0; i < length; i++)
        Mix(h.got, uint64_t(port) << 32 | data[i]);
    // A message's first piece starts with F0; only its end carries F7.
    bool first = !h.inSysEx[port] && h.sysExKnown[port];
    Check(!first || (length > 0 && data[0] == 0xF0));
    for (ULONG i = first || !h.sysExKnown[port] ? 1 : 0; i < length; i++)
        Check(data[i] < 0x80 ||
              (b->Type == DD_BUF_SYSEX_END && i + 1 == length && data[i] == 0xF7));
    if (b->Type == DD_BUF_SYSEX_END)
        Check(length > 0 && data[length - 1] == 0xF7);
    h.inSysEx[port] = b->Type == DD_BUF_SYSEX_PART;
    h.sysExKnown[port] = h.sysExKnown[port] || !h.inSysEx[port];
}

// Takes every buffer the client has, checking each when asked. Answers how many there were.
ULONG Take(Harness& h, DdClient* client, bool check) {
    if (!client->Current && !client->ReadyHead)
        return 0; // nothing arrived (one feeding thread: no lock needed to see it)
    ExAcquireFastMutex(&h.rig.ext.ClientLock);
    FreeCurrentMidiBuffer(client);
    DdMidiBuffer* got[DD_CLIENT_BUFFERS];
    ULONG taken = 0;
    while (DdMidiBuffer* b = DdClientTakeReady(client))
        got[taken++] = b;
    for (ULONG i = 0; i < taken; i++) {
        if (check)
            CheckPiece(h, got[i]);
        DdClientPutFree(client, got[i]);
    }
    if (taken == DD_CLIENT_BUFFERS) // the run may have lost pieces after these
        h.sysExKnown[0] = h.sysExKnown[1] = false;
    ExReleaseFastMutex(&h.rig.ext.ClientLock);
    return taken;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    static Harness& h = *new Harness; // lives as long as the fuzzing process
    h.realTimeSent = h.realTimeGot = 0;
    // The first byte picks the read size, so runs end at every kind of place, and event batches
    // fill exactly, or several times in one read. A read costs far more than a byte: an input
    // takes at most 32 of them. The reader takes its buffers after every run; it keeps up
    // unless one run filled all of them, and only then may it lose something.
    size_t picked = data[0] & 0x80 ? 64 + (data[0] & 0x7F) * 3 : 1 + data[0] % 64;
    size_t chunk = std::max(picked, size / 32);
    auto run = [&](size_t readSize) {
        h.got = 0;
        bool keptUp = true;
        h.manyEvents = false;
        for (size_t at = 1, n; at < size; at += n) {
            n = std::min({readSize, size - at, chunk - (at - 1) % chunk}); // one port a read
            h.rig.Feed(data + at, n, ULONG((at - 1) / chunk) & 1);
            h.events = 0;
            keptUp = Take(h, h.reader, true) < DD_CLIENT_BUFFERS && keptUp;
            h.manyEvents = h.manyEvents || h.events >= 64;
        }
        Take(h, h.full, false);
        h.rig.ResetPorts();
        h.inSysEx[0] = h.inSysEx[1] = false;
        h.sysExKnown[0] = h.sysExKnown[1] = true;
        return keptUp;
    };
    for (size_t i = 1; i < size; i++)
        if (data[i] >= 0xF8 && data[i] != 0xFE)
            Mix(h.realTimeSent, data[i] | (ULONG((i - 1) / chunk) & 1) << 8);
    bool keptUp = run(chunk);
    Check(!keptUp || h.realTimeGot == h.realTimeSent);
    // Again in smaller reads, and the same must come out: short inputs one byte a read; where a
    // read may have filled a batch of events (64), reads cut into pieces of at most 63 bytes,
    // which never do, so a fault at a batch's end shows. That costs a quarter of the rate: only
    // inputs of odd length pay it (mutation gives a stream both lengths).
    uint64_t batched = h.got;
    size_t pieces = (chunk + 62) / 63;
    size_t again = size <= 32                 ? 1
                   : h.manyEvents && size % 2 ? (chunk + pieces - 1) / pieces
                                              : chunk;
    Check(again == chunk || !run(again) || !keptUp || h.got == batched);
    Check(!h.idle->Current && !h.idle->ReadyHead); // one feeding thread: seen without the lock
    // Back to the start for the next input: nothing may be left in pool.
    Check(ks::PoolBlocks(DD_POOL_TAG) == h.poolAtRest);
    return 0;
}
