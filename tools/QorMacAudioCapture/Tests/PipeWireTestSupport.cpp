#include "PipeWireTestSupport.h"

#include <signal.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <sstream>
#include <thread>

#include "AudioAnalysis.h"

namespace qor::testing {

namespace {

const std::string kScript = std::string(QOR_SOURCE_DIR) + "/scripts/audio-server.sh";

// Undoes bash's printf %q for the plain values the script prints (backslash escapes only).
std::string unquote(const std::string& text) {
    std::string value;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) {
            ++i;
        }
        value.push_back(text[i]);
    }
    return value;
}

struct ScriptOutput {
    bool started = false;
    Environment set;
    std::vector<std::string> unset;
};

ScriptOutput runScript(const std::string& command, const Environment& environment) {
    ProcessResult result =
        runProcess({"/bin/bash", kScript, command}, environment, {}, std::chrono::seconds(60));
    if (result.exitStatus != 0) {
        throw std::runtime_error("audio-server.sh " + command + " failed: " + result.err);
    }
    ScriptOutput output;
    for (const std::string& line : lines(result.out)) {
        if (line == "# started") {
            output.started = true;
        } else if (line.rfind("export ", 0) == 0) {
            const auto equals = line.find('=');
            output.set[line.substr(7, equals - 7)] = unquote(line.substr(equals + 1));
        } else if (line.rfind("unset ", 0) == 0) {
            std::istringstream names(line.substr(6));
            for (std::string name; names >> name;) {
                output.unset.push_back(name);
            }
        }
    }
    return output;
}

void writeSineWave(const std::string& path, double frequency, int seconds) {
    constexpr std::uint32_t rate = 48000;
    const std::uint32_t frames = rate * static_cast<std::uint32_t>(seconds);
    const std::uint32_t dataBytes = frames * 2;
    std::ofstream file(path, std::ios::binary);
    auto put32 = [&](std::uint32_t value) { file.write(reinterpret_cast<const char*>(&value), 4); };
    auto put16 = [&](std::uint16_t value) { file.write(reinterpret_cast<const char*>(&value), 2); };
    file.write("RIFF", 4);
    put32(36 + dataBytes);
    file.write("WAVEfmt ", 8);
    put32(16);
    put16(1);  // PCM
    put16(1);  // mono
    put32(rate);
    put32(rate * 2);
    put16(2);
    put16(16);
    file.write("data", 4);
    put32(dataBytes);
    for (std::uint32_t i = 0; i < frames; ++i) {
        const double sample = 0.5 * std::sin(2.0 * std::numbers::pi * frequency * i / rate);
        put16(static_cast<std::uint16_t>(static_cast<std::int16_t>(std::lround(sample * 32767.0))));
    }
}

std::optional<std::uint64_t> numberAt(const nlohmann::json& props, const char* key) {
    auto found = props.find(key);
    if (found == props.end()) {
        return std::nullopt;
    }
    if (found->is_number_integer()) {
        return found->get<std::uint64_t>();
    }
    if (found->is_string()) {
        return std::stoull(found->get<std::string>());
    }
    return std::nullopt;
}

const nlohmann::json& propsOf(const nlohmann::json& object) {
    static const nlohmann::json empty = nlohmann::json::object();
    auto info = object.find("info");
    if (info == object.end() || !info->is_object()) {
        return empty;
    }
    auto props = info->find("props");
    return props != info->end() && props->is_object() ? *props : empty;
}

std::uint32_t linkEnd(const nlohmann::json& link, const char* key) {
    auto info = link.find("info");
    return info != link.end() && info->is_object() ? info->value(key, 0u) : 0u;
}

}  // namespace

void AudioServerEnvironment::SetUp() {
    ScriptOutput output = runScript("start", {});
    for (const auto& [key, value] : output.set) {
        ::setenv(key.c_str(), value.c_str(), 1);
    }
    for (const auto& name : output.unset) {
        ::unsetenv(name.c_str());
    }
    started_ = output.started;
}

void AudioServerEnvironment::TearDown() {
    if (started_) {
        runScript("stop", {});
    }
}

DisposableAudioServer::DisposableAudioServer() {
    const Environment settings{{"QOR_AUDIO_DIR", directory_.path()},
                               {"QOR_SINK_NAME", "qor_disposable_sink"},
                               {"XDG_RUNTIME_DIR", ""},
                               {"PIPEWIRE_REMOTE", ""},
                               {"PIPEWIRE_RUNTIME_DIR", ""}};
    ScriptOutput output = runScript("start", settings);
    if (!output.started) {
        throw std::runtime_error("the disposable audio server did not start");
    }
    // Variables the script unsets are not set in this process either (the fixture saw to that).
    environment_ = output.set;
}

DisposableAudioServer::~DisposableAudioServer() {
    if (const int pid = pipewirePid(); pid > 0) {
        ::kill(pid, SIGCONT);
    }
    try {
        runScript("stop", {{"QOR_AUDIO_DIR", directory_.path()}});
    } catch (const std::exception&) {
    }
}

int DisposableAudioServer::pipewirePid() const {
    std::ifstream state(directory_.file("state"));
    for (std::string line; std::getline(state, line);) {
        if (line.rfind("pipewire_pid=", 0) == 0) {
            return std::stoi(line.substr(13));
        }
    }
    return -1;
}

std::unique_ptr<DisposableAudioServer::Use> DisposableAudioServer::use() const {
    return std::make_unique<Use>(environment_);
}

DisposableAudioServer::Use::Use(const Environment& environment) {
    for (const auto& [key, value] : environment) {
        const char* previous = std::getenv(key.c_str());
        saved_[key] = previous != nullptr ? std::optional<std::string>(previous) : std::nullopt;
        if (value.empty()) {
            ::unsetenv(key.c_str());
        } else {
            ::setenv(key.c_str(), value.c_str(), 1);
        }
    }
}

DisposableAudioServer::Use::~Use() {
    for (const auto& [key, value] : saved_) {
        if (value) {
            ::setenv(key.c_str(), value->c_str(), 1);
        } else {
            ::unsetenv(key.c_str());
        }
    }
}

nlohmann::json dumpServer(const Environment& environment) {
    ProcessResult result =
        runProcess({"/usr/bin/pw-dump"}, environment, {}, std::chrono::seconds(10));
    if (result.exitStatus != 0) {
        return nlohmann::json::array();
    }
    auto dump = nlohmann::json::parse(result.out, nullptr, false);
    return dump.is_array() ? dump : nlohmann::json::array();
}

const nlohmann::json* objectWithID(const nlohmann::json& dump, std::uint32_t id) {
    for (const auto& object : dump) {
        if (object.value("id", 0u) == id) {
            return &object;
        }
    }
    return nullptr;
}

std::vector<nlohmann::json> objectsOfType(const nlohmann::json& dump, const std::string& type) {
    std::vector<nlohmann::json> objects;
    for (const auto& object : dump) {
        if (object.value("type", "") == type) {
            objects.push_back(object);
        }
    }
    return objects;
}

std::optional<std::uint32_t> clientOfProcess(const nlohmann::json& dump, int pid) {
    for (const auto& client : objectsOfType(dump, "PipeWire:Interface:Client")) {
        if (numberAt(propsOf(client), "pipewire.sec.pid") == static_cast<std::uint32_t>(pid)) {
            return client.value("id", 0u);
        }
    }
    return std::nullopt;
}

std::vector<std::uint32_t> objectsOwnedBy(const nlohmann::json& dump, std::uint32_t client) {
    std::vector<std::uint32_t> owned;
    for (const auto& object : dump) {
        const std::string type = object.value("type", "");
        if ((type == "PipeWire:Interface:Node" || type == "PipeWire:Interface:Link") &&
            numberAt(propsOf(object), "client.id") == client) {
            owned.push_back(object.value("id", 0u));
        }
    }
    return owned;
}

std::vector<std::uint64_t> serialsOwnedBy(const nlohmann::json& dump, std::uint32_t client) {
    std::vector<std::uint64_t> serials;
    for (std::uint32_t id : objectsOwnedBy(dump, client)) {
        serials.push_back(numberAt(propsOf(*objectWithID(dump, id)), "object.serial").value_or(0));
    }
    return serials;
}

bool hasSerial(const nlohmann::json& dump, std::uint64_t serial) {
    for (const auto& object : dump) {
        if (numberAt(propsOf(object), "object.serial") == serial) {
            return true;
        }
    }
    return false;
}

std::vector<std::uint32_t> linksInto(const nlohmann::json& dump, std::uint32_t node) {
    std::vector<std::uint32_t> links;
    for (const auto& link : objectsOfType(dump, "PipeWire:Interface:Link")) {
        if (linkEnd(link, "input-node-id") == node) {
            links.push_back(link.value("id", 0u));
        }
    }
    return links;
}

bool waitForServer(const std::function<bool(const nlohmann::json&)>& predicate,
                   std::chrono::milliseconds timeout, const Environment& environment) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    do {
        if (predicate(dumpServer(environment))) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

std::vector<std::string> toneCommand(const TemporaryDirectory& directory, const std::string& name,
                                     double frequency) {
    const std::string program = directory.file(name);
    std::filesystem::copy_file("/usr/bin/pw-cat", program);
    const std::string wave = directory.file(name + ".wav");
    writeSineWave(wave, frequency, 30);
    return {program, "-p", wave};
}

bool waitUntilPlaying(int pid, const Environment& environment) {
    return waitForServer(
        [pid](const nlohmann::json& dump) {
            auto client = clientOfProcess(dump, pid);
            if (!client) {
                return false;
            }
            for (std::uint32_t id : objectsOwnedBy(dump, *client)) {
                const nlohmann::json* node = objectWithID(dump, id);
                if (node != nullptr && node->value("type", "") == "PipeWire:Interface:Node") {
                    for (const auto& link : objectsOfType(dump, "PipeWire:Interface:Link")) {
                        if (linkEnd(link, "output-node-id") == id) {
                            return true;
                        }
                    }
                }
            }
            return false;
        },
        std::chrono::seconds(10), environment);
}

TonePlayer::TonePlayer(const std::string& name, double frequency, const Environment& environment)
    : name_(name) {
    Environment withWarnings = environment;
    withWarnings.emplace("PIPEWIRE_DEBUG", "2");
    process_ = std::make_unique<Subprocess>(toneCommand(directory_, name, frequency), withWarnings);
    if (!waitUntilPlaying(process_->pid(), environment)) {
        throw std::runtime_error("tone player " + name + " did not start playing");
    }
}

TonePlayer::~TonePlayer() {
    process_->sendSignal(SIGTERM);
    process_->wait(std::chrono::seconds(5));
}

std::unique_ptr<Subprocess> startDelayedTone(double frequency, std::chrono::milliseconds delay,
                                             const std::vector<std::string>& child,
                                             const Environment& environment) {
    std::vector<std::string> arguments{QOR_DELAYED_TONE, std::to_string(frequency),
                                       std::to_string(delay.count())};
    arguments.insert(arguments.end(), child.begin(), child.end());
    return std::make_unique<Subprocess>(std::move(arguments), environment);
}

std::vector<double> toneLevels(const std::vector<float>& stereo, double frequency) {
    constexpr std::size_t kWindow = 2 * 12000;
    std::vector<double> levels;
    const std::size_t windows = std::min<std::size_t>(6, stereo.size() / kWindow);
    for (std::size_t w = windows; w > 0; --w) {
        std::span<const float> slice(stereo.data() + stereo.size() - w * kWindow, kWindow);
        levels.push_back(amplitudeAt(channel(slice, 0), 48000.0, frequency));
    }
    return levels;
}

double loudest(const std::vector<double>& levels) {
    return levels.empty() ? 0.0 : *std::max_element(levels.begin(), levels.end());
}

std::string describe(const std::vector<double>& levels) {
    std::string text = "levels per quarter second:";
    for (double level : levels) {
        text += " " + std::to_string(level);
    }
    return text;
}

}  // namespace qor::testing
