#include "AudioHardware.h"

namespace qor {

AudioBufferListStorage::AudioBufferListStorage(std::uint32_t bufferCount)
    : storage_(offsetof(AudioBufferList, mBuffers) +
               sizeof(AudioBuffer) * (bufferCount == 0 ? 1 : bufferCount)) {
    list().mNumberBuffers = bufferCount;
}

}  // namespace qor
