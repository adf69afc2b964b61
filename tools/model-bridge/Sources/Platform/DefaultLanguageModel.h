// The factory for the platform's default language model.
#pragma once

#include <memory>

#include "../LanguageModel.h"

namespace qor::bridge {

// The platform's default model. Exactly one backend defines this, chosen by the build: the local
// model server on Linux (Platform/Linux), the system framework on macOS (Platform/macOS).
std::unique_ptr<LanguageModel> makeDefaultLanguageModel();

}  // namespace qor::bridge
