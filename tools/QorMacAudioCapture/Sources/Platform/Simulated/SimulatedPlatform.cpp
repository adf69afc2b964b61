#include "SimulatedPlatform.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <cmath>
#include <fstream>
#include <functional>
#include <numbers>

#include "IOQueue.h"

namespace qor::simulated {

// Produces the device's callbacks on the capture's I/O queue, on a clock of its own. Lives from
// deviceStart until deviceStop; the timers are touched on the I/O queue only.
class SimulatedPlatform::Generator : public std::enable_shared_from_this<Generator> {
  public:
    using Tones = std::vector<std::pair<double, float>>;
    Generator(IOQueue& queue, IOBlock block, DeviceLostHandler lost, const Scenario& scenario,
              std::function<Tones(double seconds)> advance)
        : timer_(queue.executor()),
          loseTimer_(queue.executor()),
          block_(std::move(block)),
          lost_(std::move(lost)),
          format_(scenario.format),
          frames_(std::max<std::uint32_t>(scenario.framesPerCallback, 1)),
          advance_(std::move(advance)),
          loseAfter_(scenario.loseServerAfterSeconds),
          changes_(scenario.rateChanges),
          deliverSeconds_(scenario.deliverSeconds),
          stalls_(scenario.stalls),
          planar_((format_.mFormatFlags & kAudioFormatFlagIsNonInterleaved) != 0 &&
                  format_.mChannelsPerFrame > 1),
          storage_(planar_ ? format_.mChannelsPerFrame : 1),
          rate_(deliveredRate(scenario)),
          announced_(rate_),
          channels_(std::max<std::uint32_t>(format_.mChannelsPerFrame, 1)) {
        std::uint32_t most = channels_;
        for (const RateChange& change : changes_) {
            most = std::max(most, change.channels.value_or(1));
        }
        samples_.assign(std::size_t{most} * frames_, 0.0f);
        if (planar_) {
            for (std::uint32_t c = 0; c < channels_; ++c) {
                storage_.buffer(c) = {1, frames_ * 4, samples_.data() + std::size_t{c} * frames_};
            }
        } else {
            layOut();
        }
    }

    static double deliveredRate(const Scenario& scenario) {
        const double rate = scenario.deviceRate.value_or(scenario.format.mSampleRate);
        return rate > 0 ? rate : 48000.0;
    }

    void start() {
        boost::asio::post(timer_.get_executor(), [self = shared_from_this()] {
            self->start_ = std::chrono::steady_clock::now();
            self->schedule();
            if (self->loseAfter_) {
                self->loseTimer_.expires_after(
                    std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                        std::chrono::duration<double>(*self->loseAfter_)));
                self->loseTimer_.async_wait([self](const boost::system::error_code& error) {
                    if (!error && !self->stopped_) {
                        self->stopped_ = true;
                        self->timer_.cancel();
                        self->lost_();
                    }
                });
            }
        });
    }

    // Once its clock has run `seconds`, the device calls `end` instead of its next cycle and
    // delivers nothing more. Call before start().
    void endWith(double seconds, std::function<void()> end) {
        endAt_ = seconds;
        end_ = std::move(end);
    }

    void stop() {
        stopped_ = true;
        boost::asio::post(timer_.get_executor(), [self = shared_from_this()] {
            self->timer_.cancel();
            self->loseTimer_.cancel();
        });
    }

  private:
    void layOut() { storage_.buffer(0) = {channels_, channels_ * frames_ * 4, samples_.data()}; }

    std::chrono::steady_clock::time_point at(double deviceSeconds) const {
        return start_ + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                            std::chrono::duration<double>(deviceSeconds));
    }

    // A cycle's frames take their time at the rate the device runs at when the cycle begins.
    void schedule() {
        if (deliverSeconds_ && seconds_ >= *deliverSeconds_ - 1e-9) {
            return;
        }
        timer_.expires_at(at(seconds_ + frames_ / rate_));
        timer_.async_wait([self = shared_from_this()](const boost::system::error_code& error) {
            if (error || self->stopped_) {
                return;
            }
            self->cycle();
            self->schedule();
        });
    }

    void applyRateChanges() {
        while (nextChange_ < changes_.size() && changes_[nextChange_].afterSeconds <= seconds_) {
            const RateChange& change = changes_[nextChange_++];
            rate_ = change.rate > 0 ? change.rate : rate_;
            if (change.announced) {
                announced_ = rate_;
            }
            if (change.channels && !planar_) {
                channels_ = std::max<std::uint32_t>(*change.channels, 1);
                layOut();
            }
        }
    }

    // Channel 0 carries the mix, channel 1 its negation, further channels a constant, so a test
    // can tell which channels reached the block.
    void cycle() {
        if (endAt_ && seconds_ >= *endAt_) {
            stopped_ = true;
            end_();
            return;
        }
        applyRateChanges();
        const Tones tones = advance_(seconds_);
        if (stopped_) {
            return;
        }
        for (std::uint32_t k = 0; k < frames_; ++k) {
            const double time = seconds_ + k / rate_;
            double mix = 0.0;
            for (const auto& [frequency, amplitude] : tones) {
                mix += amplitude * std::sin(2.0 * std::numbers::pi * frequency * time);
            }
            for (std::uint32_t c = 0; c < channels_; ++c) {
                const float value = c == 0 ? float(mix) : c == 1 ? float(-mix) : 0.125f;
                const std::size_t index =
                    planar_ ? std::size_t{c} * frames_ + k : std::size_t{k} * channels_ + c;
                samples_[index] = value;
            }
        }
        IOCycleTime time;
        time.sampleTime = static_cast<double>(frameIndex_);
        time.hostTimeNs = static_cast<std::uint64_t>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(at(seconds_).time_since_epoch())
                .count());
        time.sampleTimeValid = time.hostTimeValid = true;
        time.announcedRate = announced_;
        const double at = seconds_;
        frameIndex_ += frames_;
        seconds_ += frames_ / rate_;
        const bool stalled = std::any_of(stalls_.begin(), stalls_.end(), [at](const auto& stall) {
            return at >= stall.first && at < stall.first + stall.second;
        });
        if (!stalled && block_) {
            block_(storage_.list(), time);
        }
    }

    boost::asio::steady_timer timer_;
    boost::asio::steady_timer loseTimer_;
    const IOBlock block_;
    const DeviceLostHandler lost_;
    const AudioStreamBasicDescription format_;
    const std::uint32_t frames_;
    const std::function<Tones(double)> advance_;
    const std::optional<double> loseAfter_;
    std::optional<double> endAt_;
    std::function<void()> end_;
    const std::vector<RateChange> changes_;
    const std::optional<double> deliverSeconds_;
    const std::vector<std::pair<double, double>> stalls_;
    const bool planar_;
    AudioBufferListStorage storage_;
    std::vector<float> samples_;
    // The I/O queue's: the device's clock, in frames and in seconds, and what it runs at now.
    std::chrono::steady_clock::time_point start_;
    std::uint64_t frameIndex_ = 0;
    double seconds_ = 0.0;
    double rate_;
    double announced_;
    std::uint32_t channels_;
    std::size_t nextChange_ = 0;
    std::atomic<bool> stopped_{false};
};

namespace {

std::string decodeHex(const std::string& hex) {
    std::string bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

AudioStreamBasicDescription formatFromJSON(const JSON& json) {
    AudioStreamBasicDescription format{
        48000.0, kAudioFormatLinearPCM, kAudioFormatFlagIsFloat, 8, 1, 8, 2, 32, 0};
    format.mSampleRate = json.value("sampleRate", 48000.0);
    format.mChannelsPerFrame = json.value("channels", 2u);
    format.mBitsPerChannel = json.value("bits", 32u);
    const std::string id = json.value("formatID", std::string("lpcm"));
    if (id.size() == 4) {
        char code[5] = {id[0], id[1], id[2], id[3], 0};
        format.mFormatID = fourCharCode(code);
    }
    format.mFormatFlags = json.value("float", true) ? kAudioFormatFlagIsFloat : 0;
    if (!json.value("interleaved", true)) {
        format.mFormatFlags |= kAudioFormatFlagIsNonInterleaved;
    }
    const std::uint32_t bytes = format.mBitsPerChannel / 8;
    format.mBytesPerFrame =
        json.value("interleaved", true) ? bytes * format.mChannelsPerFrame : bytes;
    format.mBytesPerPacket = format.mBytesPerFrame;
    return format;
}

}  // namespace

Scenario Scenario::fromJSON(const JSON& json) {
    Scenario scenario;
    for (const JSON& entry : json.value("applications", JSON::array())) {
        Application application;
        application.pid = entry.value("pid", 0);
        if (entry.contains("bundleId") && entry["bundleId"].is_string()) {
            application.bundleIdentifier = entry["bundleId"].get<std::string>();
        }
        if (entry.contains("name") && entry["name"].is_string()) {
            application.localizedName = entry["name"].get<std::string>();
        }
        // Names that are not valid UTF-8 cannot travel in JSON text; they come as hex bytes.
        if (entry.contains("nameHex") && entry["nameHex"].is_string()) {
            application.localizedName = decodeHex(entry["nameHex"].get<std::string>());
        }
        application.terminated = entry.value("terminated", false);
        application.policy = static_cast<ActivationPolicy>(entry.value("policy", 0));
        application.audioObject = entry.value("audioObject", 0u);
        application.translateStatus = entry.value("translateStatus", 0);
        application.toneFrequency = entry.value("frequency", 440.0);
        application.toneAmplitude = entry.value("amplitude", 0.5f);
        application.parentPid = entry.value("parentPid", 1);
        if (entry.contains("responsiblePid")) {
            application.responsiblePid = entry["responsiblePid"].get<std::int32_t>();
        }
        application.application = entry.value("application", true);
        application.startsAfter = entry.value("startsAfter", 0.0);
        if (entry.contains("endsAfter")) {
            application.endsAfter = entry["endsAfter"].get<double>();
        }
        if (entry.contains("playsUntil")) {
            application.playsUntil = entry["playsUntil"].get<double>();
        }
        scenario.applications.push_back(std::move(application));
    }
    if (json.contains("ownPid")) {
        scenario.ownPid = json["ownPid"].get<std::int32_t>();
    }
    scenario.supported = json.value("supported", true);
    scenario.requirement = json.value("requirement", std::string("macos")) == "pipewire"
                               ? SystemRequirement::pipeWireServer
                               : SystemRequirement::macOS14_2;
    if (json.contains("format")) {
        scenario.format = formatFromJSON(json["format"]);
    }
    scenario.framesPerCallback = json.value("framesPerCallback", 480u);
    if (json.contains("deviceRate")) {
        scenario.deviceRate = json["deviceRate"].get<double>();
    }
    for (const JSON& stall : json.value("stalls", JSON::array())) {
        scenario.stalls.emplace_back(stall.at(0).get<double>(), stall.at(1).get<double>());
    }
    if (json.contains("deliverSeconds")) {
        scenario.deliverSeconds = json["deliverSeconds"].get<double>();
    }
    for (const JSON& entry : json.value("rateChanges", JSON::array())) {
        RateChange change;
        change.afterSeconds = entry.value("afterSeconds", 0.0);
        change.rate = entry.value("rate", 48000.0);
        if (entry.contains("channels")) {
            change.channels = entry["channels"].get<std::uint32_t>();
        }
        change.announced = entry.value("announced", true);
        scenario.rateChanges.push_back(change);
    }
    const JSON failures = json.value("failures", JSON::object());
    for (const auto& [operation, status] : failures.items()) {
        scenario.failures[operation] = status.get<OSStatus>();
    }
    if (json.contains("loseServerAfterSeconds")) {
        scenario.loseServerAfterSeconds = json["loseServerAfterSeconds"].get<double>();
    }
    for (const JSON& span : json.value("zeroSpans", JSON::array())) {
        scenario.zeroSpans.emplace_back(span.at(0).get<double>(), span.at(1).get<double>());
    }
    if (json.contains("serviceRestartAfterSeconds")) {
        scenario.deviceEvent = {json["serviceRestartAfterSeconds"].get<double>(),
                                DeviceEvent::serviceRestarted};
    }
    if (json.contains("deviceDiesAfterSeconds")) {
        scenario.deviceEvent = {json["deviceDiesAfterSeconds"].get<double>(),
                                DeviceEvent::deviceDied};
    }
    scenario.compositionFault = json.value("compositionFault", std::string());
    const JSON rebuildFailures = json.value("rebuildFailures", JSON::object());
    for (const auto& [operation, status] : rebuildFailures.items()) {
        scenario.rebuildFailures[operation] = status.get<OSStatus>();
    }
    scenario.eventLogPath = json.value("eventLog", std::string());
    return scenario;
}

SimulatedPlatform::SimulatedPlatform(Scenario scenario) : scenario_(std::move(scenario)) {}

SimulatedPlatform::~SimulatedPlatform() {
    for (auto& [id, proc] : procs_) {
        if (proc.generator) {
            proc.generator->stop();
        }
    }
}

OSStatus SimulatedPlatform::failure(const std::string& operation) const {
    // A chain starts with its tap: the operation belongs to the chain of the latest tap, or, for
    // a tap, to the one it starts.
    const std::size_t chain = operation == "createProcessTap" ? tapsCreated_ + 1 : tapsCreated_;
    if (chain > 1) {
        auto found = scenario_.rebuildFailures.find(operation);
        if (found != scenario_.rebuildFailures.end()) {
            return found->second;
        }
    }
    auto found = scenario_.failures.find(operation);
    return found == scenario_.failures.end() ? 0 : found->second;
}

void SimulatedPlatform::record(const std::string& event) {
    events_.push_back(event);
    if (!scenario_.eventLogPath.empty()) {
        std::ofstream(scenario_.eventLogPath, std::ios::app) << event << '\n';
    }
}

std::vector<std::string> SimulatedPlatform::events() const {
    std::lock_guard guard(mutex_);
    return events_;
}

std::size_t SimulatedPlatform::liveObjects() const {
    std::lock_guard guard(mutex_);
    return taps_.size() + deviceTap_.size() + procs_.size() + listeners_.size() +
           deviceListeners_.size();
}

std::vector<TapDescription> SimulatedPlatform::tapDescriptions() const {
    std::lock_guard guard(mutex_);
    return tapHistory_;
}

std::vector<AggregateDeviceDescription> SimulatedPlatform::aggregateDescriptions() const {
    std::lock_guard guard(mutex_);
    return aggregateHistory_;
}

std::size_t SimulatedPlatform::translateCalls() const {
    std::lock_guard guard(mutex_);
    return translateCalls_;
}

std::size_t SimulatedPlatform::workspaceReads() const {
    std::lock_guard guard(mutex_);
    return workspaceReads_;
}

OSStatus SimulatedPlatform::createProcessTap(const TapDescription& description,
                                             AudioObjectID& outTap) {
    std::lock_guard guard(mutex_);
    tapHistory_.push_back(description);
    if (OSStatus status = failure("createProcessTap")) {
        return status;
    }
    outTap = nextObject_++;
    ++tapsCreated_;
    taps_[outTap] = description;
    record("create tap " + std::to_string(outTap));
    return 0;
}

OSStatus SimulatedPlatform::readTapUID(AudioObjectID tap, std::string& outUID) {
    std::lock_guard guard(mutex_);
    if (OSStatus status = failure("readTapUID")) {
        return status;
    }
    if (!taps_.contains(tap)) {
        return -50;
    }
    outUID = "simulated-tap-" + std::to_string(tap);
    return 0;
}

OSStatus SimulatedPlatform::readTapFormat(AudioObjectID tap,
                                          AudioStreamBasicDescription& outFormat) {
    std::lock_guard guard(mutex_);
    if (OSStatus status = failure("readTapFormat")) {
        return status;
    }
    if (!taps_.contains(tap)) {
        return -50;
    }
    outFormat = scenario_.format;
    return 0;
}

OSStatus SimulatedPlatform::translatePIDToProcessObject(std::int32_t pid,
                                                        AudioObjectID& outObject) {
    std::lock_guard guard(mutex_);
    ++translateCalls_;
    for (const Application& application : scenario_.applications) {
        if (application.pid == pid && exists(application)) {
            if (application.translateStatus != 0) {
                return application.translateStatus;
            }
            outObject = application.audioObject;
            return 0;
        }
    }
    outObject = 0;
    return 0;
}

OSStatus SimulatedPlatform::createAggregateDevice(const AggregateDeviceDescription& description,
                                                  AudioObjectID& outDevice) {
    std::lock_guard guard(mutex_);
    aggregateHistory_.push_back(description);
    if (OSStatus status = failure("createAggregateDevice")) {
        return status;
    }
    AudioObjectID tap = 0;
    for (const auto& [id, _] : taps_) {
        if (description.taps.size() == 1 &&
            description.taps[0].uid == "simulated-tap-" + std::to_string(id)) {
            tap = id;
        }
    }
    if (tap == 0) {
        return -50;
    }
    outDevice = nextObject_++;
    deviceTap_[outDevice] = tap;
    if (!description.clockDevice.empty() && !description.mainSubDevice.empty()) {
        tapClockedDevices_.insert(outDevice);
    }
    record("create device " + std::to_string(outDevice));
    return 0;
}

OSStatus SimulatedPlatform::readDeviceSampleRate(AudioObjectID device, double& outRate) {
    std::lock_guard guard(mutex_);
    if (OSStatus status = failure("readDeviceSampleRate")) {
        return status;
    }
    if (!deviceTap_.contains(device)) {
        return -50;
    }
    outRate = Generator::deliveredRate(scenario_);
    return 0;
}

std::vector<std::pair<double, float>> SimulatedPlatform::tonesFor(const TapDescription& tap) const {
    std::vector<std::pair<double, float>> tones;
    const bool mixdown = tap.kind == TapDescription::Kind::stereoMixdownOfProcesses;
    for (const Application& application : scenario_.applications) {
        if (application.audioObject == 0 || !playing(application)) {
            continue;
        }
        const bool listed = std::find(tap.processes.begin(), tap.processes.end(),
                                      application.audioObject) != tap.processes.end();
        if (listed == mixdown) {
            tones.emplace_back(application.toneFrequency, application.toneAmplitude);
        }
    }
    return tones;
}

OSStatus SimulatedPlatform::createIOProcIDWithBlock(AudioObjectID device, IOQueue& queue,
                                                    IOBlock block, DeviceLostHandler lost,
                                                    IOProcID& outProc) {
    std::lock_guard guard(mutex_);
    if (OSStatus status = failure("createIOProc")) {
        return status;
    }
    if (!deviceTap_.contains(device)) {
        return -50;
    }
    outProc = nextObject_++;
    procs_[outProc] = Proc{device, &queue, std::move(block), std::move(lost), nullptr};
    record("create ioproc " + std::to_string(outProc));
    return 0;
}

OSStatus SimulatedPlatform::deviceStart(AudioObjectID device, IOProcID proc) {
    std::lock_guard guard(mutex_);
    if (OSStatus status = failure("deviceStart")) {
        return status;
    }
    auto found = procs_.find(proc);
    if (found == procs_.end() || found->second.device != device) {
        return -50;
    }
    Proc& entry = found->second;
    // The clock runs on from where the previous device left it; only the first device meets the
    // scenario's device event, and a device with the faulty composition may never call.
    const double base = clock_;
    const bool first = devicesStarted_++ == 0;
    const bool calls =
        scenario_.compositionFault != "no_callbacks" || !tapClockedDevices_.contains(device);
    // The device's cycles end at the same time of the clock, whichever device runs then.
    Scenario timed = scenario_;
    if (timed.deliverSeconds) {
        timed.deliverSeconds = std::max(*timed.deliverSeconds - base, 0.0);
    }
    entry.generator = std::make_shared<Generator>(
        *entry.queue, calls ? entry.block : IOBlock{}, entry.lost, timed,
        [this, device, base](double seconds) { return advance(device, base + seconds); });
    if (first && scenario_.deviceEvent) {
        entry.generator->endWith(scenario_.deviceEvent->first,
                                 [this, device] { tell(device, scenario_.deviceEvent->second); });
    }
    entry.generator->start();
    record("start device " + std::to_string(device));
    return 0;
}

OSStatus SimulatedPlatform::deviceStop(AudioObjectID device, IOProcID proc) {
    std::lock_guard guard(mutex_);
    auto found = procs_.find(proc);
    if (found != procs_.end() && found->second.generator) {
        found->second.generator->stop();
        found->second.generator.reset();
    }
    record("stop device " + std::to_string(device));
    return 0;
}

OSStatus SimulatedPlatform::destroyIOProcID(AudioObjectID, IOProcID proc) {
    std::lock_guard guard(mutex_);
    auto found = procs_.find(proc);
    if (found == procs_.end()) {
        return -50;
    }
    if (found->second.generator) {
        found->second.generator->stop();
    }
    procs_.erase(found);
    record("destroy ioproc " + std::to_string(proc));
    return 0;
}

OSStatus SimulatedPlatform::destroyAggregateDevice(AudioObjectID device) {
    std::lock_guard guard(mutex_);
    tapClockedDevices_.erase(device);
    if (deviceTap_.erase(device) == 0) {
        return -50;
    }
    record("destroy device " + std::to_string(device));
    return 0;
}

OSStatus SimulatedPlatform::destroyProcessTap(AudioObjectID tap) {
    std::lock_guard guard(mutex_);
    if (taps_.erase(tap) == 0) {
        return -50;
    }
    record("destroy tap " + std::to_string(tap));
    return 0;
}

std::vector<RunningApplication> SimulatedPlatform::runningApplications() {
    std::lock_guard guard(mutex_);
    ++workspaceReads_;
    std::vector<RunningApplication> applications;
    for (const Application& application : scenario_.applications) {
        if (!application.application || !exists(application)) {
            continue;
        }
        applications.push_back(RunningApplication{application.pid, application.bundleIdentifier,
                                                  application.localizedName, application.terminated,
                                                  application.policy});
    }
    return applications;
}

std::int32_t SimulatedPlatform::ownProcessIdentifier() {
    return scenario_.ownPid.value_or(static_cast<std::int32_t>(::getpid()));
}

std::optional<std::int32_t> SimulatedPlatform::parentProcessIdentifier(std::int32_t pid) {
    std::lock_guard guard(mutex_);
    const Application* application = running(pid);
    return application ? std::optional(application->parentPid) : std::nullopt;
}

std::optional<std::int32_t> SimulatedPlatform::responsibleProcessIdentifier(std::int32_t pid) {
    std::lock_guard guard(mutex_);
    const Application* application = running(pid);
    return application ? application->responsiblePid : std::nullopt;
}

const Application* SimulatedPlatform::running(std::int32_t pid) const {
    for (const Application& application : scenario_.applications) {
        if (application.pid == pid && exists(application)) {
            return &application;
        }
    }
    return nullptr;
}

bool SimulatedPlatform::exists(const Application& application) const {
    return clock_ >= application.startsAfter &&
           (!application.endsAfter || clock_ < *application.endsAfter);
}

OSStatus SimulatedPlatform::readProcessList(std::vector<AudioProcess>& outProcesses) {
    std::lock_guard guard(mutex_);
    if (OSStatus status = failure("readProcessList")) {
        return status;
    }
    outProcesses.clear();
    for (const Application& application : scenario_.applications) {
        if (application.audioObject != 0 && !application.terminated && exists(application)) {
            outProcesses.push_back({application.audioObject, application.pid});
        }
    }
    return 0;
}

OSStatus SimulatedPlatform::addProcessListListener(ProcessListHandler handler,
                                                   ProcessListListenerID& outListener) {
    std::lock_guard guard(mutex_);
    if (OSStatus status = failure("addProcessListListener")) {
        return status;
    }
    outListener = nextListener_++;
    listeners_[outListener] = std::move(handler);
    record("add process listener " + std::to_string(outListener));
    return 0;
}

OSStatus SimulatedPlatform::removeProcessListListener(ProcessListListenerID listener) {
    std::lock_guard guard(mutex_);
    if (listeners_.erase(listener) == 0) {
        return -50;
    }
    record("remove process listener " + std::to_string(listener));
    return 0;
}

OSStatus SimulatedPlatform::setTapDescription(AudioObjectID tap,
                                              const TapDescription& description) {
    std::lock_guard guard(mutex_);
    if (OSStatus status = failure("setTapDescription")) {
        return status;
    }
    auto found = taps_.find(tap);
    if (found == taps_.end()) {
        return -50;
    }
    if (found->second.processes == description.processes) {
        return 0;  // nothing changes, nothing to record
    }
    found->second.processes = description.processes;
    std::string list;
    for (AudioObjectID object : description.processes) {
        list += (list.empty() ? "" : ",") + std::to_string(object);
    }
    record("update tap " + std::to_string(tap) + " [" + list + "]");
    return 0;
}

std::vector<std::pair<double, float>> SimulatedPlatform::advance(AudioObjectID device,
                                                                 double seconds) {
    std::vector<ProcessListHandler> toTell;
    std::vector<std::pair<double, float>> tones;
    {
        std::lock_guard guard(mutex_);
        clock_ = seconds;
        std::vector<std::int32_t> existing;
        for (const Application& application : scenario_.applications) {
            if (exists(application)) {
                existing.push_back(application.pid);
            }
        }
        if (existing != existing_) {
            if (seconds > 0.0) {
                for (std::int32_t pid : existing) {
                    if (std::find(existing_.begin(), existing_.end(), pid) == existing_.end()) {
                        record("process " + std::to_string(pid) + " starts");
                    }
                }
                for (std::int32_t pid : existing_) {
                    if (std::find(existing.begin(), existing.end(), pid) == existing.end()) {
                        record("process " + std::to_string(pid) + " ends");
                    }
                }
                for (const auto& [id, handler] : listeners_) {
                    toTell.push_back(handler);
                }
            }
            existing_ = std::move(existing);
        }
        const bool zeros =
            std::any_of(scenario_.zeroSpans.begin(), scenario_.zeroSpans.end(),
                        [seconds](const auto& span) {
                            return seconds >= span.first && seconds < span.first + span.second;
                        }) ||
            (scenario_.compositionFault == "zeros" && tapClockedDevices_.contains(device));
        auto tap = deviceTap_.find(device);
        if (!zeros && tap != deviceTap_.end() && taps_.contains(tap->second)) {
            tones = tonesFor(taps_.at(tap->second));
        }
    }
    for (const ProcessListHandler& handler : toTell) {
        handler();
    }
    return tones;
}

bool SimulatedPlatform::playing(const Application& application) const {
    return !application.terminated && exists(application) &&
           (!application.playsUntil || clock_ < *application.playsUntil);
}

OSStatus SimulatedPlatform::readProcessIsRunningOutput(AudioObjectID process, bool& outRunning) {
    std::lock_guard guard(mutex_);
    if (OSStatus status = failure("readProcessIsRunningOutput")) {
        return status;
    }
    for (const Application& application : scenario_.applications) {
        if (application.audioObject == process && exists(application)) {
            outRunning = playing(application);
            return 0;
        }
    }
    return -50;
}

OSStatus SimulatedPlatform::addDeviceEventListener(AudioObjectID device, DeviceEventHandler handler,
                                                   DeviceEventListenerID& outListener) {
    std::lock_guard guard(mutex_);
    if (OSStatus status = failure("addDeviceEventListener")) {
        return status;
    }
    if (!deviceTap_.contains(device)) {
        return -50;
    }
    outListener = nextDeviceListener_++;
    deviceListeners_[outListener] = {device, std::move(handler)};
    return 0;
}

OSStatus SimulatedPlatform::removeDeviceEventListener(DeviceEventListenerID listener) {
    std::lock_guard guard(mutex_);
    return deviceListeners_.erase(listener) == 0 ? -50 : 0;
}

void SimulatedPlatform::tell(AudioObjectID device, DeviceEvent event) {
    std::vector<DeviceEventHandler> toTell;
    {
        std::lock_guard guard(mutex_);
        record(std::string(event == DeviceEvent::serviceRestarted ? "service restarts"
                                                                  : "device dies") +
               " " + std::to_string(device));
        for (const auto& [id, listener] : deviceListeners_) {
            if (listener.first == device) {
                toTell.push_back(listener.second);
            }
        }
    }
    for (const DeviceEventHandler& handler : toTell) {
        handler(event);
    }
}

}  // namespace qor::simulated
