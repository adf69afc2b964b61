#include <dlfcn.h>
#include <unistd.h>

#include <string>

#include "Diagnostics.h"
#include "WebSocketSinkFactory.h"

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

// Stands in for a sink whose module cannot be loaded, or that could not be made: the failure is
// reported once, like a server that cannot be reached, and the capture runs on with every block
// dropped.
class UnavailableWebSocketSink final : public AudioSink {
  public:
    const std::string& transportName() const override { return transportName_; }
    const std::string& formatName() const override { return formatName_; }
    void write(std::span<const float>) override {}
    void close() override {}

  private:
    const std::string transportName_ = "websocket";
    const std::string formatName_ = "pcm_s16le";
};

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
            : reinterpret_cast<WebSocketSinkModuleEntry>(dlsym(module, webSocketSinkModuleEntry));
    if (entry == nullptr) {
        const char* reason = dlerror();
        Diagnostics::error(std::string("monitor_audio_websocket_send_failed:") +
                           (reason != nullptr ? reason : "the WebSocket module cannot be loaded"));
        return std::make_shared<UnavailableWebSocketSink>();
    }
    std::shared_ptr<AudioSink> sink;
    entry(&url, &Diagnostics::error, &sink);
    // A sink that could not be made has been reported by the module.
    return sink ? sink : std::make_shared<UnavailableWebSocketSink>();
}

}  // namespace qor
