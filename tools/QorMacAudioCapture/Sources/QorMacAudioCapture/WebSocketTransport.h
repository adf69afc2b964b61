// The connection under the WebSocket sink: the platform's WebSocket client, reduced to the few
// operations the sink's behaviour needs. The sink owns every decision (the window, the closed flag,
// the conversion, the failure lines); a transport only moves messages and reports what happened.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "CLIOptions.h"

namespace qor {

// What a transport tells the sink. Called on the transport's own thread or queue, never while the
// transport holds a lock of its own that the sink's calls into it could need.
class WebSocketTransportListener {
  public:
    virtual ~WebSocketTransportListener() = default;
    // Exactly once per message handed to send(), in order: no failure text when it went out, else
    // the client's human-readable description of what went wrong.
    virtual void sendCompleted(const std::optional<std::string>& failure) = 0;
    // The receive loop has ended with this description: the connection failed, could not be made,
    // or was closed. Called at most once.
    virtual void receiveFailed(const std::string& failure) = 0;
};

class WebSocketTransport {
  public:
    virtual ~WebSocketTransport() = default;

    // Starts the opening handshake and the receive loop, which reads and drops whatever the server
    // sends; never waits. The listener is held weakly.
    virtual void start(std::weak_ptr<WebSocketTransportListener> listener) = 0;
    // Queues one binary message; never waits. The bytes are borrowed, not copied: they stay
    // untouched until the message's sendCompleted(), and `owner` keeps them alive for as long as
    // the transport holds them (the sink may be released while a message is in flight).
    virtual void send(std::span<const std::uint8_t> message, std::shared_ptr<const void> owner) = 0;
    // Closes with 1001 (going away) and no reason, after what send() has already queued; never
    // waits. Callable again.
    virtual void close() = 0;
    // Waits at most `timeout` for the connection to be over: closed or failed. True when it is.
    virtual bool waitUntilFinished(std::chrono::milliseconds timeout) = 0;
    // True on the thread that calls the listener, where waiting for the connection would wait
    // for itself.
    virtual bool isListenerThread() const = 0;
};

// The platform's transport for this URL, not yet started. Defined once per platform: Boost.Beast
// on Linux, the system's URL session on macOS.
std::unique_ptr<WebSocketTransport> makeWebSocketTransport(const WebSocketURL& url);

}  // namespace qor
