#include "RateFollower.h"

#include <cmath>

namespace qor {

namespace {

constexpr std::uint64_t kNanosecondsPerSecond = 1'000'000'000;
// Readings are kept this far apart, so the ring spans more than a window whatever the cycle size.
constexpr std::uint64_t kMarkSpacingNs = 40'000'000;
constexpr std::uint64_t kWindowNs = kNanosecondsPerSecond;
// A rate further than this from the one in use is a change; a window whose halves differ by more
// than kSteadiness holds a change, and is not taken until it has passed.
constexpr double kTolerance = 0.01;
constexpr double kSteadiness = 0.005;
constexpr double kCommonRates[] = {8000,  11025, 16000, 22050, 24000,  32000,
                                   44100, 48000, 88200, 96000, 176400, 192000};

double rateBetween(double frames, std::uint64_t nanoseconds) {
    return frames * double(kNanosecondsPerSecond) / double(nanoseconds);
}

}  // namespace

RateFollower::RateFollower(double initialRate) : rate_(initialRate) {}

double RateFollower::snap(double measured) {
    double best = 0.0;
    for (double common : kCommonRates) {
        if (std::abs(measured - common) <= common * kTolerance &&
            (best == 0.0 || std::abs(measured - common) < std::abs(measured - best))) {
            best = common;
        }
    }
    return best != 0.0 ? best : std::round(measured);
}

const RateFollower::Mark& RateFollower::mark(std::size_t ageIndex) const {
    return marks_[(head_ + kMarks - 1 - ageIndex) % kMarks];
}

bool RateFollower::observe(const IOCycleTime& time, std::size_t frames) {
    if (time.announcedRate > 0.0 && std::isfinite(time.announcedRate) &&
        std::abs(time.announcedRate - announced_) >= 0.5) {
        announced_ = time.announcedRate;
        forget();  // the window before the change measures the old rate
        if (std::abs(announced_ - rate_) >= 0.5) {
            rate_ = announced_;
            return true;
        }
        return false;
    }
    return measure(time, frames);
}

bool RateFollower::measure(const IOCycleTime& time, std::size_t frames) {
    if (!time.sampleTimeValid || !time.hostTimeValid || !std::isfinite(time.sampleTime)) {
        return false;
    }
    const Mark now{time.sampleTime, time.hostTimeNs};
    if (count_ > 0) {
        const Mark& newest = mark(0);
        // A clock that went back, or a pause in the cycles longer than a few of them, starts a new
        // window: the frames of a pause say nothing about the rate.
        const double cycleNs = double(frames) / rate_ * double(kNanosecondsPerSecond);
        if (now.hostTimeNs < newest.hostTimeNs || now.sampleTime < newest.sampleTime ||
            double(now.hostTimeNs - newest.hostTimeNs) > 4.0 * cycleNs + 1e8) {
            forget();
        } else if (now.hostTimeNs - newest.hostTimeNs < kMarkSpacingNs) {
            return false;
        }
    }
    marks_[head_] = now;
    head_ = (head_ + 1) % kMarks;
    count_ = count_ < kMarks ? count_ + 1 : kMarks;

    // The newest reading at least a window old, and the one nearest the middle.
    std::size_t start = count_;
    for (std::size_t age = 1; age < count_; ++age) {
        if (now.hostTimeNs - mark(age).hostTimeNs >= kWindowNs) {
            start = age;
            break;
        }
    }
    if (start == count_) {
        return false;
    }
    const Mark& first = mark(start);
    const std::uint64_t middleTime = first.hostTimeNs + (now.hostTimeNs - first.hostTimeNs) / 2;
    std::size_t middleAge = 1;
    while (middleAge + 1 < start && mark(middleAge).hostTimeNs > middleTime) {
        ++middleAge;
    }
    const Mark& middle = mark(middleAge);
    if (middle.hostTimeNs <= first.hostTimeNs || now.hostTimeNs <= middle.hostTimeNs) {
        return false;
    }
    const double whole =
        rateBetween(now.sampleTime - first.sampleTime, now.hostTimeNs - first.hostTimeNs);
    const double early =
        rateBetween(middle.sampleTime - first.sampleTime, middle.hostTimeNs - first.hostTimeNs);
    const double late =
        rateBetween(now.sampleTime - middle.sampleTime, now.hostTimeNs - middle.hostTimeNs);
    if (whole <= 0.0 || std::abs(early - late) > whole * kSteadiness ||
        std::abs(whole - rate_) <= rate_ * kTolerance) {
        return false;
    }
    rate_ = snap(whole);
    forget();
    return true;
}

}  // namespace qor
