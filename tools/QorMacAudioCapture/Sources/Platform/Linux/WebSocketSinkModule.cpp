// The module's entry: a C function table over the sink. Everything else in the module is hidden, so
// its copies of Boost and the sink never meet the program's. The program may carry its own C++
// runtime: no exception leaves a function of the table, and what the module allocates it frees.
#include <atomic>
#include <exception>
#include <memory>
#include <span>
#include <string>
#include <type_traits>

#include "WebSocketAudioSink.h"
#include "WebSocketSinkFactory.h"

struct QorWebSocketSink {
    std::shared_ptr<qor::WebSocketAudioSink> sink;
};

namespace {

// The program's failure line writer, set by open() before the sink exists; one capture, one sink.
std::atomic<QorWebSocketSinkReport> programReport{nullptr};

void report(const std::string& message) {
    if (const QorWebSocketSinkReport to = programReport.load()) {
        to(message.data(), message.size());
    }
}

// Runs `call`; what it throws is reported as the sink's failure and goes no further.
template <class Call>
void guarded(Call&& call) noexcept {
    try {
        call();
    } catch (const std::exception& error) {
        try {
            report(std::string("monitor_audio_websocket_send_failed:") + error.what());
        } catch (...) {
        }
    } catch (...) {
    }
}

std::string text(const char* bytes, std::size_t length) {
    return std::string(bytes, length);
}

QorWebSocketSink* sinkOpen(const QorWebSocketSinkURL* url, QorWebSocketSinkReport to) noexcept {
    programReport.store(to);
    QorWebSocketSink* made = nullptr;
    guarded([&] {
        qor::WebSocketURL parsed;
        parsed.text = text(url->text, url->textLength);
        parsed.scheme = text(url->scheme, url->schemeLength);
        parsed.host = text(url->host, url->hostLength);
        parsed.port = text(url->port, url->portLength);
        parsed.target = text(url->target, url->targetLength);
        auto sink = std::make_unique<QorWebSocketSink>();
        sink->sink = qor::WebSocketAudioSink::create(parsed, &report);
        made = sink.release();
    });
    return made;
}

void sinkWrite(QorWebSocketSink* sink, const float* floatStereo, std::size_t sampleCount) noexcept {
    guarded([&] { sink->sink->write(std::span<const float>(floatStereo, sampleCount)); });
}

void sinkStopWaiting(QorWebSocketSink* sink) noexcept {
    guarded([&] { sink->sink->stopWaiting(); });
}

void sinkClose(QorWebSocketSink* sink) noexcept {
    guarded([&] { sink->sink->close(); });
}

std::uint64_t sinkDroppedFrames(const QorWebSocketSink* sink) noexcept {
    return sink->sink->droppedFrames();
}

void sinkDestroy(QorWebSocketSink* sink) noexcept {
    delete sink;
}

constexpr QorWebSocketSinkFunctions functions = {
    .version = QOR_WEBSOCKET_SINK_VERSION,
    .open = &sinkOpen,
    .write = &sinkWrite,
    .stopWaiting = &sinkStopWaiting,
    .close = &sinkClose,
    .droppedFrames = &sinkDroppedFrames,
    .destroy = &sinkDestroy,
};

}  // namespace

extern "C" __attribute__((visibility("default"))) const QorWebSocketSinkFunctions*
qorWebSocketSinkFunctions(void) {
    return &functions;
}

// The program looks the entry up by this name and calls it through this type: keep them in step.
static_assert(std::is_same_v<decltype(&qorWebSocketSinkFunctions), QorWebSocketSinkEntry>);
