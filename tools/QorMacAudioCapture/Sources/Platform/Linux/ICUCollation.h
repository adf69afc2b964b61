// The Linux collation of the source list: ICU, loaded only when a list is sorted.
#pragma once

#include <memory>
#include <string>

namespace qor {

// ICU's collator for the process's locale (LANG and friends), at secondary strength: letter case
// is ignored, accents are not. Every failure, from loading the library to comparing, is a
// HelperError runtime "collation_unavailable:<reason>", never some other order.
class ICUCollation {
  public:
    // `library` is the file name of ICU's i18n library, as the dynamic loader looks it up.
    explicit ICUCollation(const char* library);
    ~ICUCollation();
    ICUCollation(const ICUCollation&) = delete;
    ICUCollation& operator=(const ICUCollation&) = delete;

    int compare(const std::string& a, const std::string& b) const;

  private:
    struct Collator;
    // Both set by the constructor, read-only afterwards. ICU is never unloaded.
    std::unique_ptr<const Collator> collator_;
    std::string failure_;  // why there is no collator
};

}  // namespace qor
