// The system's name order for the source list. One definition per platform: ICU on Linux, Core
// Foundation on macOS. The core reaches it only through Workspace, whose backends call it.
#pragma once

#include <string>

namespace qor {

// Negative, zero or positive as `a` sorts before, with or after `b` by a localized,
// case-insensitive comparison in the user's current locale. Throws HelperError runtime
// "collation_unavailable:<reason>" when the system's collation cannot be used: a list in some other
// order would look right and be wrong.
int localizedCaseInsensitiveCompare(const std::string& a, const std::string& b);

}  // namespace qor
