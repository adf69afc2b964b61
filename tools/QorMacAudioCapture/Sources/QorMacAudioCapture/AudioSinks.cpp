#include "AudioSinks.h"

#include <bit>
#include <cstdint>
#include <cstring>

#include "Diagnostics.h"

namespace qor {

static_assert(sizeof(float) == 4);

void StandardOutputSink::write(std::span<const float> floatStereo) {
    if (floatStereo.empty()) {
        return;
    }
    if constexpr (std::endian::native == std::endian::little) {
        Diagnostics::writeAll(Diagnostics::standardOutput, floatStereo.data(),
                              floatStereo.size_bytes());
    } else {
        if (swapped_.size() < floatStereo.size()) {
            swapped_.resize(floatStereo.size());
        }
        for (std::size_t i = 0; i < floatStereo.size(); ++i) {
            std::uint32_t bits;
            std::memcpy(&bits, &floatStereo[i], 4);
            swapped_[i] = __builtin_bswap32(bits);
        }
        Diagnostics::writeAll(Diagnostics::standardOutput, swapped_.data(), floatStereo.size() * 4);
    }
}

}  // namespace qor
