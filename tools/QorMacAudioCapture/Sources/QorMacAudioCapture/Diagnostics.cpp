#include "Diagnostics.h"

#include <cmath>
#include <mutex>

#include "AudioSinks.h"
#include "Text.h"

namespace qor::Diagnostics {
namespace {

std::mutex& lock() {
    static auto* mutex = new std::mutex;  // never destroyed: lines may be written during exit
    return *mutex;
}

// Validity and normalisation in one walk: whole floats become integers, non-finite numbers make
// the whole value unrepresentable.
bool normalize(JSON& value) {
    switch (value.type()) {
        case JSON::value_t::number_float: {
            const double number = value.get<double>();
            if (!std::isfinite(number)) {
                return false;
            }
            if (std::trunc(number) == number && std::fabs(number) < 9.2e18) {
                value = static_cast<std::int64_t>(number);
            }
            return true;
        }
        case JSON::value_t::object: {
            bool keysValid = true;
            for (auto& item : value.items()) {
                if (!normalize(item.value())) {
                    return false;
                }
                keysValid = keysValid && sanitizeUTF8(item.key()) == item.key();
            }
            if (!keysValid) {
                // Keys go out in the order of their bytes: one with an invalid sequence is renamed
                // first, or its U+FFFD could fall out of order or repeat another key. Of keys that
                // become equal, the first in byte order keeps its value.
                JSON renamed = JSON::object();
                for (auto& item : value.items()) {
                    renamed.emplace(sanitizeUTF8(item.key()), std::move(item.value()));
                }
                value = std::move(renamed);
            }
            return true;
        }
        case JSON::value_t::array:
            for (auto& element : value) {
                if (!normalize(element)) {
                    return false;
                }
            }
            return true;
        case JSON::value_t::binary:
        case JSON::value_t::discarded:
            return false;
        default:
            return true;
    }
}

}  // namespace

std::optional<std::string> serialize(const JSON& value) {
    JSON copy = value;
    if (!normalize(copy)) {
        return std::nullopt;
    }
    std::string text;
    try {
        text = copy.dump(-1, ' ', false, JSON::error_handler_t::replace);
    } catch (const JSON::exception&) {
        return std::nullopt;
    }
    // A slash byte can only stand for itself in UTF-8 JSON text, and only inside strings.
    std::string escaped;
    escaped.reserve(text.size() + 8);
    for (char c : text) {
        if (c == '/') {
            escaped += '\\';
        }
        escaped += c;
    }
    return escaped;
}

int write(const JSON& object, int fileDescriptor) {
    std::lock_guard guard(lock());
    auto line = serialize(object);
    if (!line) {
        return 0;
    }
    const int failure = writeAll(fileDescriptor, line->data(), line->size());
    return failure != 0 ? failure : writeAll(fileDescriptor, "\n", 1);
}

void error(const std::string& message) {
    write(JSON{{"success", false}, {"error", message}}, standardError);
}

}  // namespace qor::Diagnostics
