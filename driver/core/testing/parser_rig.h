// Test rig for the input parser: a device extension as the parser sees it (clients, an open port,
// one parse record per port, the input cable table) without device objects or serial ports.
// Reads are stood in for by taking the clients' filled buffers directly. Host tests, fuzzers and
// benchmarks; one thread feeds at a time.
#pragma once

#include "core/clients.h"
#include "core/parser.h"
#include "interface/varlo.h"

#include <algorithm>
#include <cstring>
#include <ostream>
#include <vector>

namespace varlo_test {

// One buffer as a read hands it out.
struct Piece {
    USHORT type, port, cable;
    std::vector<UCHAR> data;

    std::vector<ULONG> Events() const {
        std::vector<ULONG> events;
        for (size_t i = 0; i + 4 <= data.size(); i += 4)
            events.push_back(data[i] | data[i + 1] << 8 | data[i + 2] << 16 |
                             (ULONG)data[i + 3] << 24);
        return events;
    }
    bool operator==(const Piece&) const = default;
};

// Failing comparisons show a piece as its fields and its data in hex.
inline void PrintTo(const Piece& p, std::ostream* out) {
    *out << "{type " << p.type << " port " << p.port << " cable " << p.cable << std::hex;
    for (UCHAR b : p.data)
        *out << ' ' << int(b);
    *out << std::dec << '}';
}

struct ParserRig {
    DdExtension ext{};
    SmDevice device{}; // only its Extension: cable switches as on the interface
    DdInCableState inCables[6]{};
    DdTb tb[2]{};

    ParserRig() {
        ExInitializeFastMutex(&ext.ClientLock);
        ext.Info.Flags = DD_FLAG_IN_CABLES | DD_FLAG_CABLE_RESETS_STATUS;
        ext.Info.InCables = 3;
        ext.Info.MaxPorts = 2;
        ext.Info.ChangeCable = VrChangeCable;
        ext.InCableTable = inCables;
        device.Extension = &ext;
        ext.Context = &device;
        ext.OpenCount = 1;
        DdPrepareTb(&ext, &tb[0], 0);
        DdPrepareTb(&ext, &tb[1], 1);
    }
    ~ParserRig() {
        ExAcquireFastMutex(&ext.ClientLock);
        while (ext.Clients)
            ReleaseClient(ext.Clients);
        ExReleaseFastMutex(&ext.ClientLock);
        ResetPorts();
    }
    // The ports as just opened: parse state and every cable's System Exclusive buffer released.
    // The clients keep what they hold.
    void ResetPorts() {
        for (DdInCableState& cable : inCables) {
            DdReleaseSysExBuffer(&ext, &cable.SysExBuffer);
            cable = {};
        }
        for (ULONG port = 0; port < 2; port++) {
            DdReleaseTb(&ext, &tb[port]);
            DdPrepareTb(&ext, &tb[port], port);
        }
    }
    ParserRig(const ParserRig&) = delete;
    ParserRig& operator=(const ParserRig&) = delete;

    DdClient* AddClient(bool receiving = true) {
        ExAcquireFastMutex(&ext.ClientLock);
        DdClient* client = AllocateClient(&ext);
        if (client && receiving)
            client->Flags |= DD_CLIENT_RECEIVING;
        ExReleaseFastMutex(&ext.ClientLock);
        return client;
    }

    // Hands the bytes to the parser in reads of at most a full serial buffer.
    void Feed(const UCHAR* bytes, size_t size, ULONG port = 0) {
        for (size_t at = 0; at < size; at += DD_TB_BUFFER_SIZE) {
            size_t n = std::min<size_t>(DD_TB_BUFFER_SIZE, size - at);
            std::memcpy(tb[port].Buffer, bytes + at, n);
            tb[port].ReadIndex = 0;
            tb[port].EndIndex = (ULONG)n;
            ParseInputBuffer(&ext, &tb[port]);
        }
    }
    void Feed(const std::vector<UCHAR>& bytes, ULONG port = 0) {
        Feed(bytes.data(), bytes.size(), port);
    }

    // Everything the client has collected, oldest first.
    std::vector<Piece> Drain(DdClient* client) {
        std::vector<Piece> pieces;
        ExAcquireFastMutex(&ext.ClientLock);
        FreeCurrentMidiBuffer(client);
        while (DdMidiBuffer* b = DdClientTakeReady(client)) {
            pieces.push_back({b->Type, b->Port, b->Cable, {b->Data, b->Data + b->Length}});
            DdClientPutFree(client, b);
        }
        ExReleaseFastMutex(&ext.ClientLock);
        return pieces;
    }

    // Bytes of data the client has collected, its buffers returned; the cheap form for benchmarks.
    size_t Discard(DdClient* client) {
        size_t bytes = 0;
        ExAcquireFastMutex(&ext.ClientLock);
        while (DdMidiBuffer* b = DdClientTakeReady(client)) {
            bytes += b->Length;
            DdClientPutFree(client, b);
        }
        ExReleaseFastMutex(&ext.ClientLock);
        return bytes;
    }
};

} // namespace varlo_test
