#include "CoreAudioTapCapture.h"

#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid_io.hpp>

#include <algorithm>
#include <bit>
#include <cctype>
#include <chrono>
#include <cmath>
#include <csignal>
#include <future>
#include <span>
#include <vector>

#include "HelperError.h"
#include "ProcessCatalog.h"

namespace qor {

std::string makeUUIDString() {
    thread_local boost::uuids::random_generator generator;
    std::string text = boost::uuids::to_string(generator());
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

namespace {

// The first `samples` of a buffer that only ever grows, so that once the largest block has been
// seen the audio path allocates nothing.
std::span<float> reserve(std::vector<float>& buffer, std::size_t samples) {
    if (buffer.size() < samples) {
        buffer.resize(samples);
    }
    return std::span<float>(buffer).first(samples);
}

int modeValue(const CLIOptions& options) {
    return options.selection == CaptureSelection::exclude ? 1 : 0;
}

const char* sourceValue(const CLIOptions& options) {
    return options.selection == CaptureSelection::globalOutput ? "output_loopback"
                                                               : "process_loopback";
}

// The process-wide termination-signal sources. They live until the process ends; a later capture
// in the same process replaces them.
using SignalSource = std::shared_ptr<boost::asio::signal_set>;
namespace SignalStorage {
std::vector<SignalSource>& sources() {
    static auto* storage = new std::vector<SignalSource>;
    return *storage;
}
}  // namespace SignalStorage

void awaitSignal(const SignalSource& source, std::weak_ptr<CoreAudioTapCapture> capture) {
    std::weak_ptr<boost::asio::signal_set> weakSource = source;
    source->async_wait([weakSource, capture](const boost::system::error_code& error, int) {
        auto current = weakSource.lock();
        if (error || !current) {
            return;  // the source was replaced; a signal it had already taken belongs to no one
        }
        if (auto strong = capture.lock()) {
            strong->stop();
        }
        MainQueue::context().stop();
        awaitSignal(current, capture);
    });
}

}  // namespace

// Owned by the capture on the main thread and by the handlers queued on the I/O queue; `cancelled`
// is the main thread's word to a handler that is already due.
struct CoreAudioTapCapture::DiagnosticTimer {
    explicit DiagnosticTimer(IOQueue& queue) : timer(queue.executor()) {}
    boost::asio::steady_timer timer;  // I/O queue only
    std::atomic<bool> cancelled{false};
};

// Owned by the capture and by the handler waiting on it, both on the main thread.
struct CoreAudioTapCapture::StateTimer {
    StateTimer() : timer(MainQueue::context()) {}
    boost::asio::steady_timer timer;
    bool cancelled = false;
};

std::shared_ptr<CoreAudioTapCapture> CoreAudioTapCapture::create(CLIOptions options,
                                                                 std::shared_ptr<AudioSink> sink,
                                                                 Platform& platform) {
    return std::shared_ptr<CoreAudioTapCapture>(
        new CoreAudioTapCapture(std::move(options), std::move(sink), platform));
}

CoreAudioTapCapture::CoreAudioTapCapture(CLIOptions options, std::shared_ptr<AudioSink> sink,
                                         Platform& platform)
    : options_(std::move(options)),
      sink_(std::move(sink)),
      hardware_(platform.hardware),
      workspace_(platform.workspace),
      bytesPerSample_(sink_->formatName() == "float32le" ? 4 : 2) {}

CoreAudioTapCapture::~CoreAudioTapCapture() = default;

namespace {
double usableRate(double rate) {
    return std::isnan(rate) ? 1.0 : std::max(rate, 1.0);
}
}  // namespace

void CoreAudioTapCapture::run() {
    buildChain(makeTapDescription());
    const double rate = usableRate(inputSampleRate_);
    resampler_ = std::make_unique<StereoResampler>(rate, 48000.0);
    rateFollower_ = RateFollower(rate);

    // A host may signal as soon as it reads the start-up line: the handlers come first.
    installSignalHandlers();
    Diagnostics::write(startupLine(), Diagnostics::standardError);
    startDiagnostics();

    startDevice();
    followProcesses();
    startStateWatch();

    auto& mainContext = MainQueue::context();
    mainContext.restart();
    auto keepRunning = boost::asio::make_work_guard(mainContext);
    MainQueue::run();

    if (chainFailure_) {
        std::rethrow_exception(chainFailure_);
    }
    if (outputFailure_ != 0) {
        throw HelperError::runtime(outputWriteFailedMessage(outputFailure_));
    }
    if (serverLost_) {
        throw HelperError::runtime("audio_server_disconnected");
    }
}

void CoreAudioTapCapture::stop() {
    // The I/O queue may sit in a sink's write, waiting on a reader that no longer reads; the
    // teardown below needs that queue, so the write must give up first.
    sink_->stopWaiting();
    if (processListener_) {
        hardware_.removeProcessListListener(*processListener_);
        processListener_.reset();
    }
    if (diagnosticTimer_) {
        diagnosticTimer_->cancelled = true;
        ioQueue_.post([timer = diagnosticTimer_] { timer->timer.cancel(); });
        diagnosticTimer_.reset();
    }
    if (stateTimer_) {
        stateTimer_->cancelled = true;
        stateTimer_->timer.cancel();
        stateTimer_.reset();
    }
    releaseChain();
    sink_->close();
}

void CoreAudioTapCapture::releaseChain() {
    deviceStarted_ = false;
    if (deviceListener_) {
        hardware_.removeDeviceEventListener(*deviceListener_);
        deviceListener_.reset();
    }
    if (aggregateDeviceID_ != kAudioObjectUnknown) {
        hardware_.deviceStop(aggregateDeviceID_, ioProcID_.value_or(0));
    }
    if (ioProcID_ && aggregateDeviceID_ != kAudioObjectUnknown) {
        hardware_.destroyIOProcID(aggregateDeviceID_, *ioProcID_);
    }
    ioProcID_.reset();
    if (aggregateDeviceID_ != kAudioObjectUnknown) {
        hardware_.destroyAggregateDevice(aggregateDeviceID_);
        aggregateDeviceID_ = kAudioObjectUnknown;
    }
    if (tapID_ != kAudioObjectUnknown) {
        hardware_.destroyProcessTap(tapID_);
        tapID_ = kAudioObjectUnknown;
    }
}

void CoreAudioTapCapture::buildChain(TapDescription description) {
    if (const OSStatus status = hardware_.createProcessTap(description, tapID_); status != 0) {
        throw HelperError::coreAudio("create_process_tap", status);
    }
    // A process that may not capture audio gets a tap that delivers exact zeros while every call
    // succeeds, except one: the tap refuses to take its own description again.
    permissionDenied_ = hardware_.setTapDescription(tapID_, description) != 0;
    tapDescription_ = std::move(description);
    const std::string tapUID = readTapUID();
    const AudioStreamBasicDescription format = readTapFormat();
    createAggregateDevice(tapUID);
    // A tap may report one rate while its device delivers another: the device's wins.
    inputSampleRate_ = deviceRate(format.mSampleRate);
    registerIOProc();
    listenForDeviceEvents();
}

void CoreAudioTapCapture::startDevice() {
    if (const OSStatus status = hardware_.deviceStart(aggregateDeviceID_, *ioProcID_);
        status != 0) {
        throw HelperError::coreAudio("start_aggregate_device", status);
    }
    deviceStarted_ = true;
    chainStartedAt_ = std::chrono::steady_clock::now();
    chainStartCallbacks_ = callbackCount_.load(std::memory_order_relaxed);
    chainStartAudible_ = audibleCallbackCount_.load(std::memory_order_relaxed);
    stateMonitor_.restart(chainStartedAt_);
}

// A listener that cannot be added is done without: a dead device still shows by its silence.
void CoreAudioTapCapture::listenForDeviceEvents() {
    std::weak_ptr<CoreAudioTapCapture> weak = weak_from_this();
    // An event of a chain that has been replaced meanwhile is old news.
    const std::uint64_t chain = ++chainNumber_;
    DeviceEventHandler handler = [weak, chain](DeviceEvent event) {
        boost::asio::post(MainQueue::context(), [weak, chain, event] {
            if (auto capture = weak.lock(); capture && capture->chainNumber_ == chain) {
                capture->pendingDeviceEvent_ = event;
            }
        });
    };
    DeviceEventListenerID listener = 0;
    if (hardware_.addDeviceEventListener(aggregateDeviceID_, std::move(handler), listener) == 0) {
        deviceListener_ = listener;
    }
}

void CoreAudioTapCapture::drainIOQueue(std::chrono::milliseconds timeout) {
    if (ioQueue_.isCurrentThread()) {
        return;
    }
    auto done = std::make_shared<std::promise<void>>();
    auto finished = done->get_future();
    ioQueue_.post([done] { done->set_value(); });
    finished.wait_for(timeout);
}

TapDescription CoreAudioTapCapture::makeTapDescription() {
    std::vector<std::string> bundleIDs = options_.bundleIDs;
    bundleIDs.insert(bundleIDs.end(), options_.excludedBundleIDs.begin(),
                     options_.excludedBundleIDs.end());
    std::vector<AudioObjectID> processes =
        ProcessCatalog::processObjectIDs(hardware_, workspace_, bundleIDs);

    const bool include = options_.selection == CaptureSelection::include;
    // A chosen process that plays nothing itself is still a valid choice when a descendant does.
    bool chosenProcessSilent = false;
    if (options_.pid > 0) {
        try {
            processes.push_back(ProcessCatalog::processObjectID(hardware_, options_.pid));
        } catch (const HelperError& error) {
            if (include && error.kind() != HelperError::Kind::runtime) {
                throw;
            }
            chosenProcessSilent = include;
        }
    }
    std::vector<AudioProcess> audioProcesses;
    if (followsProcesses() && hardware_.readProcessList(audioProcesses) == 0) {
        const std::vector<AudioObjectID> tree =
            processTree_.update(chosenProcesses(), audioProcesses, workspace_);
        processes.insert(processes.end(), tree.begin(), tree.end());
        if (chosenProcessSilent) {
            ProcessTree own;
            chosenProcessSilent = own.update({options_.pid}, audioProcesses, workspace_).empty();
        }
    }
    if (chosenProcessSilent) {
        throw HelperError::runtime("audio_process_not_found");
    }
    std::sort(processes.begin(), processes.end());
    processes.erase(std::unique(processes.begin(), processes.end()), processes.end());
    if (include && processes.empty()) {
        throw HelperError::runtime("audio_process_not_found");
    }

    TapDescription description;
    description.kind = include ? TapDescription::Kind::stereoMixdownOfProcesses
                               : TapDescription::Kind::stereoGlobalTapButExcludeProcesses;
    description.processes = std::move(processes);
    description.isPrivate = true;
    description.muteBehavior = 0;
    description.name = kTapNamePrefix + makeUUIDString();
    return description;
}

bool CoreAudioTapCapture::followsProcesses() const {
    auto named = [](const std::vector<std::string>& ids) {
        return std::any_of(ids.begin(), ids.end(), [](const auto& id) { return !id.empty(); });
    };
    return options_.pid > 0 || named(options_.bundleIDs) || named(options_.excludedBundleIDs);
}

// Read afresh each time, so a new instance of a chosen application joins like a new descendant.
std::set<std::int32_t> CoreAudioTapCapture::chosenProcesses() {
    std::vector<std::string> bundleIDs = options_.bundleIDs;
    bundleIDs.insert(bundleIDs.end(), options_.excludedBundleIDs.begin(),
                     options_.excludedBundleIDs.end());
    const std::vector<std::int32_t> pids =
        ProcessCatalog::applicationProcessIDs(workspace_, bundleIDs);
    std::set<std::int32_t> chosen(pids.begin(), pids.end());
    if (options_.pid > 0) {
        chosen.insert(options_.pid);
    }
    return chosen;
}

void CoreAudioTapCapture::followProcesses() {
    if (!followsProcesses()) {
        return;
    }
    // The platform calls from a thread of its own; the tree and the tap belong to the main thread.
    std::weak_ptr<CoreAudioTapCapture> weak = weak_from_this();
    ProcessListHandler changed = [weak] {
        boost::asio::post(MainQueue::context(), [weak] {
            if (auto capture = weak.lock()) {
                capture->processListChanged();
            }
        });
    };
    ProcessListListenerID listener = 0;
    if (const OSStatus status = hardware_.addProcessListListener(changed, listener); status != 0) {
        throw HelperError::coreAudio("add_process_list_listener", status);
    }
    processListener_ = listener;
    // A process that started since the tap was described would otherwise wait for the next change.
    changed();
}

void CoreAudioTapCapture::processListChanged() {
    if (!processListener_ || tapID_ == kAudioObjectUnknown) {
        return;  // stopped meanwhile
    }
    std::vector<AudioProcess> audioProcesses;
    if (hardware_.readProcessList(audioProcesses) != 0) {
        return;  // the next change reads it again
    }
    std::vector<AudioObjectID> processes =
        processTree_.update(chosenProcesses(), audioProcesses, workspace_);
    if (processes == tapDescription_.processes) {
        return;
    }
    TapDescription updated = tapDescription_;
    updated.processes = std::move(processes);
    // A refused update keeps the tap as it was; the next change tries again.
    if (hardware_.setTapDescription(tapID_, updated) == 0) {
        tapDescription_ = std::move(updated);
    }
}

std::string CoreAudioTapCapture::readTapUID() {
    std::string uid;
    if (const OSStatus status = hardware_.readTapUID(tapID_, uid); status != 0) {
        throw HelperError::coreAudio("read_tap_uid", status);
    }
    return uid;
}

AudioStreamBasicDescription CoreAudioTapCapture::readTapFormat() {
    AudioStreamBasicDescription format{};
    if (const OSStatus status = hardware_.readTapFormat(tapID_, format); status != 0) {
        throw HelperError::coreAudio("read_tap_format", status);
    }
    if (format.mFormatID != kAudioFormatLinearPCM || format.mBitsPerChannel != 32 ||
        (format.mFormatFlags & kAudioFormatFlagIsFloat) == 0) {
        throw HelperError::runtime("unsupported_tap_audio_format");
    }
    return format;
}

void CoreAudioTapCapture::createAggregateDevice(const std::string& tapUID) {
    AggregateDeviceDescription description;
    description.name = kAggregateDeviceName;
    description.uid = kAggregateDeviceUIDPrefix + makeUUIDString();
    if (composition_ == DeviceComposition::tapIsMainAndClock) {
        description.mainSubDevice = tapUID;
        description.clockDevice = tapUID;
    }
    description.isPrivate = true;
    description.isStacked = false;
    description.taps = {{.uid = tapUID, .driftCompensation = true}};
    if (const OSStatus status = hardware_.createAggregateDevice(description, aggregateDeviceID_);
        status != 0) {
        throw HelperError::coreAudio("create_aggregate_device", status);
    }
}

double CoreAudioTapCapture::deviceRate(double tapRate) {
    double rate = 0.0;
    if (hardware_.readDeviceSampleRate(aggregateDeviceID_, rate) == 0 && std::isfinite(rate) &&
        rate > 0.0) {
        return rate;
    }
    return tapRate;  // the cycles' clocks will tell if it is wrong
}

void CoreAudioTapCapture::registerIOProc() {
    std::weak_ptr<CoreAudioTapCapture> weak = weak_from_this();
    IOBlock block = [weak](const AudioBufferList& input, const IOCycleTime& time) {
        if (auto capture = weak.lock()) {
            capture->consume(input, time);
        }
    };
    DeviceLostHandler lost = [weak] {
        boost::asio::post(MainQueue::context(), [weak] {
            if (auto capture = weak.lock()) {
                capture->serverLost_ = true;
            }
            MainQueue::context().stop();
        });
    };
    IOProcID proc = 0;
    if (const OSStatus status = hardware_.createIOProcIDWithBlock(
            aggregateDeviceID_, ioQueue_, std::move(block), std::move(lost), proc);
        status != 0) {
        throw HelperError::coreAudio("create_io_proc", status);
    }
    ioProcID_ = proc;
}

void CoreAudioTapCapture::installSignalHandlers() {
    // Registering a set's signal puts its handler in place of the default action in one step, so
    // a signal either meets the default action or is handled. Setting the ignore disposition first
    // would open a moment in which a signal is discarded and the capture runs on as if it had never
    // been sent. The sets of an earlier capture in this process go only once the new ones are
    // registered, so the handler stays in place throughout.
    std::vector<SignalSource> sources;
    sources.push_back(std::make_shared<boost::asio::signal_set>(MainQueue::context(), SIGINT));
    sources.push_back(std::make_shared<boost::asio::signal_set>(MainQueue::context(), SIGTERM));
    for (const auto& source : sources) {
        awaitSignal(source, weak_from_this());
    }
    SignalStorage::sources() = std::move(sources);
}

void CoreAudioTapCapture::startDiagnostics() {
    auto timer = std::make_shared<DiagnosticTimer>(ioQueue_);
    const auto firstDeadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    std::weak_ptr<CoreAudioTapCapture> weak = weak_from_this();

    // Deadlines advance from the previous deadline, so lines keep a 3-second period without drift.
    // After the process was stopped or starved, the deadlines it slept through are skipped rather
    // than written in a burst: the next one is the first on the same grid that lies far enough
    // behind the line just written, so lines never come much closer than the period.
    struct Tick {
        std::weak_ptr<CoreAudioTapCapture> capture;
        std::shared_ptr<DiagnosticTimer> timer;
        void operator()(const boost::system::error_code& error) const {
            if (error || timer->cancelled) {
                return;
            }
            if (auto strong = capture.lock()) {
                Diagnostics::write(strong->diagnosticsLine(), Diagnostics::standardError);
            }
            constexpr std::chrono::steady_clock::duration period = std::chrono::seconds(3);
            constexpr std::chrono::steady_clock::duration spacing = period * 11 / 12;
            auto next = timer->timer.expiry() + period;
            const auto earliest = std::chrono::steady_clock::now() + spacing;
            if (next < earliest) {
                next += ((earliest - next) / period + 1) * period;
            }
            timer->timer.expires_at(next);
            timer->timer.async_wait(*this);
        }
    };
    ioQueue_.post([tick = Tick{weak, timer}, firstDeadline] {
        tick.timer->timer.expires_at(firstDeadline);
        tick.timer->timer.async_wait(tick);
    });
    diagnosticTimer_ = std::move(timer);
}

namespace {
// The largest magnitude in the block, NaNs left out. The magnitudes' bit patterns order like their
// values (infinity included, every NaN above it), so the maximum is an integer one, which the
// compiler does a vector at a time.
float peakOf(std::span<const float> block) {
    constexpr std::int32_t kInfinity = 0x7f800000;
    std::int32_t peak = 0;
    for (float sample : block) {
        const std::int32_t magnitude = std::bit_cast<std::int32_t>(sample) & 0x7fffffff;
        const std::int32_t counted = magnitude <= kInfinity ? magnitude : 0;
        peak = std::max(peak, counted);
    }
    return std::bit_cast<float>(peak);
}

// True when every sample is an exact zero (of either sign).
bool allZeros(std::span<const float> block) {
    std::uint32_t bits = 0;
    for (float sample : block) {
        bits |= std::bit_cast<std::uint32_t>(sample) & 0x7fffffffu;
    }
    return bits == 0;
}
}  // namespace

void CoreAudioTapCapture::consume(const AudioBufferList& input, const IOCycleTime& time) {
    callbackCount_.fetch_add(1, std::memory_order_relaxed);
    if (input.mNumberBuffers == 0) {
        return;
    }
    const AudioBuffer& first = input.mBuffers[0];
    if (first.mData == nullptr) {
        return;
    }
    const std::uint32_t channels = first.mNumberChannels >= 2 ? first.mNumberChannels : 1;
    const std::uint64_t frameBytes = std::uint64_t{channels} * 4;
    if (first.mDataByteSize < frameBytes) {
        return;
    }
    const std::size_t frames = first.mDataByteSize / frameBytes;

    const auto* samples = static_cast<const float*>(first.mData);
    std::span<const float> block;
    const AudioBuffer* second = input.mNumberBuffers >= 2 ? &input.mBuffers[1] : nullptr;
    const bool planar = second != nullptr && first.mNumberChannels == 1 &&
                        second->mNumberChannels == 1 && second->mData != nullptr;
    if (planar) {
        // Planar: the frame count comes from buffer 0; never read past what buffer 1 holds.
        std::span<float> stereo = reserve(stereo_, 2 * frames);
        const auto* right = static_cast<const float*>(second->mData);
        const std::size_t rightFrames = std::min<std::size_t>(frames, second->mDataByteSize / 4);
        float* out = stereo.data();
        for (std::size_t k = 0; k < rightFrames; ++k) {
            out[2 * k] = samples[k];
            out[2 * k + 1] = right[k];
        }
        for (std::size_t k = rightFrames; k < frames; ++k) {
            out[2 * k] = samples[k];
            out[2 * k + 1] = 0.0f;
        }
        block = stereo;
    } else if (first.mNumberChannels == 2) {
        // Interleaved stereo, the layout every backend delivers, is the block already: the
        // platform's buffer goes on as it is, without a copy.
        block = std::span<const float>(samples, 2 * frames);
    } else {
        std::span<float> stereo = reserve(stereo_, 2 * frames);
        const std::size_t rightOffset = first.mNumberChannels >= 2 ? 1 : 0;
        for (std::size_t k = 0; k < frames; ++k) {
            const std::size_t base = k * channels;
            stereo[2 * k] = samples[base];
            stereo[2 * k + 1] = samples[base + rightOffset];
        }
        block = stereo;
    }
    const bool rateChanged =
        followSourceFormat(time, frames, planar ? input.mNumberBuffers : first.mNumberChannels);
    keepDeviceTime(time, frames, rateChanged);
    if (time.hostTimeValid) {
        hostTimeNs_ = time.hostTimeNs;
        hostTimeFrame_ = frameCount_;
    }

    if (resampler_ && !resampler_->bypasses()) {
        std::span<float> output = reserve(resampled_, resampler_->maxOutputSamples(block.size()));
        block = output.first(resampler_->process(block, output));
    }
    if (!block.empty() && deliver(block)) {
        audibleCallbackCount_.fetch_add(1, std::memory_order_relaxed);
    }
}

bool CoreAudioTapCapture::deliver(std::span<const float> block) {
    // Only what reached the sink's reader is counted: a block the sink failed on is not.
    sink_->write(block);
    if (sink_->failure() != 0) {
        outputFailed();
        return false;
    }
    lastPeak_ = peakOf(block);
    packetCount_ += 1;
    frameCount_ += block.size() / 2;
    writeCount_ += 1;
    byteCount_ += block.size() * bytesPerSample_;
    if (allZeros(block)) {
        silentPacketCount_ += 1;
        return false;
    }
    return true;
}

namespace {
// As much silence as one block of the output holds at most.
constexpr std::size_t kSilenceFrames = 4096;
const float kSilence[2 * kSilenceFrames] = {};
// A jump of the device's clock beyond this is a new clock, not a gap to fill.
constexpr double kLongestGapSeconds = 60.0;
}  // namespace

void CoreAudioTapCapture::deliverSilence(std::uint64_t frames) {
    while (frames > 0 && sink_->failure() == 0) {
        const std::size_t chunk =
            static_cast<std::size_t>(std::min<std::uint64_t>(frames, kSilenceFrames));
        deliver(std::span<const float>(kSilence, 2 * chunk));
        frames -= chunk;
    }
}

void CoreAudioTapCapture::keepDeviceTime(const IOCycleTime& time, std::size_t frames,
                                         bool rateChanged) {
    // A rebuilt chain has a clock of its own: the host clock tells how long the output went
    // without the device.
    if (resumeFromHostNs_ && time.hostTimeValid) {
        const std::uint64_t from = *resumeFromHostNs_;
        resumeFromHostNs_.reset();
        const double seconds =
            (static_cast<double>(time.hostTimeNs) - static_cast<double>(from)) / 1e9;
        if (from != 0 && seconds > 0.0 && seconds <= kLongestGapSeconds) {
            deliverSilence(static_cast<std::uint64_t>(std::llround(seconds * 48000.0)));
        }
    }
    const double rate = rateFollower_.rate();
    if (!time.sampleTimeValid || !time.hostTimeValid || rate <= 0.0) {
        expectedSampleTime_.reset();
        return;
    }
    const std::optional<double> expected = rateChanged ? std::nullopt : expectedSampleTime_;
    const std::uint64_t expectedHostTimeNs = expectedHostTimeNs_;
    expectedSampleTime_ = time.sampleTime + static_cast<double>(frames);
    expectedHostTimeNs_ = time.hostTimeNs + static_cast<std::uint64_t>(frames / rate * 1e9);
    if (!expected) {
        return;
    }
    // A stall moves both clocks on together; a sample clock that jumps on its own (a driver that
    // starts its count anew) is a new clock, not a gap.
    const double gap = time.sampleTime - *expected;
    const double hostGap =
        (static_cast<double>(time.hostTimeNs) - static_cast<double>(expectedHostTimeNs)) / 1e9;
    if (gap < 1.0 || gap > kLongestGapSeconds * rate ||
        std::abs(gap / rate - hostGap) > 0.05 + 0.1 * hostGap) {
        return;
    }
    deliverSilence(static_cast<std::uint64_t>(std::llround(gap * 48000.0 / rate)));
}

// The capture cannot go on without its output: the main thread ends it as it would for a lost
// server, and run() reports why.
void CoreAudioTapCapture::outputFailed() {
    if (outputFailureReported_) {
        return;
    }
    outputFailureReported_ = true;
    std::weak_ptr<CoreAudioTapCapture> weak = weak_from_this();
    boost::asio::post(MainQueue::context(), [weak, error = sink_->failure()] {
        if (auto capture = weak.lock()) {
            capture->outputFailure_ = error;
        }
        MainQueue::context().stop();
    });
}

// The block that shows a new rate is already at that rate, so the new resampler starts with it.
// Rare, so the line and the new resampler may allocate; the line is written off the audio path.
bool CoreAudioTapCapture::followSourceFormat(const IOCycleTime& time, std::size_t frames,
                                             std::uint32_t channels) {
    const bool rateChanged = rateFollower_.observe(time, frames);
    if (rateChanged) {
        resampler_ = std::make_unique<StereoResampler>(rateFollower_.rate(), 48000.0);
    }
    const bool channelsChanged = sourceChannels_ != 0 && channels != sourceChannels_;
    sourceChannels_ = channels;
    if (rateChanged || channelsChanged) {
        boost::asio::post(MainQueue::context(), [rate = rateFollower_.rate(), channels] {
            Diagnostics::write(sourceFormatLine(rate, channels), Diagnostics::standardError);
        });
    }
    return rateChanged;
}

void CoreAudioTapCapture::setResamplerForTesting(double inputRate) {
    resampler_ = std::make_unique<StereoResampler>(inputRate, 48000.0);
    rateFollower_ = RateFollower(inputRate);
}

JSON CoreAudioTapCapture::sourceFormatLine(double sampleRate, std::uint32_t channels) {
    return JSON{
        {"event", "source_format"},
        {"sourceChannels", channels},
        {"sourceSampleRate", sampleRate},
    };
}

JSON CoreAudioTapCapture::startupLine() const {
    return JSON{
        {"channels", 2},
        {"format", sink_->formatName()},
        {"mode", modeValue(options_)},
        {"pid", options_.pid},
        {"sampleRate", 48000},
        {"source", sourceValue(options_)},
        {"sourceSampleRate", inputSampleRate_},
        {"success", true},
        {"transport", sink_->transportName()},
    };
}

JSON CoreAudioTapCapture::diagnosticsLine() const {
    return JSON{
        {"bytes", byteCount_},
        {"diagnostic", "capture_stats"},
        {"droppedFrames", sink_->droppedFrames()},
        {"frames", frameCount_},
        {"hostTimeFrame", hostTimeFrame_},
        {"hostTimeNs", hostTimeNs_},
        {"mode", modeValue(options_)},
        {"packets", packetCount_},
        {"peak", lastPeak_},
        {"pid", options_.pid},
        {"silentPackets", silentPacketCount_},
        {"source", sourceValue(options_)},
        {"writes", writeCount_},
    };
}

namespace {
constexpr std::chrono::milliseconds kStateWatchPeriod{250};
// Callbacks that stay away this long while the device runs call for a new chain.
constexpr std::chrono::milliseconds kRebuildAfterSilence{2000};
constexpr std::size_t kRebuildsPerMinute = 3;
}  // namespace

void CoreAudioTapCapture::startStateWatch() {
    auto timer = std::make_shared<StateTimer>();
    struct Tick {
        std::weak_ptr<CoreAudioTapCapture> capture;
        std::shared_ptr<StateTimer> timer;
        void operator()(const boost::system::error_code& error) const {
            if (error || timer->cancelled) {
                return;
            }
            auto strong = capture.lock();
            if (!strong) {
                return;
            }
            try {
                strong->watchState();
            } catch (const HelperError&) {
                // A rebuild step failed: run() reports it once the loop has ended.
                strong->chainFailure_ = std::current_exception();
                MainQueue::context().stop();
                return;
            }
            if (timer->cancelled) {
                return;
            }
            timer->timer.expires_after(kStateWatchPeriod);
            timer->timer.async_wait(*this);
        }
    };
    timer->timer.expires_after(kStateWatchPeriod);
    timer->timer.async_wait(Tick{weak_from_this(), timer});
    stateTimer_ = std::move(timer);
}

void CoreAudioTapCapture::watchState() {
    const std::uint64_t callbacks = callbackCount_.load(std::memory_order_relaxed);
    const std::uint64_t audible = audibleCallbackCount_.load(std::memory_order_relaxed);
    AudioObservation seen;
    seen.now = std::chrono::steady_clock::now();
    seen.started = deviceStarted_;
    seen.callbacks = callbacks != seenCallbacks_;
    seen.audible = audible != seenAudible_;
    seenCallbacks_ = callbacks;
    seenAudible_ = audible;
    seen.permissionDenied = permissionDenied_;
    if (seen.callbacks && !seen.audible) {
        seen.sourcesRunningOutput = sourcesRunningOutput();
    }
    seen.sourcesGone = sourcesGone();
    if (const auto state = stateMonitor_.observe(seen)) {
        Diagnostics::write(audioStateLine(*state, composition_), Diagnostics::standardError);
    }
    recover(seen);
}

// The core's recovery: a device that died, an audio service that restarted, or callbacks that
// stay away get a new chain, at most three times a minute; a tap that has nothing left to take in
// does not. Once, two seconds after the start, a device described with the tap as its main
// sub-device and clock that brought nothing, or exact zeros while a tapped process plays and the
// tap may capture, is described again without those two keys.
void CoreAudioTapCapture::recover(const AudioObservation& seen) {
    if (!hardware_.rebuildingRecoversDevice() || !deviceStarted_ || seen.sourcesGone) {
        pendingDeviceEvent_.reset();
        return;
    }
    std::optional<AudioState> cause;
    bool fallback = false;
    if (pendingDeviceEvent_) {
        cause = AudioState{AudioStateKind::stalled, *pendingDeviceEvent_ == DeviceEvent::deviceDied
                                                        ? AudioStateReason::deviceLost
                                                        : AudioStateReason::serviceRestarted};
    } else if (!compositionChecked_ && seen.now - chainStartedAt_ >= AudioStateMonitor::kHold) {
        compositionChecked_ = true;
        const bool called = seenCallbacks_ != chainStartCallbacks_;
        const bool heard = seenAudible_ != chainStartAudible_;
        if (composition_ == DeviceComposition::tapIsMainAndClock && !called) {
            cause = AudioState{AudioStateKind::stalled, AudioStateReason::noCallbacks};
            fallback = true;
        } else if (composition_ == DeviceComposition::tapIsMainAndClock && !heard &&
                   !permissionDenied_ && sourcesRunningOutput() == true) {
            cause = AudioState{AudioStateKind::silent, AudioStateReason::zerosWhilePlaying};
            fallback = true;
        }
    }
    if (!cause && stateMonitor_.silenceOfCallbacks(seen.now) >= kRebuildAfterSilence) {
        cause = AudioState{AudioStateKind::stalled, AudioStateReason::noCallbacks};
    }
    if (!cause || !rebuildAllowed(seen.now)) {
        return;  // a device that stays silent stays "stalled" until the next attempt is allowed
    }
    pendingDeviceEvent_.reset();
    if (fallback) {
        composition_ = DeviceComposition::tapOnly;
    }
    rebuildChain(*cause);
}

bool CoreAudioTapCapture::rebuildAllowed(std::chrono::steady_clock::time_point now) {
    while (!rebuildTimes_.empty() && now - rebuildTimes_.front() >= std::chrono::minutes(1)) {
        rebuildTimes_.pop_front();
    }
    if (rebuildTimes_.size() >= kRebuildsPerMinute) {
        return false;
    }
    rebuildTimes_.push_back(now);
    return true;
}

void CoreAudioTapCapture::rebuildChain(const AudioState& cause) {
    rebuilds_ += 1;
    Diagnostics::write(audioStateLine(cause, composition_, rebuilds_), Diagnostics::standardError);
    stateMonitor_.announced(cause);
    TapDescription description = tapDescription_;  // with the processes the tap covers now
    description.name = kTapNamePrefix + makeUUIDString();
    // A restarted service has forgotten every listener, the process list's included.
    const bool listenAgain =
        cause.reason == AudioStateReason::serviceRestarted && processListener_.has_value();
    if (listenAgain) {
        hardware_.removeProcessListListener(*processListener_);
        processListener_.reset();
    }
    releaseChain();
    buildChain(std::move(description));
    // The new device's cycles start a clock of their own, at the rate it tells.
    ioQueue_.post([weak = weak_from_this(), rate = usableRate(inputSampleRate_)] {
        if (auto capture = weak.lock()) {
            capture->resampler_ = std::make_unique<StereoResampler>(rate, 48000.0);
            capture->rateFollower_ = RateFollower(rate);
            capture->expectedSampleTime_.reset();
            capture->resumeFromHostNs_ = capture->expectedHostTimeNs_;
        }
    });
    startDevice();
    if (listenAgain) {
        followProcesses();
    }
}

std::optional<bool> CoreAudioTapCapture::sourcesRunningOutput() {
    std::vector<AudioObjectID> covered;
    if (tapDescription_.kind == TapDescription::Kind::stereoMixdownOfProcesses) {
        covered = tapDescription_.processes;
    } else {
        std::vector<AudioProcess> all;
        if (hardware_.readProcessList(all) != 0) {
            return std::nullopt;
        }
        for (const AudioProcess& process : all) {
            if (!std::binary_search(tapDescription_.processes.begin(),
                                    tapDescription_.processes.end(), process.object)) {
                covered.push_back(process.object);
            }
        }
    }
    bool known = false;
    for (AudioObjectID process : covered) {
        bool running = false;
        if (hardware_.readProcessIsRunningOutput(process, running) != 0) {
            continue;
        }
        if (running) {
            return true;
        }
        known = true;
    }
    return known || covered.empty() ? std::optional(false) : std::nullopt;
}

bool CoreAudioTapCapture::sourcesGone() {
    if (options_.selection != CaptureSelection::include || !tapDescription_.processes.empty()) {
        return false;
    }
    const std::set<std::int32_t> chosen = chosenProcesses();
    return std::none_of(chosen.begin(), chosen.end(), [this](std::int32_t pid) {
        return workspace_.parentProcessIdentifier(pid).has_value();
    });
}

}  // namespace qor
