// The WebSocket transport on macOS: an NSURLSessionWebSocketTask of the shared session, so the
// connection uses the system's trust store (keychain, company and MDM roots), its proxy settings
// and its own TLS, and the program loads nothing beyond Foundation. The sink above owns every
// behaviour; this only forwards operations and reports.
#import <Foundation/Foundation.h>

#include <condition_variable>
#include <mutex>

#include "WebSocketTransport.h"

namespace qor {

namespace {

// True while a block of this file calls the sink, on the session's queue: waiting there for the
// connection to end would wait for the very handler that ends it.
thread_local bool inListenerCall = false;

class ListenerCall {
  public:
    ListenerCall() { inListenerCall = true; }
    ~ListenerCall() { inListenerCall = false; }
    ListenerCall(const ListenerCall&) = delete;
    ListenerCall& operator=(const ListenerCall&) = delete;
};

// The failure text: the error's localized description, as the system words it.
std::string describe(NSError* error) {
    const char* text = error.localizedDescription.UTF8String;
    return text != nullptr ? std::string(text) : std::string();
}

// Whether the connection is over. Shared with the handlers, which may outlive the transport.
class Finish {
  public:
    void mark() {
        {
            std::lock_guard guard(lock_);
            finished_ = true;
        }
        changed_.notify_all();
    }
    bool wait(std::chrono::milliseconds timeout) {
        std::unique_lock guard(lock_);
        return changed_.wait_for(guard, timeout, [this] { return finished_; });
    }

  private:
    std::mutex lock_;
    std::condition_variable changed_;
    bool finished_ = false;  // under lock_
};

using Listener = std::weak_ptr<WebSocketTransportListener>;

// One receive at a time, each asked for by the handler of the one before; what arrives is dropped.
// The loop ends with the first error, which is also how the end of the connection is seen: a
// cancelled task fails its outstanding receive once its close is done.
void receiveNext(NSURLSessionWebSocketTask* task, Listener listener,
                 std::shared_ptr<Finish> finish) {
    __weak NSURLSessionWebSocketTask* weakTask = task;
    [task receiveMessageWithCompletionHandler:^(NSURLSessionWebSocketMessage* _Nullable message,
                                                NSError* _Nullable error) {
      (void)message;
      if (error != nil) {
          finish->mark();
          if (auto sink = listener.lock()) {
              ListenerCall call;
              sink->receiveFailed(describe(error));
          }
          return;
      }
      NSURLSessionWebSocketTask* strongTask = weakTask;
      if (strongTask != nil && !listener.expired()) {
          receiveNext(strongTask, listener, finish);
      }
    }];
}

class URLSessionWebSocketTransport final : public WebSocketTransport {
  public:
    explicit URLSessionWebSocketTransport(const WebSocketURL& url) {
        @autoreleasepool {
            NSString* text = [[NSString alloc] initWithBytes:url.text.data()
                                                      length:url.text.size()
                                                    encoding:NSUTF8StringEncoding];
            NSURL* address = text != nil ? [NSURL URLWithString:text] : nil;
            if (address != nil) {
                task_ = [NSURLSession.sharedSession webSocketTaskWithURL:address];
            }
        }
    }

    // The task is not cancelled: releasing the sink leaves the connection to the session.
    ~URLSessionWebSocketTransport() override = default;

    void start(Listener listener) override {
        listener_ = std::move(listener);
        if (task_ == nil) {
            // The URL parser that accepted the text is the one NSURL uses, so this is not expected;
            // should it happen the sink reports it like a connection that cannot be made.
            finish_->mark();
            if (auto sink = listener_.lock()) {
                sink->receiveFailed("the URL cannot be opened");
            }
            return;
        }
        [task_ resume];
        receiveNext(task_, listener_, finish_);
    }

    void send(std::span<const std::uint8_t> message, std::shared_ptr<const void> owner) override {
        @autoreleasepool {
            // The pooled bytes are wrapped, not copied; the deallocator block holds their owner
            // until the system lets the data go. The NSData, the message object and the blocks
            // are still the system's allocations per message: the session API takes nothing less.
            __block std::shared_ptr<const void> keep = std::move(owner);
            NSData* data =
                [[NSData alloc] initWithBytesNoCopy:const_cast<std::uint8_t*>(message.data())
                                             length:message.size()
                                        deallocator:^(void*, NSUInteger) {
                                          keep.reset();
                                        }];
            NSURLSessionWebSocketMessage* binary =
                [[NSURLSessionWebSocketMessage alloc] initWithData:data];
            const Listener listener = listener_;
            [task_ sendMessage:binary
                completionHandler:^(NSError* _Nullable error) {
                  if (auto sink = listener.lock()) {
                      ListenerCall call;
                      sink->sendCompleted(error != nil ? std::optional<std::string>(describe(error))
                                                       : std::nullopt);
                  }
                }];
        }
    }

    void close() override {
        [task_ cancelWithCloseCode:NSURLSessionWebSocketCloseCodeGoingAway reason:nil];
    }

    bool waitUntilFinished(std::chrono::milliseconds timeout) override {
        return finish_->wait(timeout);
    }

    bool isListenerThread() const override { return inListenerCall; }

  private:
    // Set by the constructor and start(), read-only afterwards; the task's own methods are safe
    // from any thread.
    NSURLSessionWebSocketTask* task_ = nil;
    Listener listener_;
    const std::shared_ptr<Finish> finish_ = std::make_shared<Finish>();
};

}  // namespace

std::unique_ptr<WebSocketTransport> makeWebSocketTransport(const WebSocketURL& url) {
    return std::make_unique<URLSessionWebSocketTransport>(url);
}

}  // namespace qor
