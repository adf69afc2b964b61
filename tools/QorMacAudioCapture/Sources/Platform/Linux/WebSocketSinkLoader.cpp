#include <dlfcn.h>
#include <unistd.h>

#include <string>

#include "Diagnostics.h"
#include "WebSocketSinkTable.h"

namespace qor {

namespace {

// The directory of the running program, from the kernel's link to it, so the module is found
// wherever the program was installed or however it was started.
std::string programDirectory() {
    std::string path(4096, '\0');
    const ssize_t length = readlink("/proc/self/exe", path.data(), path.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= path.size()) {
        return {};
    }
    path.resize(static_cast<std::size_t>(length));
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

}  // namespace

std::shared_ptr<AudioSink> makeWebSocketSink(const WebSocketURL& url) {
    // Loaded once and never unloaded: the sink's code and its threads live in the module. It sits
    // beside the program in the build folder, and in its library folder once installed.
    static void* const module = [] {
        const std::string beside = programDirectory() + QOR_WEBSOCKET_MODULE;
        const std::string path = access(beside.c_str(), F_OK) == 0
                                     ? beside
                                     : programDirectory() + QOR_WEBSOCKET_MODULE_INSTALLED;
        return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    }();
    const auto entry =
        module == nullptr
            ? nullptr
            : reinterpret_cast<QorWebSocketSinkEntry>(dlsym(module, QOR_WEBSOCKET_SINK_ENTRY));
    if (entry == nullptr) {
        const char* reason = dlerror();
        Diagnostics::error(std::string("monitor_audio_websocket_send_failed:") +
                           (reason != nullptr ? reason : "the WebSocket module cannot be loaded"));
        return makeModuleWebSocketSink(nullptr, url);
    }
    return makeModuleWebSocketSink(entry(), url);
}

}  // namespace qor
