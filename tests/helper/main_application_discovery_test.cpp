// Which variant of the main application the helper talks to, and which one it finds installed.
#include <optional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "helper/constants.h"
#include "helper/pendra_sandbox_helper.h"
#include "helper_test_support.h"

namespace pendra {
namespace {

struct Variant {
    bool installed;
    bool running;
};

struct DiscoveryCase {
    const char* name;
    Variant standard;
    Variant development;
    std::optional<std::string> preferred;
    std::optional<std::string> firstInstalled;
};

const std::string kStandard = kPendraBundleIdentifier;
const std::string kDevelopment = kPendraDevelopmentBundleIdentifier;

using MainApplicationDiscoveryTest = testing::HelperTest;

TEST_F(MainApplicationDiscoveryTest, SupportedIdentifiersInOrderOfPreference) {
    EXPECT_THAT(PendraSandboxHelper::supportedPendraBundleIdentifiers(),
                ::testing::ElementsAre("com.orvano.PendraMac", "com.orvano.PendraMac.development"));
}

TEST_F(MainApplicationDiscoveryTest, PreferredAndFirstInstalledFollowTheWorkspace) {
    const std::vector<DiscoveryCase> cases = {
        {"both installed and running", {true, true}, {true, true}, kStandard, kStandard},
        {"only development running", {true, false}, {true, true}, kDevelopment, kStandard},
        {"only standard running", {true, true}, {true, false}, kStandard, kStandard},
        {"neither running", {true, false}, {true, false}, kStandard, kStandard},
        {"only development installed", {false, false}, {true, false}, kDevelopment, kDevelopment},
        {"nothing installed", {false, false}, {false, false}, std::nullopt, std::nullopt},
        {"standard runs but cannot be located",
         {false, true},
         {true, false},
         kDevelopment,
         kDevelopment},
        {"development runs but cannot be located",
         {true, false},
         {false, true},
         kStandard,
         kStandard},
        {"only a copy that cannot be located runs",
         {false, true},
         {false, false},
         std::nullopt,
         std::nullopt},
    };
    // The helper needs a main application to get through its first check.
    installMainApplication(kStandard);
    PendraSandboxHelper helper;

    for (const DiscoveryCase& discoveryCase : cases) {
        SCOPED_TRACE(discoveryCase.name);
        // Each case in a workspace of its own, with the helper's answers asked afresh.
        testing::ControlledWorkspace caseWorkspace;
        platform::Services services = platform::installed();
        services.workspace = &caseWorkspace;
        platform::ScopedInstall scoped(services);
        auto set = [&](const std::string& bundleIdentifier, Variant variant, platform::pid_t pid) {
            if (variant.installed) {
                caseWorkspace.installedPaths[bundleIdentifier] = "/Applications/X.app";
            }
            if (variant.running) {
                caseWorkspace.addRunningApplication(
                    testing::runningApplication(pid, bundleIdentifier));
            }
        };
        set(kStandard, discoveryCase.standard, 501);
        set(kDevelopment, discoveryCase.development, 502);

        EXPECT_EQ(helper.preferredPendraBundleIdentifier(), discoveryCase.preferred);
        EXPECT_EQ(helper.firstInstalledPendraBundleIdentifier(), discoveryCase.firstInstalled);
        EXPECT_EQ(helper.pendraBundleExistsWithIdentifier(kStandard),
                  discoveryCase.standard.installed);
        EXPECT_EQ(helper.pendraBundleExistsWithIdentifier(kDevelopment),
                  discoveryCase.development.installed);
    }
}

}  // namespace
}  // namespace pendra
