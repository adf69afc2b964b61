// The JSON bodies of the OpenAI-compatible HTTP API, built and read without I/O.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "../../LanguageModel.h"

namespace qor::bridge::local_server {

// The bodies of the OpenAI-compatible HTTP API that llama.cpp's llama-server, Ollama, LM Studio
// and vLLM all speak. Nothing here performs I/O.

// The id of the first model in the answer to GET {base}/models ({"data":[{"id":...},...]}).
std::optional<std::string> firstModelId(std::string_view modelListBody);

// One non-streaming chat completion: a single user message holding the prompt text and then each
// image as a data: URI of its type, in order. Without images the content is the plain text,
// which every server accepts. No sampling settings or token limit: the server's defaults apply.
std::string chatCompletionBody(const std::string& model, const Prompt& prompt);

// choices[0].message.content, when it is a string.
std::optional<std::string> firstChoiceContent(std::string_view completionBody);

}  // namespace qor::bridge::local_server
