#include <gtest/gtest.h>

#include "HelperError.h"
#if !defined(__APPLE__)
#include "ICUCollation.h"
#endif
#include "ProcessCatalog.h"
#include "SimulatedPlatform.h"

namespace qor {
namespace {

using simulated::Application;
using simulated::Scenario;
using simulated::SimulatedPlatform;

Application app(std::int32_t pid, std::optional<std::string> bundle,
                std::optional<std::string> name, AudioObjectID object = 0) {
    Application application;
    application.pid = pid;
    application.bundleIdentifier = std::move(bundle);
    application.localizedName = std::move(name);
    application.audioObject = object;
    return application;
}

std::vector<CaptureSource> list(std::vector<Application> applications, std::int32_t ownPid = 1) {
    Scenario scenario;
    scenario.applications = std::move(applications);
    scenario.ownPid = ownPid;
    SimulatedPlatform platform(scenario);
    return ProcessCatalog::listApplications(platform);
}

TEST(SourceList, FiltersOwnProcessBackgroundAgentsTerminatedAndNameless) {
    auto background = app(20, "com.agent", "Agent");
    background.policy = ActivationPolicy::prohibited;
    auto accessory = app(21, "com.menu", "Menu");
    accessory.policy = ActivationPolicy::accessory;
    auto terminated = app(22, "com.gone", "Gone");
    terminated.terminated = true;
    const auto sources = list({app(1, "com.self", "Self"), background, accessory, terminated,
                               app(23, "com.blank", " \n\t"), app(24, "com.none", std::nullopt)});
    ASSERT_EQ(sources.size(), 1u);
    EXPECT_EQ(sources[0].name, "Menu");
}

TEST(SourceList, RecordFieldsAndTrimming) {
    const auto sources =
        list({app(30, "com.x", "  Music Player \n"), app(31, std::nullopt, "Tool")});
    ASSERT_EQ(sources.size(), 2u);
    EXPECT_EQ(sources[0].toJSON(), (JSON{{"bundleId", "com.x"},
                                         {"id", "application:com.x"},
                                         {"name", "Music Player"},
                                         {"processId", 30},
                                         {"processName", "Music Player"}}));
    EXPECT_EQ(sources[1].id, "process:31");
    EXPECT_EQ(sources[1].bundleId, "");
}

TEST(SourceList, FirstNamedInstanceOfABundleWins) {
    const auto sources =
        list({app(40, "com.dup", ""), app(41, "com.dup", "Second"), app(42, "com.dup", "Third"),
              app(43, std::nullopt, "Same"), app(44, std::nullopt, "Same")});
    ASSERT_EQ(sources.size(), 3u);
    EXPECT_EQ(sources[0].processId, 43);
    EXPECT_EQ(sources[1].processId, 44);
    EXPECT_EQ(sources[2].processId, 41);
}

TEST(SourceList, StableCaseInsensitiveSort) {
    const auto sources = list({app(50, "b", "beta"), app(51, "A", "Alpha"), app(52, "a", "alpha"),
                               app(53, "z", "Zulu"),
                               app(54, "e",
                                   "\xC3\x89"
                                   "clair"),
                               app(55, "c", "cello")});
    std::vector<std::string> names;
    for (const auto& source : sources) {
        names.push_back(source.name);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"Alpha", "alpha", "beta", "cello",
                                               "\xC3\x89"
                                               "clair",
                                               "Zulu"}));
}

#if !defined(__APPLE__)
// A missing ICU fails the listing rather than ordering it some other way.
TEST(SourceList, UnloadableCollationIsAnErrorNotAnotherOrder) {
    const ICUCollation missing("libicui18n-not-installed.so");
    try {
        missing.compare("b", "a");
        FAIL() << "compared without a collator";
    } catch (const HelperError& error) {
        EXPECT_EQ(error.kind(), HelperError::Kind::runtime);
        EXPECT_TRUE(error.description().starts_with(
            "collation_unavailable:libicui18n-not-installed.so: cannot open shared object file"))
            << error.description();
    }
}
#endif

TEST(SourceList, EmptyWorkspaceGivesEmptyList) {
    EXPECT_TRUE(list({app(1, "com.self", "Self")}).empty());
}

class Resolution : public ::testing::Test {
  protected:
    Resolution() {
        Scenario scenario;
        auto failing = app(63, "com.fail", "Fail", 0);
        failing.translateStatus = -66;
        auto ended = app(64, "com.a", "A ended", 640);
        ended.terminated = true;
        scenario.applications = {app(60, "com.a", "A", 600),
                                 app(61, "com.a", "A2", 610),
                                 app(62, "com.silent", "Silent", 0),
                                 failing,
                                 ended,
                                 app(65, " com.b", "B", 650)};
        platform = std::make_unique<SimulatedPlatform>(scenario);
    }
    std::unique_ptr<SimulatedPlatform> platform;
};

TEST_F(Resolution, BundleIdentifiersResolveEveryRunningInstanceOnce) {
    EXPECT_EQ(ProcessCatalog::processObjectIDs(*platform, *platform, {"com.a", "com.a"}),
              (std::vector<AudioObjectID>{600, 610}));
    EXPECT_TRUE(ProcessCatalog::processObjectIDs(*platform, *platform,
                                                 {"COM.A", "com.b", "com.silent", "com.fail"})
                    .empty());
    EXPECT_EQ(ProcessCatalog::processObjectIDs(*platform, *platform, {" com.b"}),
              (std::vector<AudioObjectID>{650}));
}

TEST_F(Resolution, EmptyBundleListDoesNotReadTheWorkspace) {
    EXPECT_TRUE(ProcessCatalog::processObjectIDs(*platform, *platform, {"", ""}).empty());
    EXPECT_TRUE(ProcessCatalog::processObjectIDs(*platform, *platform, {}).empty());
    EXPECT_EQ(platform->workspaceReads(), 0u);
}

// The platform's workspace, but with no normaliser to load.
class WorkspaceWithoutNormalizer final : public Workspace {
  public:
    explicit WorkspaceWithoutNormalizer(Workspace& inner) : inner_(inner) {}
    std::vector<RunningApplication> runningApplications() override {
        return inner_.runningApplications();
    }
    std::int32_t ownProcessIdentifier() override { return inner_.ownProcessIdentifier(); }
    std::optional<std::int32_t> parentProcessIdentifier(std::int32_t pid) override {
        return inner_.parentProcessIdentifier(pid);
    }
    std::optional<std::int32_t> responsibleProcessIdentifier(std::int32_t pid) override {
        return inner_.responsibleProcessIdentifier(pid);
    }
    int localizedCaseInsensitiveCompare(const std::string& a, const std::string& b) override {
        return inner_.localizedCaseInsensitiveCompare(a, b);
    }
    std::optional<std::string> canonicalComposition(const std::string&) override {
        return std::nullopt;
    }

  private:
    Workspace& inner_;
};

TEST_F(Resolution, WithoutANormalizerOnlyTextThatNeedsNoneIsCompared) {
    WorkspaceWithoutNormalizer workspace(*platform);
    // Plain ASCII, and bytes that are no UTF-8 at all, are compared as they are.
    EXPECT_EQ(ProcessCatalog::processObjectIDs(*platform, workspace, {"com.a", "com.\xFF"}),
              (std::vector<AudioObjectID>{600, 610}));
    try {
        ProcessCatalog::processObjectIDs(*platform, workspace, {"com.a", "com.caf\xC3\xA9"});
        FAIL() << "an identifier that needs normalising was compared as bytes";
    } catch (const HelperError& error) {
        EXPECT_EQ(error.description(), "unicode_normalization_unavailable");
    }
}

TEST_F(Resolution, SinglePidFailsLoudly) {
    EXPECT_EQ(ProcessCatalog::processObjectID(*platform, 61), 610u);
    try {
        ProcessCatalog::processObjectID(*platform, 62);
        FAIL();
    } catch (const HelperError& error) {
        EXPECT_EQ(error.description(), "audio_process_not_found");
    }
    try {
        ProcessCatalog::processObjectID(*platform, 63);
        FAIL();
    } catch (const HelperError& error) {
        EXPECT_EQ(error.description(), "translate_pid_to_audio_process:-66");
        EXPECT_EQ(error.kind(), HelperError::Kind::coreAudio);
    }
}

}  // namespace
}  // namespace qor
