// Real peers for the WebSocket tests: the websockets-library server and a capture of what the
// program writes on standard error.
#pragma once

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Subprocess.h"

namespace qor::testing {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// tools/QorMacAudioCapture/Tests/peers/websocket_peer.py, started on loopback.
class WebSocketPeer {
  public:
    explicit WebSocketPeer(const std::vector<std::string>& options = {});
    std::uint16_t port() const { return port_; }
    std::string url(const std::string& target = "/") const;
    void command(const std::string& line) { process_.writeStdin(line + "\n"); }
    // The first event of that kind still unread, skipping (but keeping) others; fails the test with
    // nothing when none arrives in time.
    std::optional<nlohmann::json> waitFor(const std::string& event, Clock::duration timeout = 10s);
    // Every binary message, in order, until `count` have arrived or the time is up.
    std::vector<nlohmann::json> binaryMessages(std::size_t count, Clock::duration timeout = 10s);
    // Every event still unread, once the peer has been quiet for `quiet` (10 s at most).
    std::vector<nlohmann::json> drain(Clock::duration quiet = 200ms);
    void kill();

  private:
    std::optional<nlohmann::json> next(Clock::duration timeout);

    Subprocess process_;
    std::uint16_t port_ = 0;
    std::vector<nlohmann::json> unread_;
};

// The peer reports the closing handshake with 1001 ("going away").
void expectClosedGoingAway(WebSocketPeer& peer);

// Redirects file descriptor 2 into a file for the object's life and then echoes what was caught.
class StandardErrorCapture {
  public:
    StandardErrorCapture();
    ~StandardErrorCapture();
    StandardErrorCapture(const StandardErrorCapture&) = delete;
    StandardErrorCapture& operator=(const StandardErrorCapture&) = delete;

    std::vector<std::string> lines() const;
    // Waits until at least `count` whole lines have been written; returns them all.
    std::vector<std::string> waitForLines(std::size_t count, Clock::duration timeout = 10s) const;

  private:
    int saved_ = -1;
    int file_ = -1;
};

// A certificate and key made with the openssl command for this test run, in a fresh directory.
struct SelfSignedCertificate {
    explicit SelfSignedCertificate(const std::string& subjectAltName);
    ~SelfSignedCertificate();
    std::string directory;
    std::string certificate;
    std::string key;
};

// The resident set of this process, in kibibytes.
long residentKibibytes();
// Bytes the allocator has handed out and not yet taken back (the sanitizers' own count when one is
// built in, whose quarantine would make the resident set meaningless).
std::size_t heapBytesInUse();
// Threads of this process.
long threadCount();
// Polls `condition` until it holds or the time is up; returns its last value.
template <class Condition>
bool eventually(Condition condition, Clock::duration timeout = 10s) {
    const auto deadline = Clock::now() + timeout;
    while (!condition()) {
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

// A block of `samples` samples whose first sample converts to -tag and whose others carry `fill`.
std::vector<float> taggedBlock(int tag, std::size_t samples, float fill = 0.25f);
// The tag of a binary-message event made from taggedBlock.
int tagOf(const nlohmann::json& message);
// The error line the program writes for a message.
std::string errorLine(const std::string& message);

}  // namespace qor::testing
