// The bridge's model on macOS: the system's on-device model, reached only through the C interface
// of the Swift unit.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "../DefaultLanguageModel.h"
#include "FoundationModelsShim.h"

namespace qor::bridge {

namespace {

struct ShimTextDeleter {
    void operator()(char* text) const { qor_fm_free(text); }
};

class FoundationModelsLanguageModel final : public LanguageModel {
  public:
    bool isAvailable() override { return qor_fm_model_available(); }

    bool supportsLocale(const std::string& localeIdentifier) override {
        return qor_fm_supports_locale(localeIdentifier.data(),
                                      static_cast<std::intptr_t>(localeIdentifier.size()));
    }

    bool takesImages() override { return qor_fm_model_takes_images(); }

    bool canReadImage(const PromptImage& image) override {
        return qor_fm_image_is_readable(image.bytes.data(),
                                        static_cast<std::intptr_t>(image.bytes.size()));
    }

    ModelResponse respond(const Prompt& prompt) override {
        std::vector<const std::uint8_t*> imageBytes;
        std::vector<std::intptr_t> imageLengths;
        imageBytes.reserve(prompt.images.size());
        imageLengths.reserve(prompt.images.size());
        for (const PromptImage& image : prompt.images) {
            imageBytes.push_back(image.bytes.data());
            imageLengths.push_back(static_cast<std::intptr_t>(image.bytes.size()));
        }

        char* text = nullptr;
        std::intptr_t textLength = 0;
        const int outcome = qor_fm_respond(
            prompt.text.data(), static_cast<std::intptr_t>(prompt.text.size()), imageBytes.data(),
            imageLengths.data(), static_cast<std::intptr_t>(imageBytes.size()), &text, &textLength);
        const std::unique_ptr<char, ShimTextDeleter> owned(text);
        std::string result = text != nullptr
                                 ? std::string(text, static_cast<std::size_t>(textLength))
                                 : std::string();
        return outcome == QOR_FM_ANSWER ? ModelResponse::answer(std::move(result))
                                        : ModelResponse::failure(std::move(result));
    }
};

}  // namespace

std::unique_ptr<LanguageModel> makeDefaultLanguageModel() {
    return std::make_unique<FoundationModelsLanguageModel>();
}

}  // namespace qor::bridge
