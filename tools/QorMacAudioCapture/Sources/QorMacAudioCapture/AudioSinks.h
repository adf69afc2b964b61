// Where captured audio goes: one sink per capture, chosen once by the entry.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "OutputBacklog.h"

namespace qor {

// One whole write of the bytes, for what may wait on the reader (a regular file, the JSON lines):
// loops on partial writes and interruptions. Returns 0 once every byte went out, else the errno of
// the write that failed.
int writeAll(int fileDescriptor, const void* data, std::size_t size);

// The error that ends a capture, a listing or the capabilities when standard output fails:
// "output_write_failed:" and the system's description of the errno.
std::string outputWriteFailedMessage(int error);

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
    // The errno that ended delivery for good, 0 while the sink still delivers. Read on the I/O
    // queue after write(): a block written while it is set did not reach the reader (not whole).
    virtual int failure() const { return 0; }
    // Frames the sink accepted and could not deliver (a full window), on the thread of write().
    virtual std::uint64_t droppedFrames() const { return 0; }
    // Called on the main thread as a capture begins to stop, before anything is torn down: a write
    // that waits on its reader gives up, and later writes deliver only what the reader takes at
    // once, so the stop never waits on a reader that has stopped reading. A sink whose writes never
    // wait needs nothing here.
    virtual void stopWaiting() {}
};

// Headerless little-endian float32 stereo on standard output. A write that fails for any reason
// but a full pipe or an interruption (a full disk, an I/O error, a descriptor not open for writing)
// ends delivery: failure() tells why and every later write does nothing. The broken-pipe signal
// keeps its default action and ends the process when the reader has gone. A write never waits for
// a slow reader: what a pipe, a socket or a terminal does not take at once waits in a backlog of
// seconds (OutputBacklog), and a pipe of its own is first grown to hold seconds more. At the stop,
// what waits is handed on while the reader takes it, for at most a second after stopWaiting().
// Standard output is examined once, at construction: redirect it before building the sink.
class StandardOutputSink final : public AudioSink {
  public:
    StandardOutputSink();
    ~StandardOutputSink() override;
    StandardOutputSink(const StandardOutputSink&) = delete;
    StandardOutputSink& operator=(const StandardOutputSink&) = delete;
    const std::string& transportName() const override { return transportName_; }
    const std::string& formatName() const override { return formatName_; }
    void write(std::span<const float> floatStereo) override;
    // Hands on what waits, within the stop's bound; standard output stays open until the process
    // ends.
    void close() override;
    void stopWaiting() override;
    int failure() const override { return failure_; }
    std::uint64_t droppedFrames() const override;

  private:
    // How a block reaches the reader, chosen at construction.
    enum class Route {
        // A regular file: nothing waits on a reader, so whole blocks go in plain writes.
        file,
        // Through the backlog: a pipe opened anew, non-blocking (one write per block while the
        // reader keeps up), a socket, or anything else (written by the backlog's thread alone).
        backlog,
    };

    // Returns 0, or the errno of the write that failed.
    int deliver(const char* bytes, std::size_t size);

    const std::string transportName_ = "stdout";
    const std::string formatName_ = "float32le";
    // Set at construction, used by the I/O queue's writes (and the backlog's by close()).
    Route route_ = Route::backlog;
    int ownPipe_ = -1;
    std::unique_ptr<OutputBacklog> backlog_;
    // Main thread only: when the stop began, which bounds how long close() hands on.
    std::optional<std::chrono::steady_clock::time_point> stopBegan_;
    // I/O queue only: set by the first write that fails, never cleared.
    int failure_ = 0;
    // I/O queue only: big-endian hosts swap into this, grown to the largest block seen.
    std::vector<std::uint32_t> swapped_;
};

}  // namespace qor
