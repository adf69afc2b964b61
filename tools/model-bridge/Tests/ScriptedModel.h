#pragma once

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
    ModelResponse response = ModelResponse::answer("answer");

    std::vector<std::string> calls;  // "isAvailable", "supportsLocale:<id>", "respond"
    std::vector<Prompt> prompts;

    bool isAvailable() override {
        calls.push_back("isAvailable");
        return available;
    }
    bool supportsLocale(const std::string& localeIdentifier) override {
        calls.push_back("supportsLocale:" + localeIdentifier);
        return localeSupported;
    }
    ModelResponse respond(const Prompt& prompt) override {
        calls.push_back("respond");
        prompts.push_back(prompt);
        return response;
    }
};

}  // namespace qor::bridge::testing
