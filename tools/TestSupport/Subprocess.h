// Runs a program under test as a child process with its standard streams on pipes, for the
// black-box tests of both programs.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace qor::testing {

struct ProcessResult {
    std::optional<int> exitStatus;   // set when the process exited
    std::optional<int> deathSignal;  // set when a signal ended it
    bool timedOut = false;
    std::string out;
    std::string err;
    // With standard input kept open: the bytes written that the child had not read when it ended.
    std::size_t stdinUnread = 0;
    // The child's peak resident set size, as the kernel counted it.
    long peakResidentKiB = 0;
};

// Variables the child gets on top of the test's own environment.
using Environment = std::map<std::string, std::string>;

// Where a child's standard output goes.
enum class Stdout {
    captured,    // a pipe read into out()
    readerGone,  // a pipe whose read end is closed before the child starts
    deviceFull,  // /dev/full: every write fails with ENOSPC
    file,        // SpawnOptions::outputFile, created or truncated
    socketPair,  // a stream socket pair read into out(), as Node.js and Electron give children
};

struct SpawnOptions {
    Stdout output = Stdout::captured;
    std::vector<std::string> unset{};  // variables of the test's environment the child does not get
    bool keepStdinOpen = false;        // otherwise the child reads end of file at once
    std::string outputFile{};          // for Stdout::file
    std::vector<int> closed{};         // standard descriptors the child starts without
};

class Subprocess {
  public:
    Subprocess(std::vector<std::string> arguments, Environment environment = {},
               SpawnOptions options = {});
    ~Subprocess();
    Subprocess(const Subprocess&) = delete;
    Subprocess& operator=(const Subprocess&) = delete;

    int pid() const { return pid_; }
    void sendSignal(int signal) const;
    // Writes until all is written, the child closes its input or the time is up; returns the
    // count written.
    std::size_t writeStdin(std::string_view bytes,
                           std::chrono::milliseconds timeout = std::chrono::seconds(30));
    void closeStdin();
    // Whether the child has not ended yet (it stays unreaped for wait()).
    bool running() const;

    std::string out() const;
    std::string err() const;
    // While paused, standard output is not read: the child's writes back up as behind a busy host.
    void pauseStdout(bool paused);
    // For a failure message: whether the child still runs (then what each of its threads waits
    // in, from /proc) or how it ended, and its standard error so far.
    std::string describe() const;
    // Waits until `predicate(stderr or stdout so far)` holds; false on timeout or when the process
    // ended first. The predicate runs under the streams' lock: it must not call out() or err().
    bool waitForStderr(const std::function<bool(const std::string&)>& predicate,
                       std::chrono::milliseconds timeout);
    bool waitForStdout(const std::function<bool(const std::string&)>& predicate,
                       std::chrono::milliseconds timeout);
    bool waitForStdoutBytes(std::size_t count, std::chrono::milliseconds timeout);
    // The next whole line (without its line feed) not yet read this way, or nothing when none
    // comes in time or the process ended without one.
    std::optional<std::string> readStdoutLine(std::chrono::milliseconds timeout);
    std::optional<std::string> readStderrLine(std::chrono::milliseconds timeout);
    // Waits for the process to end (killing it with SIGKILL after the timeout) and collects output.
    ProcessResult wait(std::chrono::milliseconds timeout = std::chrono::seconds(30));

  private:
    void readInto(int fd, std::string& sink, const std::atomic<bool>* paused);
    bool waitFor(std::string Subprocess::*stream,
                 const std::function<bool(const std::string&)>& predicate,
                 std::chrono::milliseconds timeout);
    std::optional<std::string> readLine(std::string Subprocess::*stream, std::size_t& next,
                                        std::chrono::milliseconds timeout);

    int pid_ = -1;
    int stdinFd_ = -1;
    bool waited_ = false;
    mutable std::mutex mutex_;
    std::string out_;
    std::string err_;
    // Where the next line of each stream starts; the test's thread only.
    std::size_t nextOutLine_ = 0;
    std::size_t nextErrLine_ = 0;
    std::atomic<bool> outPaused_{false};
    std::thread outReader_;
    std::thread errReader_;
};

// Runs to completion with the given stdin.
ProcessResult runProcess(std::vector<std::string> arguments, Environment environment = {},
                         const std::string& stdinBytes = {},
                         std::chrono::milliseconds timeout = std::chrono::seconds(30));

// True once `pid` has ended: gone, or a zombie that nobody has reaped yet (a grandchild whose
// parent was killed).
bool processEnded(int pid);

// Waits until processEnded(pid) or the timeout; true when it ended.
bool waitForProcessEnd(int pid, std::chrono::milliseconds timeout);

// Each thread of `pid`, as " [name state wchan]": its name, state and the kernel function it
// sleeps in, from /proc.
std::string threadWaits(int pid);

// Splits text into lines without their line feeds (a trailing partial line is kept).
std::vector<std::string> lines(const std::string& text);

// A fresh temporary directory, removed with its contents when the object goes.
class TemporaryDirectory {
  public:
    TemporaryDirectory();
    ~TemporaryDirectory();
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

}  // namespace qor::testing
