#include "OpenAIProtocol.h"

#include <nlohmann/json.hpp>

#include "../../Base64.h"
#include "../../Request.h"

namespace qor::bridge::local_server {

namespace {

using json = nlohmann::json;

struct TooDeep {};

// A reply is held to the request's nesting limit: the document the parser builds would otherwise
// cost far more than the reply's bytes (a reply of nothing but brackets, each one a container).
// The parse ends at the first container past the limit.
json parseOrNull(std::string_view body) {
    const json::parser_callback_t limitDepth = [](int depth, json::parse_event_t event, json&) {
        const bool opens =
            event == json::parse_event_t::object_start || event == json::parse_event_t::array_start;
        if (opens && static_cast<std::size_t>(depth) >= kMaxJsonNesting) {
            throw TooDeep{};
        }
        return true;
    };
    try {
        return json::parse(body, limitDepth, /*allow_exceptions=*/false);
    } catch (const TooDeep&) {
        return json();
    }
}

const json* member(const json* object, const char* key) {
    if (object == nullptr || !object->is_object()) {
        return nullptr;
    }
    auto found = object->find(key);
    return found == object->end() ? nullptr : &*found;
}

const json* member(const json& object, const char* key) {
    return member(&object, key);
}

}  // namespace

std::optional<std::string> firstModelId(std::string_view modelListBody) {
    json list = parseOrNull(modelListBody);
    const json* data = member(list, "data");
    if (data == nullptr || !data->is_array() || data->empty()) {
        return std::nullopt;
    }
    const json* id = member(&data->front(), "id");
    if (id == nullptr || !id->is_string()) {
        return std::nullopt;
    }
    return id->get<std::string>();
}

std::string chatCompletionBody(const std::string& model, const Prompt& prompt) {
    json content;
    if (prompt.images.empty()) {
        content = prompt.text;
    } else {
        content = json::array();
        content.push_back({{"type", "text"}, {"text", prompt.text}});
        for (const PromptImage& image : prompt.images) {
            std::string url = "data:" + image.mimeType + ";base64," + encodeBase64(image.bytes);
            content.push_back({{"type", "image_url"}, {"image_url", {{"url", std::move(url)}}}});
        }
    }
    json body = {
        {"model", model},
        {"messages", json::array({{{"role", "user"}, {"content", std::move(content)}}})},
        {"stream", false},
    };
    return body.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::optional<std::string> firstChoiceContent(std::string_view completionBody) {
    json completion = parseOrNull(completionBody);
    const json* choices = member(completion, "choices");
    if (choices == nullptr || !choices->is_array() || choices->empty()) {
        return std::nullopt;
    }
    const json* content = member(member(&choices->front(), "message"), "content");
    if (content == nullptr || !content->is_string()) {
        return std::nullopt;
    }
    return content->get<std::string>();
}

}  // namespace qor::bridge::local_server
