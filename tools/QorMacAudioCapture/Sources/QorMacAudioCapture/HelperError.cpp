#include "HelperError.h"

#include <utility>

namespace qor {

HelperError::HelperError(Kind kind, std::string message, std::int32_t status)
    : kind_(kind), message_(std::move(message)), status_(status) {
    description_ = kind_ == Kind::coreAudio ? message_ + ":" + std::to_string(status_) : message_;
}

}  // namespace qor
