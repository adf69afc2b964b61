// Real peers for the WebSocket tests: child processes on pipes, the websockets-library server, and
// a capture of what the program writes on standard error.
#pragma once

#include <sys/types.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace qor::testing {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A child process with its standard streams on pipes. Killed (SIGKILL) and reaped on destruction if
// still running.
class ChildProcess {
  public:
    ChildProcess(const std::vector<std::string>& arguments,
                 const std::vector<std::string>& extraEnvironment = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    void writeLine(const std::string& line);
    void closeInput();
    // The next whole line (without its newline) from standard output or standard error, or nothing
    // once the deadline has passed or the stream has ended.
    std::optional<std::string> readOutputLine(Clock::duration timeout);
    std::optional<std::string> readErrorLine(Clock::duration timeout);
    // Up to `count` bytes of standard output, fewer if the time is up or the stream ends first.
    std::string readOutputBytes(std::size_t count, Clock::duration timeout);
    void signal(int number);
    // The exit status (or 128 + signal), or nothing if it has not ended in time.
    std::optional<int> wait(Clock::duration timeout);

  private:
    struct Stream {
        int fd = -1;
        std::string buffered;
        bool ended = false;
    };
    std::optional<std::string> readLine(Stream& stream, Clock::duration timeout);
    // Appends what is available to the stream's buffer, waiting at most until the deadline.
    static void fill(Stream& stream, Clock::time_point deadline);

    pid_t pid_ = -1;
    int input_ = -1;
    Stream output_;
    Stream error_;
    std::optional<int> status_;
};

// tools/QorMacAudioCapture/Tests/peers/websocket_peer.py, started on loopback.
class WebSocketPeer {
  public:
    explicit WebSocketPeer(const std::vector<std::string>& options = {});
    std::uint16_t port() const { return port_; }
    std::string url(const std::string& target = "/") const;
    void command(const std::string& line) { process_.writeLine(line); }
    // The first event of that kind still unread, skipping (but keeping) others; fails the test with
    // nothing when none arrives in time.
    std::optional<nlohmann::json> waitFor(const std::string& event, Clock::duration timeout = 10s);
    // Every binary message, in order, until `count` have arrived or the time is up.
    std::vector<nlohmann::json> binaryMessages(std::size_t count, Clock::duration timeout = 10s);
    // Every event still unread, once the peer has been quiet for `quiet` (10 s at most).
    std::vector<nlohmann::json> drain(Clock::duration quiet = 200ms);
    void kill();
    ChildProcess& process() { return process_; }

  private:
    std::optional<nlohmann::json> next(Clock::duration timeout);

    ChildProcess process_;
    std::uint16_t port_ = 0;
    std::vector<nlohmann::json> unread_;
};

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

// A loopback port on which nothing listens.
std::uint16_t closedLoopbackPort();
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
