// Start-up, the single-instance rule, the reported version, the existence check and the
// delegate callbacks of the helper's main object.
#include "helper/pendra_sandbox_helper.h"

#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "helper/constants.h"
#include "helper_test_support.h"

namespace pendra {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

// What init registers, in order: the four custom events, then GetURL.
const std::vector<std::pair<platform::AEEventClass, platform::AEEventID>> kRegistrations{
    {kPendraHelperEventClass, kGetVersionEventID},
    {kPendraHelperEventClass, kUpdateEventID},
    {kPendraHelperEventClass, kInvokeQuickEntryAutofillServiceItemEventID},
    {kPendraHelperEventClass, kDisableEventID},
    {platform::kInternetEventClass, platform::kAEGetURL},
};

class PendraSandboxHelperTest : public testing::HelperTest {
  protected:
    PendraSandboxHelperTest() { installMainApplication(kPendraBundleIdentifier); }
};

// Scripting that lets a test look at the world when the connector makes its script objects.
class ObservedScripting : public platform::fake::FakeScripting {
  public:
    std::function<void()> onMake;
    std::unique_ptr<platform::AppleScript> makeAppleScriptWithSource(
        const std::string& source) override {
        if (onMake) {
            onMake();
        }
        return FakeScripting::makeAppleScriptWithSource(source);
    }
};

TEST_F(PendraSandboxHelperTest, InitRegistersInItsOrderAndRunsOneCheckBeforeTheTimer) {
    useConnectorTable({{".unknown", platform::PropertyList::Dictionary{
                                        {"AppleScript", "return {\"t\", \"l\"}"}}}});
    ObservedScripting scripting;
    platform::Services services = platform::installed();
    services.scripting = &scripting;
    platform::ScopedInstall observed(services);

    int scriptsMade = 0;
    scripting.onMake = [&] {
        ++scriptsMade;
        // The connector comes first: nothing is registered and nothing is checked yet.
        EXPECT_EQ(fake.application.servicesProvider(), nullptr);
        EXPECT_EQ(fake.application.updateDynamicServicesCalls, 0);
        EXPECT_THAT(fake.appleEvents.registrationOrder, IsEmpty());
        EXPECT_THAT(fake.log.entries, IsEmpty());
    };
    int checks = 0;
    workspace.onLookup = [&](const std::string&) {
        if (checks++ > 0) {
            return;
        }
        // At the first existence check the services, the custom events and the GetURL handler are
        // in place, the dynamic services have been re-read, and no timer exists yet.
        EXPECT_NE(fake.application.servicesProvider(), nullptr);
        EXPECT_EQ(fake.application.updateDynamicServicesCalls, 1);
        EXPECT_THAT(fake.appleEvents.registrationOrder, ElementsAreArray(kRegistrations));
        EXPECT_THAT(fake.application.timers, IsEmpty());
        EXPECT_THAT(fake.log.unified(), ElementsAre("Performing Pendra existence check"));
    };

    PendraSandboxHelper helper;

    EXPECT_EQ(scriptsMade, 1);
    EXPECT_EQ(checks, 1);
    EXPECT_EQ(helper.log(),
              platform::os_log_create("com.orvano.PendraMacSandboxHelper", "PendraSandboxHelper"));
    EXPECT_EQ(fake.application.servicesProvider(), &helper);
    ASSERT_EQ(fake.application.timers.size(), 1u);
    EXPECT_DOUBLE_EQ(fake.application.timers[0].interval, 3600.0);
    EXPECT_TRUE(fake.application.timers[0].repeats);
    ASSERT_EQ(fake.log.entries.size(), 1u);
    EXPECT_EQ(fake.log.entries[0].subsystem, "com.orvano.PendraMacSandboxHelper");
    EXPECT_EQ(fake.log.entries[0].category, "PendraSandboxHelper");
    EXPECT_EQ(fake.log.entries[0].level, platform::LogLevel::Debug);
    EXPECT_FALSE(fake.log.entries[0].console);
    // Nothing is posted before the event loop runs.
    EXPECT_THAT(fake.notifications.posted, IsEmpty());
}

TEST_F(PendraSandboxHelperTest, HourlyCheckPassesWhileTheMainApplicationIsInstalledButNotRunning) {
    installMainApplication(kPendraDevelopmentBundleIdentifier);
    workspace.installedPaths.erase(kPendraBundleIdentifier);
    PendraSandboxHelper helper;
    ASSERT_EQ(fake.application.timers.size(), 1u);

    fake.application.fireTimer(fake.application.timers[0].id);
    fake.application.fireTimer(fake.application.timers[0].id);

    EXPECT_THAT(fake.log.unified(), ElementsAre("Performing Pendra existence check",
                                                "Performing Pendra existence check",
                                                "Performing Pendra existence check"));
    EXPECT_TRUE(fake.application.timers[0].valid);
    EXPECT_FALSE(fake.processes.exitStatus.has_value());
}

TEST_F(PendraSandboxHelperTest, HourlyCheckDisablesAndExitsOnceTheMainApplicationIsGone) {
    fake.bundles.main->auxiliaryExecutables[kRemoveToolName] =
        std::string(platform::fake::kFakeHelperPath) + "/Contents/MacOS/" + kRemoveToolName;
    PendraSandboxHelper helper;
    workspace.installedPaths.clear();

    EXPECT_THROW(fake.application.fireTimer(fake.application.timers[0].id), platform::ProcessExit);

    const std::vector<std::string> lines = fake.log.unified();
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[1], "Performing Pendra existence check");
    EXPECT_EQ(lines[2], "No more Pendra bundles found locally");
    EXPECT_EQ(lines[3], "Disabling the helper...");
    ASSERT_EQ(fake.tasks.launched.size(), 1u);
    EXPECT_THAT(fake.tasks.launched[0].arguments,
                ElementsAre(platform::fake::kFakeHelperPath, "4242"));
    EXPECT_EQ(fake.processes.exitStatus, 0);
    // Ended past the application object: no termination notification.
    for (const auto& posted : fake.notifications.posted) {
        EXPECT_NE(posted.name, PendraMacSandboxHelperDidTerminateNotification);
    }
}

TEST_F(PendraSandboxHelperTest, StartWithoutMainApplicationDisablesAndExitsBeforeUniquenessTest) {
    fake.bundles.main->auxiliaryExecutables[kRemoveToolName] =
        std::string(platform::fake::kFakeHelperPath) + "/Contents/MacOS/" + kRemoveToolName;
    workspace.installedPaths.clear();

    EXPECT_THROW(helperMain(), platform::ProcessExit);

    const std::vector<std::string> lines = fake.log.unified();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0], "Performing Pendra existence check");
    EXPECT_EQ(lines[1], "No more Pendra bundles found locally");
    EXPECT_EQ(lines[2], "Disabling the helper...");
    EXPECT_EQ(fake.tasks.launched.size(), 1u);
    EXPECT_EQ(fake.processes.exitStatus, 0);
    EXPECT_EQ(fake.application.runCalls, 0);
    for (const auto& line : lines) {
        EXPECT_NE(line, "Helper already running, exiting");
        EXPECT_NE(line, "Helper about to start running");
    }
    for (const auto& posted : fake.notifications.posted) {
        EXPECT_NE(posted.name, PendraMacSandboxHelperDidLaunchNotification);
    }
}

TEST_F(PendraSandboxHelperTest, SecondCopyBuildsItsHelperThenLeavesWithoutInstallingOrRunning) {
    workspace.addRunningApplication(testing::runningApplication(5151, kHelperBundleIdentifier));

    EXPECT_EQ(helperMain(), 0);

    EXPECT_THAT(fake.log.unified(),
                ElementsAre("Performing Pendra existence check", "Helper already running, exiting",
                            "Exiting the helper"));
    // The helper object was built: services re-read, event handlers registered, timer made.
    EXPECT_EQ(fake.application.updateDynamicServicesCalls, 1);
    EXPECT_THAT(fake.appleEvents.registrationOrder, ElementsAreArray(kRegistrations));
    EXPECT_EQ(fake.application.timers.size(), 1u);
    // Nothing installed, no login item touched, no loop, no notification.
    EXPECT_EQ(fake.application.runCalls, 0);
    EXPECT_EQ(fake.application.delegate(), nullptr);
    EXPECT_THAT(fake.notifications.posted, IsEmpty());
    EXPECT_THAT(fake.files.operations, IsEmpty());
    EXPECT_THAT(fake.workspace.launches, IsEmpty());
    EXPECT_THAT(workspace.launches, IsEmpty());
    EXPECT_THAT(fake.launchServices.inserted, IsEmpty());
    EXPECT_THAT(fake.launchServices.removed, IsEmpty());
    EXPECT_THAT(fake.tasks.launched, IsEmpty());
    EXPECT_FALSE(fake.processes.exitStatus.has_value());
}

TEST_F(PendraSandboxHelperTest, CopyThatDoesNotSeeItselfRunningCountsAsASecondCopy) {
    // The identifier is read from the bundle at run time; nothing runs under this one.
    fake.bundles.main->identifier = "com.orvano.PendraMacSandboxHelper.renamed";

    EXPECT_EQ(helperMain(), 0);

    EXPECT_THAT(fake.log.unified(),
                ElementsAre("Performing Pendra existence check", "Helper already running, exiting",
                            "Exiting the helper"));
    EXPECT_EQ(fake.application.runCalls, 0);
}

TEST_F(PendraSandboxHelperTest, UniqueCopyRunsTheLoopAndAnnouncesItsLaunchOnce) {
    // This copy already runs from the designated folder.
    const std::string designated =
        "/home/user/Library/Application Support/Pendra Sandbox Helper/PendraMacSandboxHelper.app";
    fake.files.addDirectory(designated);
    fake.bundles.main->path = designated;
    workspace.current.bundleURL = platform::URL::fileURLWithPath(designated);

    EXPECT_EQ(helperMain(), 0);

    EXPECT_THAT(fake.log.unified(),
                ElementsAre("Performing Pendra existence check",
                            "Already in designated folder, not installing.",
                            "Helper about to start running", "Exiting the helper"));
    EXPECT_EQ(fake.application.runCalls, 1);
    EXPECT_THAT(fake.notifications.names(),
                ElementsAre(std::string(PendraMacSandboxHelperDidLaunchNotification)));
    ASSERT_EQ(fake.launchServices.inserted.size(), 1u);
    EXPECT_EQ(fake.launchServices.inserted[0].resolvesTo, workspace.current.bundleURL);
}

TEST_F(PendraSandboxHelperTest, UniquenessCountsRunningCopiesOfTheHelper) {
    PendraSandboxHelper helper;
    EXPECT_TRUE(helper.isUniqueInstance());

    workspace.addRunningApplication(testing::runningApplication(6161, kHelperBundleIdentifier));
    EXPECT_FALSE(helper.isUniqueInstance());
}

TEST_F(PendraSandboxHelperTest, DelegateCallbacksPostTheirNotificationsWithoutObject) {
    PendraSandboxHelper helper;

    helper.applicationDidFinishLaunching();
    helper.applicationWillTerminate();

    ASSERT_EQ(fake.notifications.posted.size(), 2u);
    EXPECT_EQ(fake.notifications.posted[0].name, "PendraMacSandboxHelperDidLaunchNotification");
    EXPECT_EQ(fake.notifications.posted[1].name, "PendraMacSandboxHelperDidTerminateNotification");
    for (const auto& posted : fake.notifications.posted) {
        EXPECT_FALSE(posted.object.has_value());
        EXPECT_THAT(posted.userInfo, IsEmpty());
    }
}

TEST_F(PendraSandboxHelperTest, ServicesRequestsOfOtherNamesAreNotTaken) {
    PendraSandboxHelper helper;
    std::string error;
    EXPECT_FALSE(helper.performService("quickEntry", {}, "", &error));
    EXPECT_FALSE(helper.performService("QuickEntryWithAutofill", {}, "", &error));
    EXPECT_TRUE(error.empty());
}

TEST_F(PendraSandboxHelperTest, DestroyedHelperLeavesNothingPointingAtIt) {
    {
        PendraSandboxHelper helper;
        fake.application.setDelegate(&helper);
    }
    EXPECT_EQ(fake.application.delegate(), nullptr);
    EXPECT_EQ(fake.application.servicesProvider(), nullptr);
    EXPECT_FALSE(
        fake.appleEvents.handlers.contains({platform::kInternetEventClass, platform::kAEGetURL}));
    ASSERT_EQ(fake.application.timers.size(), 1u);
    EXPECT_FALSE(fake.application.timers[0].valid);
}

struct VersionCase {
    std::optional<platform::PropertyList> value;
    std::int64_t expected;
};

TEST_F(PendraSandboxHelperTest, VersionIsTheIntegerValueOfTheBundleVersion) {
    const std::vector<VersionCase> cases = {
        {platform::PropertyList("1203"), 1203},
        {platform::PropertyList("12a"), 12},
        {platform::PropertyList("1.2.3"), 1},
        {std::nullopt, 0},
        {platform::PropertyList("abc"), 0},
        {platform::PropertyList(""), 0},
        {platform::PropertyList(" \t\n 42"), 42},
        {platform::PropertyList("+7"), 7},
        {platform::PropertyList("-15x"), -15},
        {platform::PropertyList("- 15"), 0},
        {platform::PropertyList("0012"), 12},
        {platform::PropertyList("99999999999999999999"), std::numeric_limits<std::int64_t>::max()},
        {platform::PropertyList("-99999999999999999999"), std::numeric_limits<std::int64_t>::min()},
        {platform::PropertyList("-9223372036854775808"), std::numeric_limits<std::int64_t>::min()},
        {platform::PropertyList(std::int64_t{305}), 305},
    };
    PendraSandboxHelper helper;
    for (const VersionCase& versionCase : cases) {
        if (versionCase.value) {
            fake.bundles.main->info["CFBundleVersion"] = *versionCase.value;
        } else {
            fake.bundles.main->info.erase("CFBundleVersion");
        }
        EXPECT_EQ(helper.version(), versionCase.expected)
            << (versionCase.value ? versionCase.value->description() : "absent");
    }
}

}  // namespace
}  // namespace pendra
