// The language model served by an OpenAI-compatible local server (the Linux backend).
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "../../LanguageModel.h"
#include "HttpClient.h"

namespace qor::bridge::local_server {

// Where the server is: the settings every OpenAI-compatible client of the ecosystem reads, so a
// machine configured for one such client serves this program too.
struct ServerSettings {
    std::string baseUrl;  // OPENAI_BASE_URL, without trailing '/'; default http://127.0.0.1:8080/v1
    std::string apiKey;   // OPENAI_API_KEY; empty: no Authorization header

    static ServerSettings fromEnvironment();
};

// Type names of the failures of a model call, in the report's unqualified form.
inline constexpr const char* kConnectionErrorName = "ConnectionError";  // no HTTP answer at all
inline constexpr const char* kGenerationErrorName = "GenerationError";  // the server said no
inline constexpr const char* kInvalidResponseErrorName = "InvalidResponseError";  // no answer text

// The default model of an OpenAI-compatible local server (llama.cpp's llama-server, Ollama,
// LM Studio, vLLM): available when the server lists at least one model, and the first one listed
// answers every request.
class LocalServerModel final : public LanguageModel {
  public:
    explicit LocalServerModel(ServerSettings settings);

    bool isAvailable() override;
    bool supportsLocale(const std::string& localeIdentifier) override;
    ModelResponse respond(const Prompt& prompt) override;

  private:
    std::vector<std::string> headers() const;

    ServerSettings settings_;
    HttpClient http_;
    std::optional<std::string> model_;  // set by isAvailable()
};

}  // namespace qor::bridge::local_server
