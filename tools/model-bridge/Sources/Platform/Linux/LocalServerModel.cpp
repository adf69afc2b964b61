#include "LocalServerModel.h"

#include <cstdlib>

#include "../DefaultLanguageModel.h"
#include "LocaleIdentifier.h"
#include "OpenAIProtocol.h"

namespace qor::bridge {

namespace local_server {

namespace {

// The model list is a cheap answer; a server that cannot give it within this time is not usable.
constexpr std::chrono::milliseconds kModelListTime{30'000};

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? std::string() : std::string(value);
}

}  // namespace

ServerSettings ServerSettings::fromEnvironment() {
    ServerSettings settings{environment("OPENAI_BASE_URL"), environment("OPENAI_API_KEY")};
    if (settings.baseUrl.empty()) {
        settings.baseUrl = "http://127.0.0.1:8080/v1";
    }
    while (settings.baseUrl.size() > 1 && settings.baseUrl.back() == '/') {
        settings.baseUrl.pop_back();
    }
    return settings;
}

LocalServerModel::LocalServerModel(ServerSettings settings) : settings_(std::move(settings)) {}

std::vector<std::string> LocalServerModel::headers() const {
    std::vector<std::string> list = {"Accept: application/json", "Content-Type: application/json"};
    if (!settings_.apiKey.empty()) {
        list.push_back("Authorization: Bearer " + settings_.apiKey);
    }
    return list;
}

bool LocalServerModel::isAvailable() {
    HttpResponse response = http_.get(settings_.baseUrl + "/models", headers(), kModelListTime);
    if (!response.delivered || response.status != 200) {
        return false;
    }
    model_ = firstModelId(response.body);
    return model_.has_value();
}

bool LocalServerModel::supportsLocale(const std::string& localeIdentifier) {
    return isWellFormedLocaleIdentifier(localeIdentifier);
}

ModelResponse LocalServerModel::respond(const Prompt& prompt) {
    HttpResponse response = http_.post(settings_.baseUrl + "/chat/completions",
                                       chatCompletionBody(model_.value_or(""), prompt), headers());
    if (response.tooLarge) {
        return ModelResponse::failure(kInvalidResponseErrorName);
    }
    if (!response.delivered) {
        return ModelResponse::failure(kConnectionErrorName);
    }
    if (response.status < 200 || response.status > 299) {
        return ModelResponse::failure(kGenerationErrorName);
    }
    std::optional<std::string> content = firstChoiceContent(response.body);
    if (!content) {
        return ModelResponse::failure(kInvalidResponseErrorName);
    }
    return ModelResponse::answer(std::move(*content));
}

}  // namespace local_server

std::unique_ptr<LanguageModel> makeDefaultLanguageModel() {
    return std::make_unique<local_server::LocalServerModel>(
        local_server::ServerSettings::fromEnvironment());
}

}  // namespace qor::bridge
