// The bridge's whole run and its exit statuses.
#pragma once

#include <iosfwd>
#include <span>
#include <string>

#include "LanguageModel.h"

namespace qor::bridge {

// Exit statuses of the program.
enum BridgeStatus : int {
    kStatusSuccess = 0,
    kStatusFailure = 1,      // undecodable request or failed model call; error report on stderr
    kStatusUnavailable = 2,  // model unavailable, the locale is not supported, or the request has
                             // images and the model takes none; no output
    kStatusBadImage = 3,     // an image is not valid base64 or no readable image; no output
};

// The whole run: availability, the readiness probe, reading and decoding the request, the locale
// check, the image check, the one model call and the answer. Returns the exit status; writes only
// what that status allows. Standard input is not touched unless a request is to be answered.
int runBridge(LanguageModel& model, std::span<const std::string> arguments, std::istream& input,
              std::ostream& output, std::ostream& error);

}  // namespace qor::bridge
