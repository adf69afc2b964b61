#include "HttpClient.h"

#include <curl/curl.h>

#include <cstdint>
#include <stdexcept>

namespace qor::bridge::local_server {

namespace {

constexpr long kConnectTimeoutMs = 10'000;

struct GlobalInit {
    GlobalInit() {
        if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
            throw std::runtime_error("curl_global_init");
        }
    }
    ~GlobalInit() { curl_global_cleanup(); }
};

struct EasyDeleter {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct ListDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using EasyHandle = std::unique_ptr<CURL, EasyDeleter>;
using HeaderList = std::unique_ptr<curl_slist, ListDeleter>;

struct Sink {
    HttpResponse* response;
    CURL* easy;
};

size_t collectBody(char* data, size_t size, size_t count, void* context) {
    Sink& sink = *static_cast<Sink*>(context);
    HttpResponse& response = *sink.response;
    size_t length = size * count;
    if (response.body.size() + length > kMaxResponseBytes) {
        response.tooLarge = true;
        return 0;  // makes curl abort the transfer
    }
    // A body of announced length gets its room at once: growing a large body by doubling would
    // hold it twice over for a moment.
    curl_off_t announced = -1;
    if (response.body.empty() &&
        curl_easy_getinfo(sink.easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced) == CURLE_OK &&
        announced > 0 && static_cast<std::uint64_t>(announced) <= kMaxResponseBytes) {
        response.body.reserve(static_cast<std::size_t>(announced));
    }
    response.body.append(data, length);
    return length;
}

}  // namespace

struct HttpClient::Handles {
    GlobalInit global;  // declared first: released last
    EasyHandle easy{curl_easy_init()};
};

HttpClient::HttpClient() : handles_(std::make_unique<Handles>()) {
    if (!handles_->easy) {
        throw std::runtime_error("curl_easy_init");
    }
}

HttpClient::~HttpClient() = default;

namespace {

HttpResponse perform(CURL* easy, const std::string& url, const std::vector<std::string>& headers,
                     long totalTimeMs) {
    HttpResponse response;
    Sink sink{&response, easy};
    HeaderList list;
    for (const std::string& header : headers) {
        curl_slist* grown = curl_slist_append(list.get(), header.c_str());
        if (grown == nullptr) {
            return response;
        }
        (void)list.release();
        list.reset(grown);
    }
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, list.get());
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    // One connection per request: on a reused connection that the server has meanwhile closed,
    // curl silently sends the request again, and a model call must never reach the server twice.
    curl_easy_setopt(easy, CURLOPT_FRESH_CONNECT, 1L);
    curl_easy_setopt(easy, CURLOPT_FORBID_REUSE, 1L);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, kConnectTimeoutMs);
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, totalTimeMs);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, collectBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &sink);
    CURLcode code = curl_easy_perform(easy);
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, nullptr);  // the list dies with this call
    if (code == CURLE_OK) {
        response.delivered = true;
        curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &response.status);
    }
    return response;
}

}  // namespace

HttpResponse HttpClient::get(const std::string& url, const std::vector<std::string>& headers,
                             std::chrono::milliseconds totalTime) {
    CURL* easy = handles_->easy.get();
    curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
    return perform(easy, url, headers, static_cast<long>(totalTime.count()));
}

HttpResponse HttpClient::post(const std::string& url, const std::string& body,
                              const std::vector<std::string>& headers) {
    CURL* easy = handles_->easy.get();
    curl_easy_setopt(easy, CURLOPT_POST, 1L);
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    std::vector<std::string> all = headers;
    all.push_back("Expect:");  // no 100-continue round trip before a large body
    HttpResponse response = perform(easy, url, all, 0);
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, nullptr);
    return response;
}

}  // namespace qor::bridge::local_server
