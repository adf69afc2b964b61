// Blocking HTTP over libcurl, as the local server backend talks to its model server.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace qor::bridge::local_server {

struct HttpResponse {
    bool delivered = false;  // false: no HTTP answer at all (refused, reset, timed out, ...)
    bool tooLarge = false;   // the body ran past kMaxResponseBytes and was cut off
    long status = 0;
    std::string body;
};

// A model answer or a model list is small; a server streaming without end must not take all
// memory with it.
inline constexpr std::size_t kMaxResponseBytes = std::size_t{64} << 20;

// Blocking HTTP over libcurl, one request at a time. Connecting is bounded; the transfer is
// bounded only when a total time is given, because a model may think as long as it needs.
class HttpClient {
  public:
    HttpClient();
    ~HttpClient();
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    HttpResponse get(const std::string& url, const std::vector<std::string>& headers,
                     std::chrono::milliseconds totalTime);
    HttpResponse post(const std::string& url, const std::string& body,
                      const std::vector<std::string>& headers);

  private:
    struct Handles;
    std::unique_ptr<Handles> handles_;
};

}  // namespace qor::bridge::local_server
