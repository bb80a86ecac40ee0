// Relaying out a topic on every paint and every mouse move must stay cheap: the program's own
// help texts through the three passes on a fixed-width canvas (no drawing cost).
#include "help/helprender.h"

#include <benchmark/benchmark.h>

#include <fstream>
#include <iterator>
#include <string>

namespace {

void Measure(void*, const HelpFont& font, const char*, size_t length, int32_t* w, int32_t* h) {
    *w = int32_t(length) * 7;
    *h = font.size;
}
bool NoBitmap(void*, uint32_t, int32_t*, int32_t*) {
    return false;
}
uint32_t NoColor(void*, uint32_t) {
    return 0;
}
bool Colored(void*) {
    return true;
}
int32_t Frame(void*, const HelpRect&, uint32_t pattern) {
    return HelpFrameRings(pattern);
}
void Fill(void*, const HelpRect&, uint32_t) {}
void Text(void*, const HelpFont&, bool, uint32_t, int32_t, int32_t, const char*, size_t) {}
void Blit(void*, uint32_t, int32_t, int32_t) {}

struct Fixture {
    HelpBlockCache cache{nullptr};
    HelpRenderContext* context = new HelpRenderContext;
    Fixture() {
        std::ifstream in(VARLO_HELPTEXT_PATH, std::ios::binary);
        std::string text{std::istreambuf_iterator<char>(in), {}};
        cache.head =
            CompileHelpBlock(reinterpret_cast<const uint8_t*>(text.data()), text.size(), 29001);
        InitHelpRenderContext(context, HelpCanvas{nullptr, Measure, NoBitmap, NoColor, Colored,
                                                  Frame, Fill, Text, Blit});
    }
    ~Fixture() {
        FreeHelpBlockCache(&cache);
        delete context;
    }
};

void CompileHelpTexts(benchmark::State& state) {
    std::ifstream in(VARLO_HELPTEXT_PATH, std::ios::binary);
    std::string text{std::istreambuf_iterator<char>(in), {}};
    for (auto _ : state) {
        HelpBlockCache cache{
            CompileHelpBlock(reinterpret_cast<const uint8_t*>(text.data()), text.size(), 29001)};
        benchmark::DoNotOptimize(cache.head);
        FreeHelpBlockCache(&cache);
    }
}
BENCHMARK(CompileHelpTexts);

void PrepareFirstShow(benchmark::State& state) {
    Fixture f;
    for (auto _ : state)
        benchmark::DoNotOptimize(
            PrepareTopic(f.context, true, f.cache.head, 1013, PREPARE_FIRST_SHOW));
}
BENCHMARK(PrepareFirstShow);

void PaintTopicPass(benchmark::State& state) {
    Fixture f;
    PrepareTopic(f.context, true, f.cache.head, 1013, PREPARE_FIRST_SHOW);
    for (auto _ : state)
        PaintTopic(f.context, 400, 20);
}
BENCHMARK(PaintTopicPass);

void HitTestPass(benchmark::State& state) {
    Fixture f;
    PrepareTopic(f.context, true, f.cache.head, 1013, PREPARE_FIRST_SHOW);
    PaintTopic(f.context, 400, 20);
    for (auto _ : state)
        benchmark::DoNotOptimize(HitTestTopic(f.context, 60, 75));
}
BENCHMARK(HitTestPass);

} // namespace

BENCHMARK_MAIN();
