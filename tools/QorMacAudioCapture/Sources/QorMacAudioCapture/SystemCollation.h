// The system's text services: the name order for the source list and the canonical form of bundle
// identifiers. One definition per platform: ICU on Linux, Core Foundation on macOS. The core
// reaches them only through Workspace, whose backends call them.
#pragma once

#include <optional>
#include <string>

namespace qor {

// Negative, zero or positive as `a` sorts before, with or after `b` by a localized,
// case-insensitive comparison in the user's current locale. Throws HelperError runtime
// "collation_unavailable:<reason>" when the system's collation cannot be used: a list in some other
// order would look right and be wrong.
int localizedCaseInsensitiveCompare(const std::string& a, const std::string& b);

// `text`, valid UTF-8, in Unicode canonical composed form (NFC); nothing when the system's
// normaliser cannot be used. Any thread.
std::optional<std::string> canonicalComposition(const std::string& text);

}  // namespace qor
