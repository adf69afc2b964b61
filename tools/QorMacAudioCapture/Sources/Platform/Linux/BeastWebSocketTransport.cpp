// The WebSocket transport on Linux: Boost.Beast over TCP, or over OpenSSL with the system's
// certificate store for wss://. One io_context thread per connection runs every network operation
// and every report to the sink; being the context's only thread, it is the connection's strand.
#include "WebSocketTransport.h"

#include "HandlerSlots.h"
#include "IOQueue.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/ssl/error.hpp>
#include <boost/asio/ssl/host_name_verification.hpp>
#include <boost/beast/core/bind_handler.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/ssl/ssl_stream.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <boost/beast/websocket/stream.hpp>

#include <array>
#include <atomic>
#include <cstddef>
#include <deque>
#include <future>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

namespace qor {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace websocket = boost::beast::websocket;
using boost::system::error_code;
using tcp = net::ip::tcp;

namespace {

// A message's bytes, borrowed from the sink until its completion has been reported; the owner keeps
// them alive should the sink go first.
struct Message {
    std::span<const std::uint8_t> bytes;
    std::shared_ptr<const void> owner;
};
using Executor = net::io_context::executor_type;
using PlainStream = websocket::stream<beast::tcp_stream>;
using SecureStream = websocket::stream<beast::ssl_stream<beast::tcp_stream>>;

// Memory for the handlers that carry messages from the audio thread to the network thread, so that
// handing a block over allocates nothing. The sink keeps at most eight messages in flight, so eight
// slots always suffice.
using HandOverSlots = HandlerSlots<8>;

// A server that accepts the TCP connection but never completes a handshake must not hold the
// connection forever; once open, a quiet server is fine (audio flows one way).
constexpr auto connectTimeout = std::chrono::seconds(30);
constexpr auto handshakeTimeout = std::chrono::seconds(30);
// About a third of a second of 48 kHz stereo 16-bit audio (Linux doubles what is asked).
constexpr int sendBufferBytes = 64 * 1024;

// One connection's life, on the network thread: connect, then one writer draining a queue of
// messages and one reader discarding whatever the server sends, then the close. Every message
// handed over gets exactly one completion, in order; handlers keep the connection alive and the
// sink only weakly. Every field below is owned by the network thread, but for handOver_.
class WebSocketConnection : public std::enable_shared_from_this<WebSocketConnection> {
  public:
    WebSocketConnection(Executor executor, std::weak_ptr<WebSocketTransportListener> sink)
        : executor_(std::move(executor)),
          sink_(std::move(sink)),
          finished_(finishedPromise_.get_future()) {}
    virtual ~WebSocketConnection() = default;

    std::shared_future<void> finished() const { return finished_; }

    // Callable from any thread; each hops onto the network thread, in the order called.
    void start() {
        net::post(executor_, [self = shared_from_this()] { self->connect(); });
    }
    // Called on the audio thread: allocates nothing.
    void send(Message message) {
        net::post(executor_, HandOver{shared_from_this(), std::move(message)});
    }
    void close() {
        net::post(executor_, [self = shared_from_this()] { self->requestClose(); });
    }

  protected:
    // The transport, implemented per stream type; each completes through the matching member
    // below, on the network thread.
    virtual void connect() = 0;                             // opened() or connectFailed()
    virtual void writeMessage(const Message& message) = 0;  // written()
    virtual void readMessage() = 0;                         // received()
    virtual void sendClose() = 0;                           // closeFinished()
    virtual void dropTransport() = 0;

    void opened() {
        if (phase_ != Phase::connecting) {
            return;
        }
        phase_ = Phase::open;
        readMessage();
        writeNext();
    }

    // The receive that the sink started with the connection fails first; then every queued send.
    void connectFailed(error_code error) {
        notifyReceiveFailed(error);
        fail(error);
    }

    void written(error_code error) {
        writing_ = false;
        inFlight_ = Message();
        if (error == net::error::operation_aborted && failure_) {
            error = failure_;  // aborted by our own teardown after the real failure
        }
        notifySendCompleted(error);
        if (error) {
            fail(error);
            return;
        }
        writeNext();
    }

    void received(error_code error) {
        if (!error) {
            readMessage();
            return;
        }
        if (error == net::error::operation_aborted && failure_) {
            error = failure_;
        }
        notifyReceiveFailed(error);
        // While closing, the close operation ends the connection itself.
        if (phase_ == Phase::open) {
            fail(error);
        }
    }

    void closeFinished(error_code) {
        if (phase_ != Phase::closing) {
            return;
        }
        phase_ = Phase::finished;
        dropTransport();
        markFinished();
    }

  private:
    // One message on its way to the network thread, in memory from the connection's slots.
    struct HandOver {
        using allocator_type = HandlerSlotAllocator<void, HandOverSlots>;
        allocator_type get_allocator() const noexcept { return allocator_type(self->handOver_); }
        void operator()() { self->enqueue(std::move(message)); }

        std::shared_ptr<WebSocketConnection> self;
        Message message;
    };

    // finished: failed, or closed; nothing goes out any more.
    enum class Phase { connecting, open, closing, finished };

    void enqueue(Message message) {
        if (phase_ == Phase::closing || phase_ == Phase::finished) {
            notifySendCompleted(failure_ ? failure_ : error_code(net::error::operation_aborted));
            return;
        }
        waiting_.push_back(std::move(message));
        writeNext();
    }

    void requestClose() {
        closeRequested_ = true;
        writeNext();
    }

    // The one writer: a message at a time; the close frame once everything handed over has gone.
    void writeNext() {
        if (phase_ != Phase::open || writing_) {
            return;
        }
        if (waiting_.empty()) {
            if (closeRequested_) {
                phase_ = Phase::closing;
                sendClose();
            }
            return;
        }
        inFlight_ = std::move(waiting_.front());
        waiting_.pop_front();
        writing_ = true;
        writeMessage(inFlight_);
    }

    void fail(error_code error) {
        if (phase_ == Phase::finished) {
            return;
        }
        phase_ = Phase::finished;
        failure_ = error;
        dropTransport();
        while (!waiting_.empty()) {
            waiting_.pop_front();
            notifySendCompleted(error);
        }
        markFinished();
    }

    void markFinished() {
        if (!finishedMarked_) {
            finishedMarked_ = true;
            finishedPromise_.set_value();
        }
    }

    void notifySendCompleted(const error_code& error) {
        if (auto sink = sink_.lock()) {
            sink->sendCompleted(error ? std::optional<std::string>(error.message()) : std::nullopt);
        }
    }
    void notifyReceiveFailed(const error_code& error) {
        if (auto sink = sink_.lock()) {
            sink->receiveFailed(error.message());
        }
    }

    Executor executor_;
    std::weak_ptr<WebSocketTransportListener> sink_;
    HandOverSlots handOver_;  // shared by the sending and the network thread
    Phase phase_ = Phase::connecting;
    std::deque<Message> waiting_;
    Message inFlight_;
    bool writing_ = false;
    bool closeRequested_ = false;
    error_code failure_;
    std::promise<void> finishedPromise_;
    bool finishedMarked_ = false;
    std::shared_future<void> finished_;
};

template <class Stream>
class BasicWebSocketConnection final : public WebSocketConnection {
    static constexpr bool secure = std::is_same_v<Stream, SecureStream>;

  public:
    BasicWebSocketConnection(Executor executor, std::weak_ptr<WebSocketTransportListener> sink,
                             const WebSocketURL& url)
        : WebSocketConnection(executor, std::move(sink)),
          url_(url),
          tls_(makeTLSContext()),
          resolver_(executor),
          stream_(makeStream(executor, tls_)) {}

  private:
    static std::unique_ptr<net::ssl::context> makeTLSContext() {
        if constexpr (!secure) {
            return nullptr;
        } else {
            auto context = std::make_unique<net::ssl::context>(net::ssl::context::tls_client);
            error_code ignored;  // without trusted roots every certificate fails to verify
            context->set_default_verify_paths(ignored);
            context->set_verify_mode(net::ssl::verify_peer, ignored);
            return context;
        }
    }
    static Stream makeStream(const Executor& executor,
                             const std::unique_ptr<net::ssl::context>& tls) {
        if constexpr (secure) {
            return Stream(executor, *tls);
        } else {
            return Stream(executor);
        }
    }

    std::shared_ptr<BasicWebSocketConnection> self() {
        return std::static_pointer_cast<BasicWebSocketConnection>(shared_from_this());
    }

    // The Host field: IPv6 literals in brackets, the port only when the URL names one.
    std::string hostField() const {
        std::string field =
            url_.host.find(':') != std::string::npos ? "[" + url_.host + "]" : url_.host;
        if (!url_.port.empty()) {
            field += ":" + url_.port;
        }
        return field;
    }

    void connect() override {
        resolver_.async_resolve(
            url_.host, url_.effectivePort(),
            beast::bind_front_handler(&BasicWebSocketConnection::onResolved, self()));
    }

    void onResolved(error_code error, const tcp::resolver::results_type& endpoints) {
        if (error) {
            connectFailed(error);
            return;
        }
        auto& socket = beast::get_lowest_layer(stream_);
        socket.expires_after(connectTimeout);
        socket.async_connect(
            endpoints, beast::bind_front_handler(&BasicWebSocketConnection::onConnected, self()));
    }

    void onConnected(error_code error, const tcp::endpoint&) {
        if (error) {
            connectFailed(error);
            return;
        }
        // Audio waiting in the kernel is latency the window of eight cannot see: a few hundred
        // milliseconds of it at most, still ample for a connection with a long round trip.
        error_code ignored;
        beast::get_lowest_layer(stream_).socket().set_option(
            net::socket_base::send_buffer_size(sendBufferBytes), ignored);
        if constexpr (secure) {
            auto& tls = stream_.next_layer();
            error_code notAnAddress;
            net::ip::make_address(url_.host, notAnAddress);
            // Server name indication carries host names only, never address literals.
            if (notAnAddress && !SSL_set_tlsext_host_name(tls.native_handle(), url_.host.c_str())) {
                connectFailed(error_code(static_cast<int>(::ERR_get_error()),
                                         net::error::get_ssl_category()));
                return;
            }
            tls.set_verify_callback(net::ssl::host_name_verification(url_.host));
            tls.async_handshake(
                net::ssl::stream_base::client,
                beast::bind_front_handler(&BasicWebSocketConnection::onSecured, self()));
        } else {
            upgrade();
        }
    }

    void onSecured(error_code error) {
        if (error) {
            connectFailed(error);
            return;
        }
        upgrade();
    }

    void upgrade() {
        // From here the WebSocket layer keeps its own timers.
        beast::get_lowest_layer(stream_).expires_never();
        stream_.set_option(websocket::stream_base::timeout{handshakeTimeout,
                                                           websocket::stream_base::none(), false});
        stream_.binary(true);
        stream_.auto_fragment(false);
        stream_.async_handshake(
            hostField(), url_.target,
            beast::bind_front_handler(&BasicWebSocketConnection::onUpgraded, self()));
    }

    void onUpgraded(error_code error) {
        if (error) {
            connectFailed(error);
            return;
        }
        opened();
    }

    void writeMessage(const Message& message) override {
        stream_.async_write(
            net::buffer(message.bytes.data(), message.bytes.size()),
            beast::bind_front_handler(&BasicWebSocketConnection::onWritten, self()));
    }
    void onWritten(error_code error, std::size_t) { written(error); }

    void readMessage() override {
        stream_.async_read(incoming_,
                           beast::bind_front_handler(&BasicWebSocketConnection::onRead, self()));
    }
    void onRead(error_code error, std::size_t) {
        incoming_.clear();  // what the server sends has no meaning here
        received(error);
    }

    void sendClose() override {
        stream_.async_close(websocket::close_reason(websocket::close_code::going_away),
                            beast::bind_front_handler(&BasicWebSocketConnection::onClosed, self()));
    }
    void onClosed(error_code error) { closeFinished(error); }

    void dropTransport() override {
        resolver_.cancel();
        beast::get_lowest_layer(stream_).close();
    }

    const WebSocketURL url_;
    const std::unique_ptr<net::ssl::context> tls_;  // before the stream that refers to it
    tcp::resolver resolver_;
    Stream stream_;
    beast::flat_buffer incoming_;
};

class BeastWebSocketTransport final : public WebSocketTransport {
  public:
    explicit BeastWebSocketTransport(const WebSocketURL& url) : url_(url) {}
    // Stops the network thread at once, from any thread; a connection not closed is dropped.
    ~BeastWebSocketTransport() override {
        network_.stop();
        // The connection goes before the context: its sockets must not outlive their services.
        connection_.reset();
    }
    BeastWebSocketTransport(const BeastWebSocketTransport&) = delete;
    BeastWebSocketTransport& operator=(const BeastWebSocketTransport&) = delete;

    void start(std::weak_ptr<WebSocketTransportListener> listener) override {
        if (url_.secure()) {
            connection_ = std::make_shared<BasicWebSocketConnection<SecureStream>>(
                network_.executor(), std::move(listener), url_);
        } else {
            connection_ = std::make_shared<BasicWebSocketConnection<PlainStream>>(
                network_.executor(), std::move(listener), url_);
        }
        finished_ = connection_->finished();
        connection_->start();
    }
    void send(std::span<const std::uint8_t> message, std::shared_ptr<const void> owner) override {
        connection_->send(Message{message, std::move(owner)});
    }
    void close() override { connection_->close(); }
    bool waitUntilFinished(std::chrono::milliseconds timeout) override {
        return finished_.wait_for(timeout) == std::future_status::ready;
    }
    bool isListenerThread() const override { return network_.isCurrentThread(); }

  private:
    const WebSocketURL url_;
    // The connection's thread; handlers that hold the last reference to the sink may stop it from
    // within.
    IOQueue network_{"com.brinvale.qor.native-audio.websocket"};
    // Set by start(), read-only afterwards.
    std::shared_ptr<WebSocketConnection> connection_;
    std::shared_future<void> finished_;
};

}  // namespace

std::unique_ptr<WebSocketTransport> makeWebSocketTransport(const WebSocketURL& url) {
    return std::make_unique<BeastWebSocketTransport>(url);
}

}  // namespace qor
