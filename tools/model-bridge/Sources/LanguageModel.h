// The language model interface that each platform backend implements.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qor::bridge {

// One image of a prompt: the bytes the host sent (already checked to be a readable image) and the
// type sniffed from them, which a backend may need to label the bytes for its model service.
struct PromptImage {
    std::vector<std::uint8_t> bytes;
    std::string mimeType;
};

// The text first, then the images in request order. The text is passed verbatim: backends add no
// template, locale or other text of their own.
struct Prompt {
    std::string text;
    std::vector<PromptImage> images;
};

// The outcome of the one model call: either the answer, or the unqualified name of the failure's
// type, which the entry writes as the error report.
struct ModelResponse {
    std::optional<std::string> content;
    std::string errorTypeName;

    static ModelResponse answer(std::string text) { return {std::move(text), {}}; }
    static ModelResponse failure(std::string typeName) {
        return {std::nullopt, std::move(typeName)};
    }
};

// The platform's default language model. One object serves a whole run: the entry asks for
// availability first, then for locale support, then whether each image can be read, then makes at
// most one call. Backends only perform their platform operations and report the results; the entry
// decides statuses and output.
class LanguageModel {
  public:
    virtual ~LanguageModel() = default;

    // Whether the model can be used at all; the reason when it cannot does not matter.
    virtual bool isAvailable() = 0;
    // Whether the model can work in the language of this locale identifier.
    virtual bool supportsLocale(const std::string& localeIdentifier) = 0;
    // Whether the platform's own decoder can read these bytes, which already passed the portable
    // header check. Asked before the call, so that an image the platform would only reject while
    // building the prompt refuses the request like any other unreadable image. A backend that
    // passes the bytes on undecoded has nothing to add.
    virtual bool canReadImage(const PromptImage& /*image*/) { return true; }
    // Whether the model takes images in a prompt at all. Asked only for a request whose images were
    // all found readable; a model that takes none is unavailable for it.
    virtual bool takesImages() { return true; }
    // One request with default generation options, no tools and no instructions; blocks until the
    // model has answered or failed. Never retried.
    virtual ModelResponse respond(const Prompt& prompt) = 0;
};

}  // namespace qor::bridge
