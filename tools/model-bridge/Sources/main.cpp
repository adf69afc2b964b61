#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "Bridge.h"
#include "HostWatch.h"
#include "Platform/DefaultLanguageModel.h"

namespace {

// The failure names of a host that went away, and of a watch that names no process.
constexpr char kHostExited[] = "HostExitedError";
constexpr char kWatchInvalid[] = "HostWatchError";

void report(const char* name, std::size_t size) {
    [[maybe_unused]] const auto written = ::write(STDERR_FILENO, name, size);
}

}  // namespace

int main(int argc, char** argv) {
    // A standard descriptor the host left closed gets /dev/null before any library can take its
    // number (the HTTP library's socket would otherwise receive the answer). Read-only, so an
    // answer written to a closed standard output still fails as an output failure. In ascending
    // order, so open() takes the very number.
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
            (void)::open("/dev/null", O_RDONLY);
        }
    }
    // A host that stops listening must not kill us by signal halfway through a write; the write
    // fails instead and the status still tells the outcome.
    std::signal(SIGPIPE, SIG_IGN);
    std::ios::sync_with_stdio(false);

    // Nobody is left to read an answer once the host has gone: the model call is abandoned where it
    // is, and nothing of the bridge's needs releasing first.
    const std::optional<std::int32_t> host = qor::hostwatch::watchedProcess();
    if (!host) {
        report(kWatchInvalid, sizeof kWatchInvalid - 1);
        return qor::bridge::kStatusFailure;
    }
    if (*host > 0) {
        qor::hostwatch::watchProcessExit(*host, [] {
            report(kHostExited, sizeof kHostExited - 1);
            ::_exit(qor::bridge::kStatusFailure);
        });
    }

    std::vector<std::string> arguments(argv + 1, argv + argc);
    std::unique_ptr<qor::bridge::LanguageModel> model;
    try {
        model = qor::bridge::makeDefaultLanguageModel();
    } catch (const std::exception&) {
        return qor::bridge::kStatusUnavailable;  // the platform cannot even reach a model
    }
    return qor::bridge::runBridge(*model, arguments, std::cin, std::cout, std::cerr);
}
