// Version thresholds and system values of the environment queries.
#include "helper/application_environment.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/fake/fake_platform.h"
#include "platform/platform.h"

namespace pendra {
namespace {

class ApplicationEnvironmentTest : public ::testing::Test {
  protected:
    void runOn(std::int64_t major, std::int64_t minor, std::int64_t patch) {
        fake.processInfo.version = {major, minor, patch};
        fake.processInfo.queries.clear();
    }
    void setValue(const std::string& name, const std::string& bytes) {
        fake.processInfo.sysctlValues[name] = std::vector<std::uint8_t>(bytes.begin(), bytes.end());
    }

    platform::fake::FakePlatform fake;
    platform::ScopedInstall installed{fake.services()};
};

TEST_F(ApplicationEnvironmentTest, AtMostCoversEveryPatchOfTheMinorVersion) {
    runOn(10, 15, 7);
    EXPECT_TRUE(ApplicationEnvironment::isOperatingSystemAtMostMajorVersion(10, 15));
    // One question: is the system at least the next minor version?
    ASSERT_EQ(fake.processInfo.queries.size(), 1u);
    EXPECT_EQ(fake.processInfo.queries[0].majorVersion, 10);
    EXPECT_EQ(fake.processInfo.queries[0].minorVersion, 16);
    EXPECT_EQ(fake.processInfo.queries[0].patchVersion, 0);

    runOn(11, 0, 0);
    EXPECT_FALSE(ApplicationEnvironment::isOperatingSystemAtMostMajorVersion(10, 15));
    runOn(10, 16, 0);
    EXPECT_FALSE(ApplicationEnvironment::isOperatingSystemAtMostMajorVersion(10, 15));
    runOn(10, 14, 6);
    EXPECT_TRUE(ApplicationEnvironment::isOperatingSystemAtMostMajorVersion(10, 15));
}

TEST_F(ApplicationEnvironmentTest, AtLeastComparesMajorMinorAndPatch) {
    for (const platform::OperatingSystemVersion& version :
         std::vector<platform::OperatingSystemVersion>{
             {10, 13, 0}, {10, 13, 6}, {11, 0, 0}, {14, 0, 0}}) {
        runOn(version.majorVersion, version.minorVersion, version.patchVersion);
        EXPECT_TRUE(ApplicationEnvironment::isOperatingSystemAtLeastMajorVersion(10, 13))
            << version.majorVersion << "." << version.minorVersion;
    }
    runOn(10, 12, 6);
    EXPECT_FALSE(ApplicationEnvironment::isOperatingSystemAtLeastMajorVersion(10, 13));

    runOn(12, 5, 1);
    EXPECT_TRUE(ApplicationEnvironment::isOperatingSystemAtLeastMajorVersion(12));
    EXPECT_FALSE(ApplicationEnvironment::isOperatingSystemAtLeastMajorVersion(13));
    EXPECT_TRUE(ApplicationEnvironment::isOperatingSystemAtLeastMajorVersion(12, 5, 1));
    EXPECT_FALSE(ApplicationEnvironment::isOperatingSystemAtLeastMajorVersion(12, 5, 2));
    ASSERT_EQ(fake.processInfo.queries.size(), 4u);
    EXPECT_EQ(fake.processInfo.queries[1].majorVersion, 13);
    EXPECT_EQ(fake.processInfo.queries[1].minorVersion, 0);
    EXPECT_EQ(fake.processInfo.queries[1].patchVersion, 0);
}

struct Threshold {
    const char* name;
    std::function<bool()> query;
    platform::OperatingSystemVersion version;
};

TEST_F(ApplicationEnvironmentTest, EachFeatureIsOneQuestionAtItsThreshold) {
    const std::vector<Threshold> thresholds = {
        {"touch bar", ApplicationEnvironment::isTouchBarSupported, {10, 12, 2}},
        {"sharing service picker",
         ApplicationEnvironment::sharingServicePickerSupported,
         {13, 0, 0}},
        {"modern notifications",
         ApplicationEnvironment::modernUserNotificationsSupported,
         {10, 14, 0}},
        {"localized key equivalents",
         ApplicationEnvironment::automaticallyLocalizedKeyEquivalentsSupported,
         {12, 0, 0}},
        {"dynamic type", ApplicationEnvironment::dynamicTypeSupported, {10, 15, 0}},
    };
    for (const Threshold& threshold : thresholds) {
        SCOPED_TRACE(threshold.name);
        runOn(threshold.version.majorVersion, threshold.version.minorVersion,
              threshold.version.patchVersion);
        EXPECT_TRUE(threshold.query());
        ASSERT_EQ(fake.processInfo.queries.size(), 1u);
        EXPECT_EQ(fake.processInfo.queries[0].majorVersion, threshold.version.majorVersion);
        EXPECT_EQ(fake.processInfo.queries[0].minorVersion, threshold.version.minorVersion);
        EXPECT_EQ(fake.processInfo.queries[0].patchVersion, threshold.version.patchVersion);
    }
    runOn(1, 0, 0);
    EXPECT_TRUE(ApplicationEnvironment::isRunningInSandbox());
    EXPECT_TRUE(fake.processInfo.queries.empty());
}

TEST_F(ApplicationEnvironmentTest, SystemValuesAreReadAsText) {
    setValue("hw.machine", std::string("x86_64\0", 7));
    setValue("hw.model", std::string("MacBookPro18,3\0", 15));
    EXPECT_EQ(ApplicationEnvironment::machineIdentifier(), "x86_64");
    EXPECT_EQ(ApplicationEnvironment::modelIdentifier(), "MacBookPro18,3");
}

TEST_F(ApplicationEnvironmentTest, SystemValuesStopAtTheFirstZeroAndRepairBrokenText) {
    setValue("hw.machine", std::string("arm64\0junk\0", 11));
    EXPECT_EQ(ApplicationEnvironment::machineIdentifier(), "arm64");

    // A stray byte and a cut-off sequence each become one U+FFFD; an encoded surrogate is no
    // sequence at all, so each of its bytes does.
    setValue("hw.model", std::string("a\xFF"
                                     "b\xE2\x82"
                                     "c\xED\xA0\x80"
                                     "d\0",
                                     11));
    EXPECT_EQ(ApplicationEnvironment::modelIdentifier(),
              "a\xEF\xBF\xBD"
              "b\xEF\xBF\xBD"
              "c\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"
              "d");
    // A sequence cut off by the end of the value.
    setValue("hw.model", std::string("ok\xF0\x9F\x98", 5));
    EXPECT_EQ(ApplicationEnvironment::modelIdentifier(), "ok\xEF\xBF\xBD");

    setValue("hw.model", "Mac\xC3\xA9");
    EXPECT_EQ(ApplicationEnvironment::modelIdentifier(), "Mac\xC3\xA9");
}

TEST_F(ApplicationEnvironmentTest, ValueWithoutTerminatorIsTakenWhole) {
    setValue("hw.machine", "arm64e");
    EXPECT_EQ(ApplicationEnvironment::machineIdentifier(), "arm64e");
}

TEST_F(ApplicationEnvironmentTest, UnreadableSystemValuesGiveEmptyText) {
    EXPECT_EQ(ApplicationEnvironment::machineIdentifier(), "");

    setValue("hw.machine", std::string("x86_64\0", 7));
    fake.processInfo.failSizeQuery = true;
    EXPECT_EQ(ApplicationEnvironment::machineIdentifier(), "");

    fake.processInfo.failSizeQuery = false;
    fake.processInfo.failFill = true;
    EXPECT_EQ(ApplicationEnvironment::machineIdentifier(), "");

    fake.processInfo.failFill = false;
    fake.processInfo.reportedSize = 0;
    EXPECT_EQ(ApplicationEnvironment::machineIdentifier(), "");
}

}  // namespace
}  // namespace pendra
