// The WebSocket sink's per-block cost on the audio path: one 10 ms block (480 stereo frames, 960
// samples) turned into its little-endian 16-bit payload.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "WebSocketAudioSink.h"

namespace {

std::vector<float> block(std::size_t samples) {
    std::vector<float> values(samples);
    for (std::size_t i = 0; i < samples; ++i) {
        // A loud tone that also overshoots, so the clamp is exercised as in real captures.
        values[i] = 1.1f * static_cast<float>(std::sin(0.0131 * static_cast<double>(i)));
    }
    return values;
}

void BM_ConvertBlockToPCM16LE(benchmark::State& state) {
    const auto samples = static_cast<std::size_t>(state.range(0));
    const std::vector<float> input = block(samples);
    std::vector<std::uint8_t> payload(samples * 2);
    for (auto _ : state) {
        qor::toPCM16LE(input, payload);
        benchmark::DoNotOptimize(payload.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(samples));
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(samples * 2));
}
BENCHMARK(BM_ConvertBlockToPCM16LE)->Arg(960);

// What write() adds on top of the conversion: the payload's allocation, as each message owns one.
void BM_ConvertBlockIntoNewPayload(benchmark::State& state) {
    const auto samples = static_cast<std::size_t>(state.range(0));
    const std::vector<float> input = block(samples);
    for (auto _ : state) {
        std::vector<std::uint8_t> payload(samples * 2);
        qor::toPCM16LE(input, payload);
        benchmark::DoNotOptimize(payload.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(samples));
}
BENCHMARK(BM_ConvertBlockIntoNewPayload)->Arg(960);

}  // namespace
