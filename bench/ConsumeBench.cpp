#include <benchmark/benchmark.h>

#include "CoreAudioTapCapture.h"
#include "SimulatedPlatform.h"

namespace {

class DiscardingSink final : public qor::AudioSink {
  public:
    const std::string& transportName() const override { return transport_; }
    const std::string& formatName() const override { return format_; }
    void write(std::span<const float> block) override { benchmark::DoNotOptimize(block.data()); }
    void close() override {}

  private:
    const std::string transport_ = "discard";
    const std::string format_ = "float32le";
};

// A capture on the simulated platform whose blocks go nowhere, resampling from `inputRate`.
struct DiscardingCapture {
    explicit DiscardingCapture(double inputRate) { capture->setResamplerForTesting(inputRate); }
    qor::simulated::SimulatedPlatform platform{qor::simulated::Scenario{}};
    qor::Platform view = platform.platform();
    std::shared_ptr<qor::CoreAudioTapCapture> capture = qor::CoreAudioTapCapture::create(
        qor::CLIOptions{}, std::make_shared<DiscardingSink>(), view);
};

// One I/O callback: a 480-frame interleaved stereo buffer list at 44100 Hz through consume().
void BM_Consume480FramesAt44100(benchmark::State& state) {
    DiscardingCapture discarding(44100);
    std::vector<float> samples(2 * 480, 0.25f);
    qor::AudioBufferListStorage storage(1);
    storage.buffer(0) = {2, static_cast<std::uint32_t>(samples.size() * 4), samples.data()};
    for (auto _ : state) {
        discarding.capture->consume(storage.list());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Consume480FramesAt44100);

// One graph cycle on PipeWire: 2048 frames as two planar buffers at 48000 Hz (no resampling).
void BM_ConsumePlanar2048FramesAt48000(benchmark::State& state) {
    DiscardingCapture discarding(48000);
    std::vector<float> left(2048, 0.25f);
    std::vector<float> right(2048, -0.5f);
    qor::AudioBufferListStorage storage(2);
    storage.buffer(0) = {1, static_cast<std::uint32_t>(left.size() * 4), left.data()};
    storage.buffer(1) = {1, static_cast<std::uint32_t>(right.size() * 4), right.data()};
    for (auto _ : state) {
        discarding.capture->consume(storage.list());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ConsumePlanar2048FramesAt48000);

}  // namespace
