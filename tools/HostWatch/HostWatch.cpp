#include "HostWatch.h"

#include <unistd.h>

#include <cstdlib>
#include <string>

namespace qor::hostwatch {

std::optional<std::int32_t> watchedProcess() {
    if (const char* named = std::getenv(kWatchPidVariable); named != nullptr) {
        const std::string text = named;
        if (text.empty() || text.size() > 9 ||
            text.find_first_not_of("0123456789") != std::string::npos) {
            return std::nullopt;
        }
        return std::stoi(text);
    }
    const pid_t parent = ::getppid();
    return parent > 1 ? parent : 0;
}

}  // namespace qor::hostwatch
