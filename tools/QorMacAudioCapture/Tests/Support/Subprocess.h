// Runs an executable as a child process with its standard streams captured, for black-box tests.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace qor::testing {

struct ProcessResult {
    std::optional<int> exitStatus;   // set when the process exited
    std::optional<int> deathSignal;  // set when a signal ended it
    bool timedOut = false;
    std::string out;
    std::string err;
};

class Subprocess {
  public:
    // The environment is the test's own plus `environment`.
    Subprocess(std::vector<std::string> arguments,
               std::map<std::string, std::string> environment = {}, bool keepStdinOpen = false);
    ~Subprocess();
    Subprocess(const Subprocess&) = delete;
    Subprocess& operator=(const Subprocess&) = delete;

    int pid() const { return pid_; }
    void sendSignal(int signal) const;
    void writeStdin(const std::string& bytes);
    void closeStdin();

    std::string out() const;
    std::string err() const;
    // Waits until `predicate(stderr so far)` holds; false on timeout or when the process ended
    // first.
    bool waitForStderr(const std::function<bool(const std::string&)>& predicate,
                       std::chrono::milliseconds timeout);
    bool waitForStdoutBytes(std::size_t count, std::chrono::milliseconds timeout);
    // Waits for the process to end (killing it with SIGKILL after the timeout) and collects output.
    ProcessResult wait(std::chrono::milliseconds timeout = std::chrono::seconds(30));

  private:
    void readInto(int fd, std::string& sink);

    int pid_ = -1;
    int stdinFd_ = -1;
    bool waited_ = false;
    mutable std::mutex mutex_;
    std::string out_;
    std::string err_;
    std::thread outReader_;
    std::thread errReader_;
};

// Runs to completion with the given stdin.
ProcessResult runProcess(std::vector<std::string> arguments,
                         std::map<std::string, std::string> environment = {},
                         const std::string& stdinBytes = {},
                         std::chrono::milliseconds timeout = std::chrono::seconds(30));

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
