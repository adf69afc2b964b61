#include "Bridge.h"

#include <algorithm>
#include <istream>
#include <optional>
#include <ostream>

#include "Base64.h"
#include "ImageCheck.h"
#include "Request.h"

namespace qor::bridge {

namespace {

// The report names the failing error's type and nothing else: no message, no line feed.
constexpr std::string_view kDecodingErrorName = "DecodingError";
// The answer did not reach standard output whole: the reader went away, the device is full, or
// any other write error. The host must not take silence on stdout for an answer.
constexpr std::string_view kOutputErrorName = "OutputError";

bool wantsReadinessProbe(std::span<const std::string> arguments) {
    return std::any_of(arguments.begin(), arguments.end(),
                       [](const std::string& argument) { return argument == "--ready"; });
}

// All of standard input up to its end, or nothing when it runs past kMaxRequestBytes; then the
// rest is left unread, since the request is refused anyway.
std::optional<std::string> readRequestBytes(std::istream& input) {
    std::string bytes;
    char chunk[64 * 1024];
    while (input) {
        input.read(chunk, sizeof chunk);
        std::size_t count = static_cast<std::size_t>(input.gcount());
        if (bytes.size() + count > kMaxRequestBytes) {
            return std::nullopt;
        }
        bytes.append(chunk, count);
    }
    if (input.bad()) {
        return std::nullopt;
    }
    return bytes;
}

void writeErrorReport(std::ostream& error, std::string_view typeName) {
    error.write(typeName.data(), static_cast<std::streamsize>(typeName.size()));
    error.flush();
}

// Every image must be valid base64 of an image that both the header check and the platform's
// decoder accept; one bad element refuses the request, so the remaining elements need not be
// looked at.
std::optional<std::vector<PromptImage>> decodeImages(LanguageModel& model, const ImageList& texts) {
    std::vector<PromptImage> images;
    images.reserve(texts.size());
    for (std::size_t i = 0; i < texts.size(); ++i) {
        std::optional<std::vector<std::uint8_t>> bytes = decodeBase64(texts[i]);
        if (!bytes) {
            return std::nullopt;
        }
        std::optional<ImageInfo> info = inspectImage(*bytes);
        if (!info) {
            return std::nullopt;
        }
        PromptImage image{std::move(*bytes), std::move(info->mimeType)};
        if (!model.canReadImage(image)) {
            return std::nullopt;
        }
        images.push_back(std::move(image));
    }
    return images;
}

}  // namespace

int runBridge(LanguageModel& model, std::span<const std::string> arguments, std::istream& input,
              std::ostream& output, std::ostream& error) {
    // Availability comes first, so even the readiness probe answers 2 for an unusable model.
    if (!model.isAvailable()) {
        return kStatusUnavailable;
    }
    if (wantsReadinessProbe(arguments)) {
        return kStatusSuccess;
    }

    std::optional<Request> request;
    if (std::optional<std::string> bytes = readRequestBytes(input)) {
        request = decodeRequest(*bytes);
    }
    if (!request) {
        writeErrorReport(error, kDecodingErrorName);
        return kStatusFailure;
    }

    if (!model.supportsLocale(request->locale)) {
        return kStatusUnavailable;
    }

    std::optional<std::vector<PromptImage>> images = decodeImages(model, request->images);
    if (!images) {
        return kStatusBadImage;
    }
    if (!images->empty() && !model.takesImages()) {
        return kStatusUnavailable;
    }
    request->images = {};  // the decoded bytes replace the text from here on

    Prompt prompt{std::move(request->prompt), std::move(*images)};
    ModelResponse response = model.respond(prompt);
    if (!response.content) {
        writeErrorReport(error, response.errorTypeName);
        return kStatusFailure;
    }

    std::string answer = std::move(*response.content);
    answer.push_back('\n');
    output.write(answer.data(), static_cast<std::streamsize>(answer.size()));
    output.flush();
    if (!output) {
        writeErrorReport(error, kOutputErrorName);
        return kStatusFailure;
    }
    return kStatusSuccess;
}

}  // namespace qor::bridge
