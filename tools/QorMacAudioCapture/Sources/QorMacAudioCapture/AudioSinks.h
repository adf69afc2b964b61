// Where captured audio goes: one sink per capture, chosen once by the entry.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace qor {

// Both names are fixed at construction. write() is called only on the capture's I/O queue, one
// block at a time; close() runs on the main thread, possibly twice, and a write may still arrive
// after it.
class AudioSink {
  public:
    virtual ~AudioSink() = default;
    virtual const std::string& transportName() const = 0;
    virtual const std::string& formatName() const = 0;
    // One stereo block: interleaved left, right 32-bit floats. The caller keeps ownership.
    virtual void write(std::span<const float> floatStereo) = 0;
    virtual void close() = 0;
};

// Headerless little-endian float32 stereo on standard output. A failed write is not handled: the
// broken-pipe signal keeps its default action and ends the process when the reader has gone.
class StandardOutputSink final : public AudioSink {
  public:
    StandardOutputSink() = default;
    const std::string& transportName() const override { return transportName_; }
    const std::string& formatName() const override { return formatName_; }
    void write(std::span<const float> floatStereo) override;
    // Standard output stays open until the process ends.
    void close() override {}

  private:
    const std::string transportName_ = "stdout";
    const std::string formatName_ = "float32le";
    // I/O queue only: big-endian hosts swap into this, grown to the largest block seen.
    std::vector<std::uint32_t> swapped_;
};

}  // namespace qor
