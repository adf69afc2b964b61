// Real PipeWire peers for the backend's tests: the private headless server
// (scripts/audio-server.sh), tone players, and the server's object list as pw-dump reports it.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "Subprocess.h"

namespace qor::testing {

// Points this process (and so every child) at the private server, starting it when no server is
// reachable; stops it at the end only if it started it.
class AudioServerEnvironment : public ::testing::Environment {
  public:
    void SetUp() override;
    void TearDown() override;

  private:
    bool started_ = false;
};

// A second private server that a test may kill or freeze: its own runtime directory, bus and
// daemons. Its environment is given to the processes that should use it.
class DisposableAudioServer {
  public:
    DisposableAudioServer();
    ~DisposableAudioServer();
    DisposableAudioServer(const DisposableAudioServer&) = delete;
    DisposableAudioServer& operator=(const DisposableAudioServer&) = delete;

    const Environment& environment() const { return environment_; }
    int pipewirePid() const;
    // Sets this process's environment to the server's until the returned object goes.
    class Use;
    std::unique_ptr<Use> use() const;

  private:
    TemporaryDirectory directory_;
    Environment environment_;
};

class DisposableAudioServer::Use {
  public:
    explicit Use(const Environment& environment);
    ~Use();

  private:
    std::map<std::string, std::optional<std::string>> saved_;
};

// The server's objects (pw-dump's JSON array).
nlohmann::json dumpServer(const Environment& environment = {});
const nlohmann::json* objectWithID(const nlohmann::json& dump, std::uint32_t id);
std::vector<nlohmann::json> objectsOfType(const nlohmann::json& dump, const std::string& type);
// The client of the process, as the server saw it on the socket (pipewire.sec.pid).
std::optional<std::uint32_t> clientOfProcess(const nlohmann::json& dump, int pid);
// Nodes and links whose client.id is the client.
std::vector<std::uint32_t> objectsOwnedBy(const nlohmann::json& dump, std::uint32_t client);
// The same objects by object.serial, which unlike ids the server never hands out again.
std::vector<std::uint64_t> serialsOwnedBy(const nlohmann::json& dump, std::uint32_t client);
bool hasSerial(const nlohmann::json& dump, std::uint64_t serial);
// Links into any input port of the node.
std::vector<std::uint32_t> linksInto(const nlohmann::json& dump, std::uint32_t node);
// Polls pw-dump until `predicate` holds; false after the timeout.
bool waitForServer(const std::function<bool(const nlohmann::json&)>& predicate,
                   std::chrono::milliseconds timeout, const Environment& environment = {});

// The command line of a copy of pw-cat under its own name playing a mono sine for 30 seconds, so
// it is a client with its own pid, name and bundle identifier; the copy and its sound file are
// made in `directory`.
std::vector<std::string> toneCommand(const TemporaryDirectory& directory, const std::string& name,
                                     double frequency);
// Waits until the process's stream exists and the session manager has linked it to the sink.
bool waitUntilPlaying(int pid, const Environment& environment = {});

// A tone command started on its own. Returns once its stream plays.
class TonePlayer {
  public:
    TonePlayer(const std::string& name, double frequency, const Environment& environment = {});
    ~TonePlayer();
    int pid() const { return process_->pid(); }
    const std::string& name() const { return name_; }
    bool playing() const { return process_->running(); }
    // How it ended, and what it said on standard error (PipeWire's warnings among it).
    std::string describe() const { return process_->describe(); }

  private:
    TemporaryDirectory directory_;
    std::string name_;
    std::unique_ptr<Subprocess> process_;
};

// The delayed-stream peer (qor-delayed-tone): a client at once, a stream after `delay`; with a
// child command, the parent of that command's process.
std::unique_ptr<Subprocess> startDelayedTone(double frequency, std::chrono::milliseconds delay,
                                             const std::vector<std::string>& child = {},
                                             const Environment& environment = {});

// Amplitude of `frequency` in the left channel of interleaved stereo floats at 48000 frames per
// second, for each quarter second of the last one and a half. Judging the loudest window keeps a
// dropout on a loaded machine from passing for a missing tone.
std::vector<double> toneLevels(const std::vector<float>& stereo, double frequency);
double loudest(const std::vector<double>& levels);
std::string describe(const std::vector<double>& levels);

}  // namespace qor::testing
