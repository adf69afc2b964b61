// A sink that keeps every block and counts closes, for in-process tests.
#pragma once

#include <atomic>
#include <mutex>
#include <vector>

#include "AudioSinks.h"

namespace qor::testing {

class RecordingSink final : public AudioSink {
  public:
    explicit RecordingSink(std::string format = "float32le") : format_(std::move(format)) {}
    const std::string& transportName() const override { return transport_; }
    const std::string& formatName() const override { return format_; }
    void write(std::span<const float> block) override {
        std::lock_guard guard(mutex_);
        blocks_.emplace_back(block.begin(), block.end());
    }
    void close() override { ++closes_; }

    std::vector<std::vector<float>> blocks() const {
        std::lock_guard guard(mutex_);
        return blocks_;
    }
    int closes() const { return closes_; }

  private:
    const std::string transport_ = "recording";
    const std::string format_;
    mutable std::mutex mutex_;
    std::vector<std::vector<float>> blocks_;
    std::atomic<int> closes_{0};
};

}  // namespace qor::testing
