// The JSON-line writer on arbitrary values: strings of any bytes (invalid UTF-8, control
// characters, slashes), every kind of number, nesting. A value without non-finite numbers must
// come out as one line of valid UTF-8 JSON, keys strictly ascending at every level, that reads
// back to the same content; the only changes allowed are replacement characters for invalid
// sequences and whole floats written as integers. A non-finite number anywhere gives no line.
#include <fuzzer/FuzzedDataProvider.h>

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "Diagnostics.h"
#include "FuzzSupport.h"

namespace {

using qor::JSON;
using qor::fuzz::foldReplacements;
using qor::fuzz::isValidUTF8;

constexpr int kMaxDepth = 6;

JSON build(FuzzedDataProvider& in, int depth, int& budget) {
    if (--budget <= 0) {
        return nullptr;
    }
    switch (in.ConsumeIntegralInRange<int>(0, depth >= kMaxDepth ? 7 : 9)) {
        case 0:
            return nullptr;
        case 1:
            return in.ConsumeBool();
        case 2:
            return in.ConsumeIntegral<std::int64_t>();
        case 3:
            return in.ConsumeIntegral<std::uint64_t>();
        case 4:  // any bit pattern: NaN, infinities, subnormals, whole and fractional values
            return std::bit_cast<double>(in.ConsumeIntegral<std::uint64_t>());
        case 5:  // whole floats, with and without an exact integer beside them
            return static_cast<double>(in.ConsumeIntegral<std::int64_t>()) /
                   static_cast<double>(std::uint64_t{1} << in.ConsumeIntegralInRange(0, 3));
        case 6:  // what the capture writes most: single-precision peaks and sample rates
            return static_cast<double>(std::bit_cast<float>(in.ConsumeIntegral<std::uint32_t>()));
        case 7:
            return in.ConsumeRandomLengthString(48);
        case 8: {
            JSON array = JSON::array();
            for (int n = in.ConsumeIntegralInRange(0, 6); n > 0; --n) {
                array.push_back(build(in, depth + 1, budget));
            }
            return array;
        }
        default: {
            JSON object = JSON::object();
            for (int n = in.ConsumeIntegralInRange(0, 6); n > 0; --n) {
                std::string key = in.ConsumeRandomLengthString(16);
                object[key] = build(in, depth + 1, budget);
            }
            return object;
        }
    }
}

bool hasNonFinite(const JSON& value) {
    if (value.is_number_float()) {
        return !std::isfinite(value.get<double>());
    }
    if (value.is_structured()) {
        for (const JSON& element : value) {
            if (hasNonFinite(element)) {
                return true;
            }
        }
    }
    return false;
}

// Exact integer equality across the signed and unsigned representations.
bool sameInteger(const JSON& number, std::int64_t expected) {
    if (number.is_number_unsigned()) {
        return expected >= 0 && number.get<std::uint64_t>() == static_cast<std::uint64_t>(expected);
    }
    return number.is_number_integer() && number.get<std::int64_t>() == expected;
}

bool sameContent(const JSON& original, const JSON& back);

bool sameObject(const JSON& original, const JSON& back) {
    bool keysValid = true;
    for (const auto& [key, value] : original.items()) {
        keysValid = keysValid && isValidUTF8(key);
    }
    if (keysValid) {
        if (back.size() != original.size()) {
            return false;
        }
        for (const auto& [key, value] : original.items()) {
            if (!back.contains(key) || !sameContent(value, back.at(key))) {
                return false;
            }
        }
        return true;
    }
    // Invalid keys may fold together: every key read back stands for an original one, and a key
    // that folds to nothing else keeps its value.
    for (const auto& [key, value] : back.items()) {
        std::size_t sources = 0;
        const JSON* source = nullptr;
        for (const auto& [originalKey, originalValue] : original.items()) {
            if (foldReplacements(originalKey) == foldReplacements(key)) {
                ++sources;
                source = &originalValue;
            }
        }
        if (sources == 0 || (sources == 1 && !sameContent(*source, value))) {
            return false;
        }
    }
    return !back.empty() || original.empty();
}

bool sameContent(const JSON& original, const JSON& back) {
    switch (original.type()) {
        case JSON::value_t::null:
            return back.is_null();
        case JSON::value_t::boolean:
            return back.is_boolean() && back.get<bool>() == original.get<bool>();
        case JSON::value_t::number_integer:
            return sameInteger(back, original.get<std::int64_t>());
        case JSON::value_t::number_unsigned:
            return back.is_number_unsigned() &&
                   back.get<std::uint64_t>() == original.get<std::uint64_t>();
        case JSON::value_t::number_float: {
            const double number = original.get<double>();
            if (std::trunc(number) == number && std::fabs(number) < 9.2e18) {
                return sameInteger(back, static_cast<std::int64_t>(number));
            }
            // Fractional or beyond 64-bit integers: the same double, in the shortest form.
            return back.is_number_float() && back.get<double>() == number;
        }
        case JSON::value_t::string: {
            if (!back.is_string()) {
                return false;
            }
            const std::string& text = original.get_ref<const std::string&>();
            const std::string& read = back.get_ref<const std::string&>();
            return isValidUTF8(text) ? read == text
                                     : foldReplacements(text) == foldReplacements(read);
        }
        case JSON::value_t::array:
            if (!back.is_array() || back.size() != original.size()) {
                return false;
            }
            for (std::size_t i = 0; i < original.size(); ++i) {
                if (!sameContent(original[i], back[i])) {
                    return false;
                }
            }
            return true;
        case JSON::value_t::object:
            return back.is_object() && sameObject(original, back);
        default:
            return false;
    }
}

// Reads the line as events to see what a parse into a map would hide: keys must be strictly
// ascending (sorted, no duplicates) inside every object.
class KeyOrder final : public nlohmann::json_sax<JSON> {
  public:
    bool ordered = true;

    bool null() override { return true; }
    bool boolean(bool) override { return true; }
    bool number_integer(number_integer_t) override { return true; }
    bool number_unsigned(number_unsigned_t) override { return true; }
    bool number_float(number_float_t, const string_t&) override { return true; }
    bool string(string_t&) override { return true; }
    bool binary(binary_t&) override { return false; }
    bool start_object(std::size_t) override {
        keys_.emplace_back();
        return true;
    }
    bool key(string_t& name) override {
        auto& previous = keys_.back();
        if (previous && !(*previous < name)) {
            ordered = false;
        }
        previous = name;
        return true;
    }
    bool end_object() override {
        keys_.pop_back();
        return true;
    }
    bool start_array(std::size_t) override { return true; }
    bool end_array() override { return true; }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
        return false;
    }

  private:
    std::vector<std::optional<std::string>> keys_;
};

// Every '/' in the line is written "\/": preceded by an odd run of backslashes.
bool slashesEscaped(const std::string& line) {
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] != '/') {
            continue;
        }
        std::size_t backslashes = 0;
        while (backslashes < i && line[i - 1 - backslashes] == '\\') {
            ++backslashes;
        }
        if (backslashes % 2 == 0) {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    int budget = 96;
    const JSON value = build(in, 0, budget);

    const std::optional<std::string> line = qor::Diagnostics::serialize(value);
    if (hasNonFinite(value)) {
        QOR_FUZZ_CHECK(!line.has_value());
        return 0;
    }
    QOR_FUZZ_CHECK(line.has_value());
    QOR_FUZZ_CHECK(!line->empty());
    for (char c : *line) {
        QOR_FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20);  // no newline, no raw control
    }
    QOR_FUZZ_CHECK(isValidUTF8(*line));
    QOR_FUZZ_CHECK(slashesEscaped(*line));

    KeyOrder order;
    QOR_FUZZ_CHECK(JSON::sax_parse(*line, &order, JSON::input_format_t::json, true));
    QOR_FUZZ_CHECK(order.ordered);

    const JSON back = JSON::parse(*line);
    QOR_FUZZ_CHECK(sameContent(value, back));
    return 0;
}
