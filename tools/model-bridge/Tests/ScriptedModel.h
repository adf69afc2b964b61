#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "LanguageModel.h"

namespace qor::bridge::testing {

// An in-process model for tests of the entry sequence: answers as scripted and records what it
// was asked, in order.
class ScriptedModel final : public LanguageModel {
  public:
    bool available = true;
    bool localeSupported = true;
    bool imagesTaken = true;
    ModelResponse response = ModelResponse::answer("answer");
    // Images the platform decoder is scripted to refuse, by their bytes.
    std::vector<std::vector<std::uint8_t>> unreadableImages;

    // "isAvailable", "supportsLocale:<id>", "canReadImage:<mime type>", "takesImages", "respond"
    std::vector<std::string> calls;
    std::vector<Prompt> prompts;

    bool isAvailable() override {
        calls.push_back("isAvailable");
        return available;
    }
    bool supportsLocale(const std::string& localeIdentifier) override {
        calls.push_back("supportsLocale:" + localeIdentifier);
        return localeSupported;
    }
    bool canReadImage(const PromptImage& image) override {
        calls.push_back("canReadImage:" + image.mimeType);
        return std::find(unreadableImages.begin(), unreadableImages.end(), image.bytes) ==
               unreadableImages.end();
    }
    bool takesImages() override {
        calls.push_back("takesImages");
        return imagesTaken;
    }
    ModelResponse respond(const Prompt& prompt) override {
        calls.push_back("respond");
        prompts.push_back(prompt);
        return response;
    }
};

}  // namespace qor::bridge::testing
