// Buffer-list consumption as the I/O callback sees it, fed lists that a backend could hand over:
// any number of buffers, any channel count, null data, byte sizes no larger than the memory
// behind them, one after another through a resampler at a random rate. Each data block is its
// own allocation of exactly the given size, so AddressSanitizer reports any read past it.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "CoreAudioTapCapture.h"
#include "FuzzSupport.h"
#include "SimulatedPlatform.h"

namespace {

using namespace qor;

// Keeps nothing; counts what arrives so the capture's own counters can be checked against it.
class CountingSink final : public AudioSink {
  public:
    explicit CountingSink(std::string format) : format_(std::move(format)) {}
    const std::string& transportName() const override { return transport_; }
    const std::string& formatName() const override { return format_; }
    void write(std::span<const float> floatStereo) override {
        QOR_FUZZ_CHECK(!floatStereo.empty() && floatStereo.size() % 2 == 0);
        frames += floatStereo.size() / 2;
        ++writes;
    }
    void close() override {}

    std::uint64_t frames = 0;
    std::uint64_t writes = 0;

  private:
    const std::string transport_ = "discard";
    const std::string format_;
};

struct Session {
    simulated::SimulatedPlatform platform{simulated::Scenario{}};
    std::shared_ptr<CountingSink> sink;
    std::shared_ptr<CoreAudioTapCapture> capture;

    explicit Session(std::string format) : sink(std::make_shared<CountingSink>(format)) {
        auto view = platform.platform();
        capture = CoreAudioTapCapture::create(CLIOptions{}, sink, view);
    }
};

// One session per sample format for the whole run: a capture owns a thread, too costly per input.
Session& session(bool float32) {
    static Session floats("float32le");
    static Session shorts("s16le");
    return float32 ? floats : shorts;
}

// Rates a tap may report, the edges the resampler treats specially, and anything else. Rates far
// below any real device multiply the frames by up to 48000, so they come rarely.
double chooseRate(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange(0, 15)) {
        case 0:
            return in.ConsumeBool() ? 48000.0 : 44100.0;
        case 1:
            return 48000.0 + in.ConsumeFloatingPointInRange(-0.75, 0.75);
        case 2:  // all of these become 1
            switch (in.ConsumeIntegralInRange(0, 2)) {
                case 0:
                    return std::numeric_limits<double>::quiet_NaN();
                case 1:
                    return 0.0;
                default:
                    return -in.ConsumeFloatingPointInRange(0.0, 1e9);
            }
        case 3:
            return in.ConsumeFloatingPointInRange(0.0, 8000.0);
        case 4:
            return std::numeric_limits<double>::infinity();
        case 5:
            return in.ConsumeFloatingPointInRange(768000.0, std::numeric_limits<double>::max());
        case 6:
        case 7:
        case 8:
            return static_cast<double>(in.ConsumeIntegralInRange<std::uint32_t>(8000, 384000));
        default:
            return in.ConsumeFloatingPointInRange(8000.0, 768000.0);
    }
}

std::uint32_t chooseChannels(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange(0, 4)) {
        case 0:
            return 1;
        case 1:
            return 2;
        case 2:
            return in.ConsumeIntegralInRange<std::uint32_t>(0, 16);
        case 3:  // counts whose byte size overflows 32 bits
            return std::numeric_limits<std::uint32_t>::max() -
                   in.ConsumeIntegralInRange<std::uint32_t>(0, 3);
        default:
            return in.ConsumeIntegral<std::uint32_t>();
    }
}

// Upsampling from a very low rate multiplies the frames; keep such blocks short, and such runs
// to one callback, so that an input costs milliseconds at most.
std::size_t maxBlockBytes(double rate) {
    return static_cast<std::size_t>(std::clamp(4.0 * 4096.0 * rate / 48000.0, 8.0, 4096.0));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    Session& current = session(in.ConsumeBool());
    const double rate = chooseRate(in);
    current.capture->setResamplerForTesting(rate);
    const double effectiveRate = std::isnan(rate) || rate < 1.0 ? 1.0 : rate;
    const std::size_t maxBytes = maxBlockBytes(effectiveRate);
    const int maxCallbacks = effectiveRate < 480.0 ? 1 : 6;

    for (int callback = in.ConsumeIntegralInRange(1, maxCallbacks);
         callback > 0 && in.remaining_bytes() > 0; --callback) {
        const auto bufferCount = in.ConsumeIntegralInRange<std::uint32_t>(0, 9);
        AudioBufferListStorage storage(bufferCount);
        std::vector<std::unique_ptr<std::byte[]>> blocks;
        for (std::uint32_t i = 0; i < bufferCount; ++i) {
            AudioBuffer& buffer = storage.buffer(i);
            buffer.mNumberChannels = chooseChannels(in);
            if (in.ConsumeIntegralInRange(0, 7) == 0) {
                buffer.mData = nullptr;
                buffer.mDataByteSize = in.ConsumeIntegral<std::uint32_t>();
                continue;
            }
            const std::size_t allocated = in.ConsumeIntegralInRange<std::size_t>(0, maxBytes);
            blocks.push_back(std::make_unique<std::byte[]>(allocated));
            const std::vector<std::uint8_t> samples = in.ConsumeBytes<std::uint8_t>(allocated);
            if (!samples.empty()) {
                std::memcpy(blocks.back().get(), samples.data(), samples.size());
            }
            buffer.mData = blocks.back().get();
            buffer.mDataByteSize =
                in.ConsumeIntegralInRange<std::uint32_t>(0, static_cast<std::uint32_t>(allocated));
        }

        const std::uint64_t framesBefore = current.capture->frameCount();
        const std::uint64_t bytesBefore = current.capture->byteCount();
        const std::uint64_t writesBefore = current.sink->writes;
        current.capture->consume(storage.list());

        // Whatever was delivered is counted once, in the sink's sample format.
        const std::uint64_t frames = current.capture->frameCount() - framesBefore;
        const std::uint64_t writes = current.sink->writes - writesBefore;
        QOR_FUZZ_CHECK(writes <= 1);
        QOR_FUZZ_CHECK(current.sink->frames == current.capture->frameCount());
        QOR_FUZZ_CHECK(current.sink->writes == current.capture->writeCount());
        QOR_FUZZ_CHECK(current.capture->packetCount() == current.capture->writeCount());
        const std::uint64_t bytesPerFrame = current.sink->formatName() == "float32le" ? 8 : 4;
        QOR_FUZZ_CHECK(current.capture->byteCount() - bytesBefore == frames * bytesPerFrame);
        QOR_FUZZ_CHECK((writes == 0) == (frames == 0));
    }
    return 0;
}
