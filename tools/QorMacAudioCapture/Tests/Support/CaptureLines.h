// The capture's standard-error lines of one kind, parsed: diagnostics lines and audio-state lines
// interleave with the start-up line and each other.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "Subprocess.h"

namespace qor::testing {

inline std::vector<nlohmann::json> linesWith(const std::string& err, const std::string& key,
                                             const std::string& value) {
    std::vector<nlohmann::json> found;
    for (const std::string& line : lines(err)) {
        const auto json = nlohmann::json::parse(line, nullptr, false);
        if (json.is_object() && json.value(key, std::string()) == value) {
            found.push_back(json);
        }
    }
    return found;
}

inline std::vector<nlohmann::json> statsLines(const std::string& err) {
    return linesWith(err, "diagnostic", "capture_stats");
}

inline std::vector<nlohmann::json> stateLines(const std::string& err) {
    return linesWith(err, "event", "audio_state");
}

// The "state/reason" of each state line, in order, with "+rebuild" on a rebuild's line.
inline std::vector<std::string> stateHistory(const std::string& err) {
    std::vector<std::string> history;
    for (const auto& line : stateLines(err)) {
        history.push_back(line["state"].get<std::string>() + "/" +
                          line["reason"].get<std::string>() +
                          (line.contains("rebuild") ? "+rebuild" : ""));
    }
    return history;
}

}  // namespace qor::testing
