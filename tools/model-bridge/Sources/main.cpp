#include <fcntl.h>

#include <cerrno>
#include <csignal>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "Bridge.h"
#include "Platform/DefaultLanguageModel.h"

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

    std::vector<std::string> arguments(argv + 1, argv + argc);
    std::unique_ptr<qor::bridge::LanguageModel> model;
    try {
        model = qor::bridge::makeDefaultLanguageModel();
    } catch (const std::exception&) {
        return qor::bridge::kStatusUnavailable;  // the platform cannot even reach a model
    }
    return qor::bridge::runBridge(*model, arguments, std::cin, std::cout, std::cerr);
}
