// The request read from standard input and its strict decoder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qor::bridge {

// Limits that keep a broken or hostile host from exhausting the process; both lie far beyond any
// real request. The whole request is held in memory, so an endless stream would otherwise grow
// until the system kills us; and nesting is bounded so that no walk over a document, now or in
// later code, can run away with the stack.
inline constexpr std::size_t kMaxRequestBytes = std::size_t{256} << 20;
inline constexpr std::size_t kMaxJsonNesting = 512;

// The base64 texts of a request's images, in order, kept back to back in one buffer: a request
// of many tiny elements ("","",...) would otherwise cost a whole string object per element, ten
// times the input's size.
class ImageList {
  public:
    ImageList() = default;
    ImageList(std::initializer_list<std::string_view> texts);

    void push_back(std::string_view text);
    std::size_t size() const { return ends_.size(); }
    bool empty() const { return ends_.empty(); }
    std::string_view operator[](std::size_t index) const;

    bool operator==(const ImageList&) const = default;

  private:
    std::string data_;
    std::vector<std::uint32_t> ends_;  // offsets fit: a request is at most kMaxRequestBytes
};

// The one request a run answers, decoded from the JSON object on standard input.
struct Request {
    ImageList images;  // base64 of each image file, checked later
    std::string prompt;
    std::string locale;

    bool operator==(const Request&) const = default;
};

// Strict decoding: one JSON object with "images" (array of strings), "prompt" and "locale"
// (strings), all present and none null; other keys are ignored and never materialised. Any
// failure, including nesting deeper than kMaxJsonNesting, gives nothing.
std::optional<Request> decodeRequest(std::string_view json);

}  // namespace qor::bridge
