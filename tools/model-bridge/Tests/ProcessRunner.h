#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace qor::bridge::testing {

// How a child's standard input is fed.
struct Input {
    enum class Mode {
        bytes,     // write `bytes`, then close
        heldOpen,  // write `bytes` and keep the pipe open until the child has ended
        endless,   // write `byteCount` bytes of filler until the child stops reading
    };
    Mode mode = Mode::bytes;
    std::string bytes;
    std::size_t byteCount = 0;

    static Input text(std::string bytes) { return {Mode::bytes, std::move(bytes), 0}; }
    static Input neverClosed(std::string probe) { return {Mode::heldOpen, std::move(probe), 0}; }
    static Input flood(std::size_t count) { return {Mode::endless, {}, count}; }
};

// Where a child's standard output goes.
enum class Output {
    captured,    // a pipe read into ProcessResult::out
    readerGone,  // a pipe whose read end is closed before the child starts
    deviceFull,  // /dev/full: every write fails with ENOSPC
};

struct ProcessResult {
    bool timedOut = false;
    int status = -1;  // exit status, or -1 when the child did not exit normally
    int signal = 0;   // terminating signal, if any
    std::string out;
    std::string err;
    std::size_t inputLeftUnread = 0;  // heldOpen: bytes still in the pipe after the child ended
    std::size_t inputWritten = 0;
    std::chrono::milliseconds elapsed{0};
};

// Runs an executable with pipes on its three standard streams and the environment of this
// process changed by `environment` (a value of nullopt removes the variable).
ProcessResult runProcess(const std::string& executable, const std::vector<std::string>& arguments,
                         const Input& input,
                         const std::map<std::string, std::optional<std::string>>& environment,
                         std::chrono::milliseconds timeout = std::chrono::seconds(60),
                         Output output = Output::captured);

// A child running in the background whose first line of standard output is read back.
class BackgroundProcess {
  public:
    BackgroundProcess(const std::string& executable, const std::vector<std::string>& arguments);
    ~BackgroundProcess();
    BackgroundProcess(const BackgroundProcess&) = delete;
    BackgroundProcess& operator=(const BackgroundProcess&) = delete;

    std::string firstLine(std::chrono::milliseconds timeout);
    bool running();

  private:
    pid_t pid_ = -1;
    int out_ = -1;
};

}  // namespace qor::bridge::testing
