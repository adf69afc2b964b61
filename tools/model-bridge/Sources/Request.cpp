#include "Request.h"

#include <cmath>
#include <cstdlib>
#include <nlohmann/json.hpp>

namespace qor::bridge {

ImageList::ImageList(std::initializer_list<std::string_view> texts) {
    for (std::string_view text : texts) {
        push_back(text);
    }
}

void ImageList::push_back(std::string_view text) {
    data_.append(text);
    ends_.push_back(static_cast<std::uint32_t>(data_.size()));
}

std::string_view ImageList::operator[](std::size_t index) const {
    std::size_t begin = index == 0 ? 0 : ends_[index - 1];
    return std::string_view(data_).substr(begin, ends_[index] - begin);
}

namespace {

using json = nlohmann::json;

// Event-driven decoding keeps only the three fields: values of unknown keys are checked for
// syntax and dropped, so they cost no memory, and a wrong type ends the parse at once.
class RequestReader final : public nlohmann::json_sax<json> {
  public:
    bool complete() const { return finished_ && hasImages_ && hasPrompt_ && hasLocale_; }
    Request take() { return std::move(request_); }

    bool null() override { return scalar(); }
    bool boolean(bool) override { return scalar(); }
    bool number_integer(number_integer_t) override { return scalar(); }
    bool number_unsigned(number_unsigned_t) override { return scalar(); }
    bool number_float(number_float_t, const string_t&) override { return scalar(); }
    bool binary(binary_t&) override { return false; }

    bool string(string_t& value) override {
        if (depth_ == 2 && field_ == Field::images) {
            request_.images.push_back(value);
            return true;
        }
        if (depth_ == 1 && field_ == Field::prompt) {
            request_.prompt = std::move(value);
            hasPrompt_ = true;
            return true;
        }
        if (depth_ == 1 && field_ == Field::locale) {
            request_.locale = std::move(value);
            hasLocale_ = true;
            return true;
        }
        return scalar();
    }

    bool start_object(std::size_t) override {
        if (depth_ == 0) {
            return enter();
        }
        return scalar() && enter();
    }

    bool key(string_t& name) override {
        if (depth_ != 1) {
            return true;
        }
        if (name == "images") {
            field_ = Field::images;
        } else if (name == "prompt") {
            field_ = Field::prompt;
        } else if (name == "locale") {
            field_ = Field::locale;
        } else {
            field_ = Field::other;
        }
        return true;
    }

    bool end_object() override {
        --depth_;
        if (depth_ == 0) {
            finished_ = true;
        }
        return true;
    }

    bool start_array(std::size_t) override {
        if (depth_ == 1 && field_ == Field::images) {
            request_.images = {};  // a repeated key replaces the earlier value
            hasImages_ = true;
            return enter();
        }
        return scalar() && enter();
    }

    bool end_array() override {
        --depth_;
        return true;
    }

    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
        return false;
    }

  private:
    enum class Field { other, images, prompt, locale };

    // Any value other than those the three fields accept: only allowed below an unknown key.
    bool scalar() const {
        if (depth_ == 0) {
            return false;  // the document must be an object
        }
        if (depth_ == 1) {
            return field_ == Field::other;
        }
        // Inside the images array only strings are allowed; deeper levels belong to other keys.
        return !(depth_ == 2 && field_ == Field::images);
    }

    bool enter() {
        ++depth_;
        return depth_ <= kMaxJsonNesting;
    }

    Request request_;
    std::size_t depth_ = 0;
    Field field_ = Field::other;  // the key at depth 1 whose value is being read
    bool finished_ = false;
    bool hasImages_ = false;
    bool hasPrompt_ = false;
    bool hasLocale_ = false;
};

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// The length of the JSON number that starts at `at`, or 0 when what starts there is none.
std::size_t numberLength(std::string_view text, std::size_t at) {
    std::size_t i = at;
    auto digits = [&] {
        const std::size_t start = i;
        while (i < text.size() && isDigit(text[i])) {
            ++i;
        }
        return i > start;
    };
    if (i < text.size() && text[i] == '-') {
        ++i;
    }
    if (i < text.size() && text[i] == '0') {
        ++i;
    } else if (!digits()) {
        return 0;
    }
    if (i < text.size() && text[i] == '.') {
        ++i;
        if (!digits()) {
            return 0;
        }
    }
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
            ++i;
        }
        if (!digits()) {
            return 0;
        }
    }
    return i - at;
}

// The parser refuses a number beyond the range of a double (1e400) as an overflow, although JSON
// sets no such limit. No such number can be a request's value: the three fields are strings and
// arrays of strings, so a number anywhere is either ignored or a wrong type whatever it holds.
// Each one is therefore spelt as 0 (padded with blanks to keep every offset) before parsing. The
// copy is made only when the text holds such a number.
std::optional<std::string> withoutOverflowingNumbers(std::string_view text) {
    std::optional<std::string> rewritten;
    std::size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (c == '"') {
            for (++i; i < text.size() && text[i] != '"'; ++i) {
                if (text[i] == '\\') {
                    ++i;
                }
            }
            ++i;
            continue;
        }
        if (c != '-' && !isDigit(c)) {
            ++i;
            continue;
        }
        const std::size_t length = numberLength(text, i);
        if (length == 0) {
            ++i;
            continue;
        }
        const std::string_view lexeme = text.substr(i, length);
        // Without an exponent only a number of more than 309 digits can pass the largest double.
        const bool mayOverflow = length > 309 || lexeme.find_first_of("eE") != lexeme.npos;
        if (mayOverflow && std::isinf(std::strtod(std::string(lexeme).c_str(), nullptr))) {
            if (!rewritten) {
                rewritten.emplace(text);
            }
            rewritten->replace(i, length, length, ' ');
            (*rewritten)[i] = '0';
        }
        i += length;
    }
    return rewritten;
}

}  // namespace

std::optional<Request> decodeRequest(std::string_view text) {
    if (text.size() > kMaxRequestBytes) {
        return std::nullopt;
    }
    const std::optional<std::string> rewritten = withoutOverflowingNumbers(text);
    if (rewritten) {
        text = *rewritten;
    }
    RequestReader reader;
    bool parsed = json::sax_parse(text.begin(), text.end(), &reader, json::input_format_t::json,
                                  /*strict=*/true);
    if (!parsed || !reader.complete()) {
        return std::nullopt;
    }
    return reader.take();
}

}  // namespace qor::bridge
