#include <benchmark/benchmark.h>

#include <cmath>
#include <numbers>

#include "StereoResampler.h"

namespace {

// 480-frame blocks of a 1 kHz sine from 44100 to 48000; items are input frames.
void BM_Resample44100To48000(benchmark::State& state) {
    std::vector<float> block(2 * 480);
    for (std::size_t k = 0; k < 480; ++k) {
        block[2 * k] = block[2 * k + 1] =
            static_cast<float>(std::sin(2 * std::numbers::pi * 1000 * k / 44100.0));
    }
    qor::StereoResampler resampler(44100, 48000);
    // Into a buffer of the caller's, as the audio path does.
    std::vector<float> out(resampler.maxOutputSamples(block.size()));
    for (auto _ : state) {
        benchmark::DoNotOptimize(resampler.process(block, out));
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * 480);
}
BENCHMARK(BM_Resample44100To48000);

}  // namespace
