// Portable code, named after the Core Audio call order it follows: tap, aggregate, I/O proc.
// The capture engine: builds the tap and its private aggregate device, runs the I/O callback, turns
// buffer lists into stereo blocks, counts what it delivers, reports, and stops in order.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "AudioHardware.h"
#include "AudioSinks.h"
#include "AudioState.h"
#include "CLIOptions.h"
#include "Diagnostics.h"
#include "IOQueue.h"
#include "ProcessTree.h"
#include "RateFollower.h"
#include "StereoResampler.h"

namespace qor {

inline constexpr const char* kIOQueueLabel = "com.brinvale.qor.native-audio.io";
inline constexpr const char* kTapNamePrefix = "QOR Native Audio ";
inline constexpr const char* kAggregateDeviceName = "QOR Native Audio";
inline constexpr const char* kAggregateDeviceUIDPrefix = "com.brinvale.qor.native-audio.aggregate.";

// A fresh random UUID in its 36-character upper-case text form.
std::string makeUUIDString();

// Threads: construction, run(), stop(), the signal handlers, the audio-state watch and every
// rebuild of the chain run on the main thread; consume() and the diagnostics timer run on the I/O
// queue. Callbacks hold the capture weakly, so it is always owned by a shared_ptr (use create()).
class CoreAudioTapCapture : public std::enable_shared_from_this<CoreAudioTapCapture> {
  public:
    static std::shared_ptr<CoreAudioTapCapture> create(CLIOptions options,
                                                       std::shared_ptr<AudioSink> sink,
                                                       Platform& platform);
    ~CoreAudioTapCapture();

    // Sets the capture up, announces it, starts it and blocks in the main event loop until a
    // termination signal stops it. Throws HelperError; the caller then calls stop().
    void run();
    // Releases whatever platform objects exist, in reverse order of creation, then closes the sink.
    // Idempotent; never fails.
    void stop();
    // Waits, at most `timeout`, until a handler already running on the I/O queue has finished, so
    // that none of them is left holding the capture while the process ends. Call after stop(),
    // never from the I/O queue.
    void drainIOQueue(std::chrono::milliseconds timeout);

    // The per-callback work of the I/O block, on the I/O queue. Never fails: unusable buffer lists
    // are skipped. `time` tells the rate the device really delivers (see RateFollower).
    void consume(const AudioBufferList& input, const IOCycleTime& time = {});

    // The selection as a tap description, with the processes resolved. Creates nothing.
    TapDescription makeTapDescription();

    JSON startupLine() const;
    // Reads the counters: call on the I/O queue only.
    JSON diagnosticsLine() const;

    // Counters, for tests on the I/O queue's side (or after it has gone quiet).
    std::uint64_t packetCount() const { return packetCount_; }
    std::uint64_t frameCount() const { return frameCount_; }
    std::uint64_t writeCount() const { return writeCount_; }
    std::uint64_t byteCount() const { return byteCount_; }
    float lastPeak() const { return lastPeak_; }
    std::uint64_t silentPacketCount() const { return silentPacketCount_; }
    double sourceRate() const { return rateFollower_.rate(); }
    IOQueue& ioQueue() { return ioQueue_; }
    // Lets consume() run outside a capture (tests, benchmarks).
    void setResamplerForTesting(double inputRate);

    // The line that announces a change of the source's rate or channel count.
    static JSON sourceFormatLine(double sampleRate, std::uint32_t channels);

  private:
    struct DiagnosticTimer;
    struct StateTimer;

    CoreAudioTapCapture(CLIOptions options, std::shared_ptr<AudioSink> sink, Platform& platform);

    std::string readTapUID();
    AudioStreamBasicDescription readTapFormat();
    void createAggregateDevice(const std::string& tapUID);
    void registerIOProc();
    // The chain: the tap (and the permission probe), its aggregate device, the I/O proc and the
    // device's event listener, made in this order and released in the reverse one. Building
    // throws HelperError naming the failing step; releasing never fails.
    void buildChain(TapDescription description);
    void startDevice();
    void releaseChain();
    void listenForDeviceEvents();
    // Main thread, a few times a second: tells the state monitor what happened, writes the state
    // lines and decides whether to rebuild the chain.
    void startStateWatch();
    void watchState();
    void recover(const AudioObservation& seen);
    bool rebuildAllowed(std::chrono::steady_clock::time_point now);
    // Announces the rebuild with `cause`, releases the chain and builds it again with the
    // processes the tap covered. Throws HelperError when a step fails.
    void rebuildChain(const AudioState& cause);
    // Whether any process the tap takes in produces output; absent when the platform cannot tell.
    std::optional<bool> sourcesRunningOutput();
    // --include-tree only: every chosen process has exited.
    bool sourcesGone();
    void installSignalHandlers();
    void startDiagnostics();
    // The rate the device runs at, when it tells one; else the tap format's.
    double deviceRate(double tapRate);
    // On the I/O queue: follows the source's rate and channels, announcing each change. True when
    // the rate changed with this cycle.
    bool followSourceFormat(const IOCycleTime& time, std::size_t frames, std::uint32_t channels);
    // On the I/O queue: frames the device's clock says passed before this cycle that never came
    // (the graph did not schedule the capture, the device dropped cycles) go out as silence.
    void keepDeviceTime(const IOCycleTime& time, std::size_t frames, bool rateChanged);
    // On the I/O queue: one block to the sink, counted once the sink took it.
    // True when the block reached the sink and has a sample that is not an exact zero.
    bool deliver(std::span<const float> block);
    void deliverSilence(std::uint64_t frames);
    // A chosen process stands for its whole tree, which changes while the capture runs.
    bool followsProcesses() const;
    std::set<std::int32_t> chosenProcesses();
    void followProcesses();
    void processListChanged();
    void outputFailed();

    // Fixed at construction.
    const CLIOptions options_;
    const std::shared_ptr<AudioSink> sink_;
    AudioHardware& hardware_;
    Workspace& workspace_;
    IOQueue ioQueue_{kIOQueueLabel};
    // The sink's wire format is fixed with the sink: bytes per sample for byteCount.
    const std::uint64_t bytesPerSample_;

    // Main thread only.
    AudioObjectID tapID_ = kAudioObjectUnknown;
    AudioObjectID aggregateDeviceID_ = kAudioObjectUnknown;
    std::optional<IOProcID> ioProcID_;
    std::optional<ProcessListListenerID> processListener_;
    TapDescription tapDescription_;  // what the tap covers now
    ProcessTree processTree_;
    double inputSampleRate_ = 48000.0;
    std::shared_ptr<DiagnosticTimer> diagnosticTimer_;
    std::optional<DeviceEventListenerID> deviceListener_;
    DeviceComposition composition_ = DeviceComposition::tapIsMainAndClock;
    // The tap refused its own description right after it was made: no permission to capture.
    bool permissionDenied_ = false;
    bool deviceStarted_ = false;
    std::chrono::steady_clock::time_point chainStartedAt_{};
    std::uint64_t chainStartCallbacks_ = 0;  // the counts below when the chain started
    std::uint64_t chainStartAudible_ = 0;
    bool compositionChecked_ = false;
    std::uint64_t seenCallbacks_ = 0;  // the counts below at the last look
    std::uint64_t seenAudible_ = 0;
    AudioStateMonitor stateMonitor_;
    std::shared_ptr<StateTimer> stateTimer_;
    std::optional<DeviceEvent> pendingDeviceEvent_;
    std::uint64_t chainNumber_ = 0;  // counts the chains built, for their device events
    std::deque<std::chrono::steady_clock::time_point> rebuildTimes_;  // those of the last minute
    int rebuilds_ = 0;
    std::exception_ptr chainFailure_;  // a rebuild step that failed ends the capture

    // Written by run() before the device starts, then used by the I/O queue only, which replaces
    // them when the source's rate changes.
    std::unique_ptr<StereoResampler> resampler_;
    RateFollower rateFollower_;
    std::uint32_t sourceChannels_ = 0;  // of the last block; 0 before the first

    // I/O queue only: consume() and the diagnostics timer never overlap, so no lock.
    std::uint64_t packetCount_ = 0;
    std::uint64_t frameCount_ = 0;
    std::uint64_t writeCount_ = 0;
    std::uint64_t byteCount_ = 0;
    float lastPeak_ = 0.0f;
    std::uint64_t silentPacketCount_ = 0;  // delivered blocks whose samples are all exact zeros
    // Written on the I/O queue, read by the main thread's state watch: the device's callbacks, and
    // those whose block had a sample that is not an exact zero.
    std::atomic<std::uint64_t> callbackCount_{0};
    std::atomic<std::uint64_t> audibleCallbackCount_{0};
    // I/O queue only: the host time at which the output of a replaced chain ended; the new chain's
    // first cycle fills the gap up to its own start with silence.
    std::optional<std::uint64_t> resumeFromHostNs_;
    // The host time of the first frame of the last block that had one, and that frame's index in
    // the output stream; 0 before the first.
    std::uint64_t hostTimeNs_ = 0;
    std::uint64_t hostTimeFrame_ = 0;
    // The device's sample time, and host time, the next cycle should start at; absent before the
    // first and after a change of rate, when sample times start anew.
    std::optional<double> expectedSampleTime_;
    std::uint64_t expectedHostTimeNs_ = 0;
    // I/O queue only: the stereo block and the resampler's output, reused from one callback to the
    // next and grown to the largest block seen, so a running capture allocates nothing per cycle.
    std::vector<float> stereo_;
    std::vector<float> resampled_;

    // I/O queue only: the sink's failure has been handed to the main thread.
    bool outputFailureReported_ = false;

    // Set on the main thread when the backend reports that the audio server went away.
    std::atomic<bool> serverLost_{false};
    // Main thread only: the errno that ended the sink's delivery, once the I/O queue reported it.
    int outputFailure_ = 0;
};

}  // namespace qor
