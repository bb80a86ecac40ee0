// Any byte stream from the serial line: the parser must stay inside its buffers, hand out only
// well-formed pieces and lose nothing for a client that keeps up.
#include "core/testing/parser_rig.h"

#include <cstdlib>

namespace {

void Check(bool ok) {
    if (!ok)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    varlo_test::ParserRig rig;
    DdClient* idle = rig.AddClient(false);
    DdClient* reader = rig.AddClient();
    rig.AddClient(); // never reads: its buffers fill and stay full
    // The first byte picks the read size, so runs end at every kind of place. A byte yields at
    // most two buffers (events cut short by a System Exclusive piece), so reads of up to three
    // bytes never overrun the reader's seven buffers.
    size_t chunk = 1 + data[0] % 3;
    bool inSysEx[2] = {false, false}; // per port: a message's later pieces
    for (size_t at = 1; at < size; at += chunk) {
        size_t n = std::min(chunk, size - at);
        rig.Feed(data + at, n, (ULONG)(at / chunk) & 1);
        for (const varlo_test::Piece& p : rig.Drain(reader)) {
            Check(p.type >= DD_BUF_SYSEX_PART && p.type <= DD_BUF_EVENTS);
            Check(p.data.size() <= DD_MIDI_DATA_BYTES && p.port <= 1);
            if (p.type == DD_BUF_EVENTS) {
                Check(!p.data.empty() && p.data.size() % 4 == 0 && p.cable == 0);
                for (ULONG e : p.Events())
                    Check((e & 0x80) && (e & 0xFF) != 0xFE && (e & 0x00808000) == 0);
                continue;
            }
            // A message's first piece starts with F0; only its end carries F7.
            Check(inSysEx[p.port] || (!p.data.empty() && p.data[0] == 0xF0));
            for (size_t i = inSysEx[p.port] ? 0 : 1; i < p.data.size(); i++)
                Check(p.data[i] < 0x80 ||
                      (p.type == DD_BUF_SYSEX_END && i + 1 == p.data.size() && p.data[i] == 0xF7));
            if (p.type == DD_BUF_SYSEX_END)
                Check(p.data.back() == 0xF7);
            inSysEx[p.port] = p.type == DD_BUF_SYSEX_PART;
        }
    }
    Check(rig.Drain(idle).empty());
    return 0;
}
