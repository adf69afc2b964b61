// The PipeWire tap's time keeping on cycles made up by hand: what a graph that switches its rate,
// repeats a cycle or jitters hands the node, and what the audio handed on comes to.
#include <gtest/gtest.h>

#include <vector>

#include "GraphClockFit.h"

namespace qor::pipewire {
namespace {

struct Cycle {
    std::uint32_t driver;
    std::uint32_t rate;  // frames a second
    double startMs;
    std::uint32_t frames;
};

// Feeds the cycles; returns what was handed on in milliseconds, and each cycle's fit.
double handOn(GraphClockFit& fit, const std::vector<Cycle>& cycles,
              std::vector<GraphClockFit::Cycle>* fits = nullptr) {
    double handedOnMs = 0;
    for (const Cycle& cycle : cycles) {
        const auto nsec = static_cast<std::uint64_t>(1e12 + cycle.startMs * 1e6);
        const auto result = fit.fit(cycle.driver, 1, cycle.rate, nsec, cycle.frames);
        const double frames = double(result.silence) + cycle.frames - result.skip;
        handedOnMs += frames * 1000.0 / cycle.rate;
        if (fits != nullptr) {
            fits->push_back(result);
        }
    }
    return handedOnMs;
}

// `count` cycles of `frames` at `rate` from `startMs`, each right after the one before (or, with
// `stepMs`, that far apart).
std::vector<Cycle> run(std::uint32_t driver, std::uint32_t rate, double startMs, int count,
                       std::uint32_t frames, double stepMs = 0) {
    std::vector<Cycle> cycles;
    for (int k = 0; k < count; ++k) {
        const double step = stepMs > 0 ? stepMs : frames * 1000.0 / rate;
        cycles.push_back({driver, rate, startMs + k * step, frames});
    }
    return cycles;
}

std::vector<Cycle> operator+(std::vector<Cycle> a, const std::vector<Cycle>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Rate switches as the graph does them. First: the sink's cycles at 48000, a passing driver whose
// first cycle starts 12 ms before the sink's last one ended, then the sink at 44100 starting 17 ms
// after the passing driver's last cycle ended. Then the passing driver again, its first cycle
// carrying its clock from when it last ran and its second 13 ms after the audio handed on ends,
// and the sink at 48000, whose first cycle claims twice the time its second leaves it. What is
// handed on spans exactly the time from the first cycle's start to the last one's end.
TEST(GraphClockFit, RateSwitchesThroughAPassingDriverKeepTheGraphsTime) {
    auto cycles = run(42, 48000, 0, 47, 1024) +       // ends at 1002.67 ms
                  run(28, 48000, 990.67, 3, 1024) +   // 12 ms early
                  run(42, 44100, 1071.67, 40, 1024);  // 17 ms late, ends at 2000.45 ms
    cycles.push_back({28, 44100, 1050.67, 1024});     // its clock from the first switch
    cycles = cycles + run(28, 44100, 2013.45, 2, 1024) + run(42, 48000, 2060, 1, 4096) +
             run(42, 48000, 2081.33, 20, 1024);
    GraphClockFit fit;
    std::vector<GraphClockFit::Cycle> fits;
    const double handedOn = handOn(fit, cycles, &fits);
    const double span = cycles.back().startMs + 1024 * 1000.0 / 48000;
    EXPECT_NEAR(handedOn, span, 0.03);
    EXPECT_EQ(fits[47].skip, 576u);     // 12 ms at 48000
    EXPECT_EQ(fits[50].silence, 750u);  // 17 ms at 44100
    EXPECT_EQ(fits[48].skip + fits[48].silence + fits[51].skip + fits[51].silence, 0u);
    EXPECT_EQ(fits[90].skip, 1024u);
    EXPECT_NEAR(double(fits[91].silence), 573, 1);  // 13 ms at 44100
    EXPECT_EQ(fits[94].skip, 1024u);  // the sink's second cycle at 48000 lies in its first
}

// Within one driver at one rate, a repeated cycle (the same start twice) is left out, a stall
// comes out as silence, and jitter below the bound passes untouched.
TEST(GraphClockFit, OneDriversCyclesKeepItsClockAndJitterPassesUntouched) {
    auto cycles = run(42, 48000, 0, 10, 1024);
    cycles.push_back(cycles.back());                 // the same cycle again
    cycles = cycles + run(42, 48000, 300, 5, 1024);  // 86.67 ms without a cycle
    GraphClockFit fit;
    std::vector<GraphClockFit::Cycle> fits;
    const double handedOn = handOn(fit, cycles, &fits);
    EXPECT_NEAR(handedOn, 300 + 5 * 1024 * 1000.0 / 48000, 0.03);
    EXPECT_EQ(fits[10].skip, 1024u);
    EXPECT_EQ(fits[11].silence, 4160u);

    GraphClockFit jittery;
    std::vector<GraphClockFit::Cycle> jitterFits;
    std::vector<Cycle> shaken = run(42, 48000, 0, 20, 480);
    for (std::size_t k = 0; k < shaken.size(); ++k) {
        shaken[k].startMs += (k % 2 == 0 ? 3.0 : -3.0);
    }
    EXPECT_NEAR(handOn(jittery, shaken, &jitterFits), 200, 1e-6);
    for (const auto& result : jitterFits) {
        EXPECT_EQ(result.skip + result.silence, 0u);
    }
}

// A clock that jumps by more than a minute started anew: no minute of silence, nothing skipped.
TEST(GraphClockFit, AClockThatStartsAnewIsTakenAsItIs) {
    GraphClockFit fit;
    std::vector<GraphClockFit::Cycle> fits;
    handOn(fit,
           run(42, 48000, 0, 3, 1024) + run(28, 48000, 90'000, 2, 1024) +
               run(42, 48000, -5'000, 2, 1024),
           &fits);
    for (const auto& result : fits) {
        EXPECT_EQ(result.skip + result.silence, 0u);
    }
}

}  // namespace
}  // namespace qor::pipewire
