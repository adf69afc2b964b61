// The model bridge's handling of its one untrusted input, standard input. The first byte picks
// what the rest is fed to:
//   0  the whole run (request decoding, base64, image check) with an in-process model that is
//      available, supports every locale, and answers or fails (bit 2 of the first byte);
//   1  the request decoder, checked against a plain parse of the same text;
//   2  the base64 decoder, checked against the alphabet and re-encoding; then the image check;
//   3  the image check on raw bytes.
#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "Base64.h"
#include "Bridge.h"
#include "FuzzSupport.h"
#include "ImageCheck.h"
#include "Request.h"

namespace {

using namespace qor::bridge;

class FakeModel final : public LanguageModel {
  public:
    explicit FakeModel(bool fails) : fails_(fails) {}
    bool isAvailable() override { return true; }
    bool supportsLocale(const std::string&) override { return true; }
    ModelResponse respond(const Prompt& prompt) override {
        ++calls;
        images = prompt.images.size();
        return fails_ ? ModelResponse::failure("GenerationError") : ModelResponse::answer("ok");
    }

    int calls = 0;
    std::size_t images = 0;

  private:
    const bool fails_;
};

void fuzzEntry(std::string_view input, bool modelFails) {
    FakeModel model(modelFails);
    std::istringstream in{std::string(input)};
    std::ostringstream out, err;
    const int status = runBridge(model, {}, in, out, err);

    QOR_FUZZ_CHECK(status == kStatusSuccess || status == kStatusFailure ||
                   status == kStatusBadImage);
    QOR_FUZZ_CHECK(model.calls <= 1);
    const std::optional<Request> request = decodeRequest(input);
    switch (status) {
        case kStatusSuccess:
            QOR_FUZZ_CHECK(!modelFails && model.calls == 1);
            QOR_FUZZ_CHECK(out.str() == "ok\n" && err.str().empty());
            QOR_FUZZ_CHECK(request && request->images.size() == model.images);
            break;
        case kStatusFailure:
            QOR_FUZZ_CHECK(out.str().empty());
            QOR_FUZZ_CHECK(err.str() == (model.calls == 1 ? "GenerationError" : "DecodingError"));
            QOR_FUZZ_CHECK(model.calls == 1 ? modelFails : !request);
            break;
        default:  // a bad image ends the run before the model is asked, silently
            QOR_FUZZ_CHECK(model.calls == 0 && out.str().empty() && err.str().empty());
            QOR_FUZZ_CHECK(request && !request->images.empty());
    }
}

void fuzzRequest(std::string_view text) {
    const std::optional<Request> request = decodeRequest(text);
    if (!request) {
        return;
    }
    // Whatever the decoder accepts is a JSON object whose three fields hold exactly what the
    // decoder returned (the last of repeated keys wins in both readings).
    nlohmann::json document;
    try {
        document = nlohmann::json::parse(text);
    } catch (const nlohmann::json::out_of_range&) {
        // A number beyond a double's range, which the decoder ignores and the plain parse
        // refuses: there is no plain reading to compare with.
        return;
    } catch (const nlohmann::json::exception&) {
        QOR_FUZZ_CHECK(false);
    }
    QOR_FUZZ_CHECK(document.is_object());
    QOR_FUZZ_CHECK(document.contains("images") && document["images"].is_array());
    QOR_FUZZ_CHECK(document["images"].size() == request->images.size());
    for (std::size_t i = 0; i < request->images.size(); ++i) {
        QOR_FUZZ_CHECK(document["images"][i].is_string());
        QOR_FUZZ_CHECK(document["images"][i].get<std::string>() == request->images[i]);
    }
    QOR_FUZZ_CHECK(document.contains("prompt") && document["prompt"].is_string());
    QOR_FUZZ_CHECK(document["prompt"].get<std::string>() == request->prompt);
    QOR_FUZZ_CHECK(document.contains("locale") && document["locale"].is_string());
    QOR_FUZZ_CHECK(document["locale"].get<std::string>() == request->locale);
}

// The strict form: length a multiple of four, at most two '=' and only at the end, every other
// character from the standard alphabet.
bool strictBase64(std::string_view text) {
    if (text.size() % 4 != 0) {
        return false;
    }
    std::size_t data = text.size();
    for (int pad = 0; pad < 2 && data > 0 && text[data - 1] == '='; ++pad) {
        --data;
    }
    for (std::size_t i = 0; i < data; ++i) {
        const char c = text[i];
        const bool alphabet = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                              (c >= '0' && c <= '9') || c == '+' || c == '/';
        if (!alphabet) {
            return false;
        }
    }
    return true;
}

void checkImage(std::span<const std::uint8_t> bytes) {
    const std::optional<ImageInfo> info = inspectImage(bytes);
    if (!info) {
        return;
    }
    QOR_FUZZ_CHECK(info->width >= 1 && info->width <= kMaxImageSide);
    QOR_FUZZ_CHECK(info->height >= 1 && info->height <= kMaxImageSide);
    QOR_FUZZ_CHECK(std::int64_t{info->width} * info->height <= kMaxImagePixels);
    QOR_FUZZ_CHECK(info->mimeType.starts_with("image/"));
}

void fuzzBase64(std::string_view text) {
    const std::optional<std::vector<std::uint8_t>> bytes = decodeBase64(text);
    QOR_FUZZ_CHECK(bytes.has_value() == strictBase64(text));
    if (!bytes) {
        return;
    }
    // Re-encoding gives the text back, except for unused low bits of the last data character.
    const std::string again = encodeBase64(*bytes);
    QOR_FUZZ_CHECK(again.size() == text.size());
    std::size_t data = text.size();
    while (data > 0 && text[data - 1] == '=') {
        --data;
    }
    QOR_FUZZ_CHECK(bytes->size() == data * 3 / 4);
    if (data > 0) {
        QOR_FUZZ_CHECK(again.compare(0, data - 1, text, 0, data - 1) == 0);
        QOR_FUZZ_CHECK(again.compare(data, std::string::npos, text, data) == 0);
    }
    QOR_FUZZ_CHECK(decodeBase64(again) == bytes);
    checkImage(*bytes);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    switch (data[0] & 3) {
        case 0:
            fuzzEntry(rest, (data[0] & 4) != 0);
            break;
        case 1:
            fuzzRequest(rest);
            break;
        case 2:
            fuzzBase64(rest);
            break;
        default:
            checkImage({data + 1, size - 1});
    }
    return 0;
}
