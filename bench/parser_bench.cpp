// The input parser and its distribution (bytes in, events in one receiving client's buffers)
// beside alsa-lib's byte-stream encoder on the same streams. Reports ns/byte for both and the
// ratio alsa / ours (above 1: ours is faster), each the best of five repetitions in processor time.
#include "core/testing/parser_rig.h"

#include <alsa/asoundlib.h>
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

// Deterministic pseudo-random numbers, so both sides see the same stream every run.
struct Lcg {
    unsigned state = 12345;
    unsigned Next(unsigned range) {
        state = state * 1103515245u + 12345u;
        return (state >> 16) % range;
    }
};

constexpr size_t kStreamBytes = 64 * 1024;

// Note on/off pairs under running status, a new status now and then.
Bytes NoteStream() {
    Bytes s;
    Lcg rng;
    while (s.size() < kStreamBytes) {
        s.push_back((unsigned char)(0x90 | rng.Next(16)));
        for (int i = 0; i < 32; i++) {
            unsigned char note = (unsigned char)(36 + rng.Next(48));
            s.insert(s.end(), {note, 0x40, note, 0x00});
        }
    }
    return s;
}

// Running status, interleaved clock and active sensing, quarter frames, System Exclusive longer
// than a buffer, System Exclusive broken off, cable changes.
Bytes MixedStream() {
    Bytes s;
    Lcg rng;
    unsigned char cable = 1;
    while (s.size() < kStreamBytes) {
        switch (rng.Next(8)) {
            case 0:
                s.push_back(0xF0);
                for (int i = 0; i < 300; i++)
                    s.push_back((unsigned char)(i & 0x7F));
                s.push_back(0xF7);
                break;
            case 1:
                s.insert(s.end(), {0xF0, 0x41, 0x10, 0x42, 0x12});
                break; // broken off by whatever status comes next
            case 2:
                cable = (unsigned char)(cable % 3 + 1);
                s.insert(s.end(), {0xF5, cable});
                break;
            case 3:
                for (unsigned char piece = 0; piece < 8; piece++)
                    s.insert(s.end(), {0xF1, (unsigned char)(piece << 4 | rng.Next(16))});
                break;
            default:
                s.push_back((unsigned char)(0x90 | rng.Next(16)));
                for (int i = 0; i < 16; i++) {
                    unsigned char note = (unsigned char)(36 + rng.Next(48));
                    s.insert(s.end(), {note, 0x40});
                    if (rng.Next(4) == 0)
                        s.push_back(rng.Next(2) ? 0xF8 : 0xFE);
                    s.insert(s.end(), {note, 0x00});
                }
        }
    }
    return s;
}

// alsa-lib knows nothing of the interface's cable selection: its side gets the F5 pairs removed.
Bytes WithoutCableSelects(const Bytes& in) {
    Bytes out;
    for (size_t i = 0; i < in.size(); i++) {
        if (in[i] == 0xF5) {
            i++;
            continue;
        }
        out.push_back(in[i]);
    }
    return out;
}

const Bytes& Stream(int which) {
    static const Bytes notes = NoteStream(), mixed = MixedStream();
    return which == 0 ? notes : mixed;
}

void BM_Varlo(benchmark::State& state) {
    const Bytes& stream = Stream((int)state.range(0));
    varlo_test::ParserRig rig;
    DdClient* client = rig.AddClient();
    size_t delivered = 0;
    for (auto _ : state) {
        // One serial read at a time, each followed by the client taking its buffers.
        for (size_t at = 0; at < stream.size(); at += DD_TB_BUFFER_SIZE) {
            rig.Feed(stream.data() + at, std::min<size_t>(DD_TB_BUFFER_SIZE, stream.size() - at));
            delivered += rig.Discard(client);
        }
    }
    benchmark::DoNotOptimize(delivered);
    state.counters["bytes"] = (double)stream.size();
    state.SetBytesProcessed((int64_t)(state.iterations() * stream.size()));
}

void BM_Alsa(benchmark::State& state) {
    Bytes stream = WithoutCableSelects(Stream((int)state.range(0)));
    snd_midi_event_t* encoder = nullptr;
    if (snd_midi_event_new(256, &encoder) < 0) {
        state.SkipWithError("snd_midi_event_new failed");
        return;
    }
    size_t events = 0;
    snd_seq_event_t ev;
    for (auto _ : state) {
        for (unsigned char byte : stream) {
            if (snd_midi_event_encode_byte(encoder, byte, &ev) == 1) {
                events++;
                benchmark::DoNotOptimize(ev);
            }
        }
    }
    snd_midi_event_free(encoder);
    benchmark::DoNotOptimize(events);
    state.counters["bytes"] = (double)stream.size();
    state.SetBytesProcessed((int64_t)(state.iterations() * stream.size()));
}

BENCHMARK(BM_Varlo)->Arg(0)->Arg(1)->ArgName("stream")->Repetitions(5);
BENCHMARK(BM_Alsa)->Arg(0)->Arg(1)->ArgName("stream")->Repetitions(5);

// Prints the usual table, then ns/byte per stream for both sides and their ratio.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred || run.run_type != Run::RT_Iteration)
                continue;
            auto bytes = run.counters.find("bytes");
            if (bytes == run.counters.end())
                continue;
            // Processor time: on a shared machine it is disturbed far less than elapsed time.
            double ns =
                run.GetAdjustedCPUTime() * (run.time_unit == benchmark::kNanosecond    ? 1.0
                                            : run.time_unit == benchmark::kMicrosecond ? 1e3
                                            : run.time_unit == benchmark::kMillisecond ? 1e6
                                                                                       : 1e9);
            std::string name = run.benchmark_name();
            bool ours = name.rfind("BM_Varlo", 0) == 0;
            std::string stream = name.substr(name.find("stream:"), 8);
            // The machine is shared: the fastest repetition is the one least disturbed.
            auto& best = (ours ? varlo_ : alsa_)[stream];
            double perByte = ns / bytes->second.value;
            if (best == 0 || perByte < best)
                best = perByte;
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf("\n%-10s %14s %14s %8s\n", "stream", "varlo ns/byte", "alsa ns/byte", "ratio");
        for (const auto& [stream, ours] : varlo_) {
            auto alsa = alsa_.find(stream);
            if (alsa == alsa_.end())
                continue;
            const char* label = stream == "stream:0" ? "notes" : "mixed";
            std::printf("%-10s %14.3f %14.3f %8.2f\n", label, ours, alsa->second,
                        alsa->second / ours);
        }
    }

private:
    std::map<std::string, double> varlo_, alsa_;
};

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
