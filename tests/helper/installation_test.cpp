#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "install_test_support.h"

namespace pendra::testing {
namespace {

using platform::URL;

constexpr const char* kDevelopmentIdentifier = "com.orvano.PendraMac.development";

class InstallationTest : public HelperFixture {
  protected:
    void SetUp() override {
        HelperFixture::SetUp();
        // Each test says which variants of the main application are installed or running.
        fake.workspace.removeInstalledApplication(kPendraBundleIdentifier);
        addRelaunchTool();
        fake.files.addFile(std::string(kHelperPath) + "/Contents/MacOS/PendraMacSandboxHelper");
        fake.files.addDirectory(kApplicationSupport);
        fake.files.operations.clear();
    }

    void runFrom(const std::string& bundlePath) {
        fake.workspace.current.bundleURL = URL::fileURLWithPath(bundlePath);
    }

    platform::RunningApplication running(const std::string& identifier, platform::pid_t pid) {
        platform::RunningApplication application;
        application.processIdentifier = pid;
        application.bundleIdentifier = identifier;
        return application;
    }

    std::string missingFolderLine(const std::string& folder) {
        platform::Error error;
        fake.files.attributesOfItemAtPath(folder, &error);
        return "Could not get attributes of installation folder " + folder + ": " +
               error.description();
    }

    std::vector<std::string> mainApplicationLaunchArguments(std::size_t index) {
        return fake.workspace.launches.at(index).configuration.arguments;
    }
};

TEST_F(InstallationTest, RunningFromTheDesignatedFolderUnderAnyNameDoesNothing) {
    fake.files.addDirectory(std::string(kDesignatedFolder) + "/Some Other Name.app");
    runFrom(std::string(kDesignatedFolder) + "/Some Other Name.app");
    fake.files.operations.clear();

    EXPECT_EQ(exitStatusOf([&] { helper->installToDesignatedFolderIfNecessary(); }), std::nullopt);

    EXPECT_EQ(fake.log.unified(),
              (std::vector<std::string>{"Already in designated folder, not installing."}));
    EXPECT_TRUE(fake.workspace.launches.empty());
    EXPECT_TRUE(fake.files.operations.empty());
    EXPECT_TRUE(fake.notifications.posted.empty());
}

TEST_F(InstallationTest, AFolderElsewhereWithTheSameFileNumberCountsAsInstalled) {
    const auto designated = fake.files.addDirectory(kDesignatedFolder);
    fake.files.addDirectory("/Volumes/Other/Helper.app");
    fake.files.setFileNumber("/Volumes/Other", designated);
    runFrom("/Volumes/Other/Helper.app");

    helper->installToDesignatedFolderIfNecessary();

    EXPECT_EQ(fake.log.unified(),
              (std::vector<std::string>{"Already in designated folder, not installing."}));
    EXPECT_TRUE(fake.workspace.launches.empty());
}

TEST_F(InstallationTest, FirstStartHandsOverTellsTheRunningMainApplicationAndEnds) {
    runFrom(kHelperPath);
    fake.workspace.addRunningApplication(running(kPendraBundleIdentifier, 300));
    const std::string missing = missingFolderLine(kDesignatedFolder);

    EXPECT_EQ(exitStatusOf([&] { helper->installToDesignatedFolderIfNecessary(); }), 0);

    EXPECT_EQ(fake.log.unified(),
              (std::vector<std::string>{
                  missing, "Not in designated folder, installing...",
                  std::string("Source relaunch app path: ") + kToolPath,
                  std::string("Copying relaunch app to temporary location: ") + kToolCopyPath,
                  "Exiting after a successful update from path "
                  "/Applications/PendraMacSandboxHelper.app."}));
    ASSERT_EQ(fake.workspace.launches.size(), 1u);
    EXPECT_EQ(fake.workspace.launches[0].configuration.arguments,
              (std::vector<std::string>{
                  kHelperPath, std::string(kDesignatedFolder) + "/PendraMacSandboxHelper.app",
                  "4242", kToolCopyPath}));
    EXPECT_EQ(fake.notifications.names(),
              (std::vector<std::string>{PendraMacSandboxHelperDidInstallNotification}));
    EXPECT_EQ(fake.notifications.posted[0].object, std::nullopt);
    EXPECT_TRUE(fake.notifications.posted[0].userInfo.empty());
    EXPECT_EQ(fake.application.yieldedActivations, (std::vector<std::string>{"300"}));
    EXPECT_EQ(fake.processes.exitStatus, std::optional<int>(0));
}

TEST_F(InstallationTest, UnreadableRunningFolderLeadsToTheHandOver) {
    fake.files.addDirectory(kDesignatedFolder);
    runFrom(kHelperPath);
    const platform::Error denied{platform::NSPOSIXErrorDomain, 13, "Permission denied",
                                 std::string("/Applications")};
    fake.files.failAttributes["/Applications"] = denied;

    EXPECT_EQ(exitStatusOf([&] { helper->installToDesignatedFolderIfNecessary(); }), 0);

    const std::vector<std::string> lines = fake.log.unified();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "Could not get attributes of running application folder /Applications: " +
                            denied.description());
    EXPECT_EQ(lines[1], "Not in designated folder, installing...");
}

TEST_F(InstallationTest, FailedHandOverKeepsTheHelperRunningWhereItWasStarted) {
    runFrom(kHelperPath);
    fake.workspace.addRunningApplication(running(kPendraBundleIdentifier, 300));
    fake.bundles.main->auxiliaryExecutables.clear();

    EXPECT_EQ(exitStatusOf([&] { helper->installToDesignatedFolderIfNecessary(); }), std::nullopt);

    EXPECT_TRUE(fake.notifications.posted.empty());
    EXPECT_TRUE(fake.workspace.launches.empty());
    EXPECT_EQ(fake.log.unified().back().rfind("Error preparing relaunch helper app in temp: ", 0),
              0u);
}

TEST_F(InstallationTest, StartedAgainAfterAFailedInstallationItRunsWhereItIsAndHandsNothingOver) {
    fake.files.addDirectory(kDesignatedFolder);
    runFrom(kHelperPath);
    fake.workspace.addRunningApplication(running(kPendraBundleIdentifier, 300));
    fake.files.operations.clear();

    EXPECT_EQ(exitStatusOf([&] { helper->installToDesignatedFolderIfNecessary(true); }),
              std::nullopt);

    // No second tool, no second word to the main application: no loop can follow.
    EXPECT_EQ(fake.log.unified(),
              (std::vector<std::string>{"Installation into " + std::string(kDesignatedFolder) +
                                        " failed, running from " + kHelperPath +
                                        " without installing."}));
    EXPECT_TRUE(fake.workspace.launches.empty());
    EXPECT_TRUE(fake.files.operations.empty());
    EXPECT_TRUE(fake.notifications.posted.empty());

    // In the designated folder the same start is an ordinary one.
    fake.log.entries.clear();
    fake.files.addDirectory(std::string(kDesignatedFolder) + "/PendraMacSandboxHelper.app");
    runFrom(std::string(kDesignatedFolder) + "/PendraMacSandboxHelper.app");
    helper->installToDesignatedFolderIfNecessary(true);
    EXPECT_EQ(fake.log.unified(),
              (std::vector<std::string>{"Already in designated folder, not installing."}));
}

TEST_F(InstallationTest, RunningStandardVariantIsNotifiedAndNothingIsLaunched) {
    fake.workspace.addRunningApplication(running(kPendraBundleIdentifier, 300));
    fake.workspace.addInstalledApplication(kPendraBundleIdentifier, kStandardPath);

    helper->notifyPendraAboutInstalledHelper();

    EXPECT_EQ(fake.notifications.names(),
              (std::vector<std::string>{PendraMacSandboxHelperDidInstallNotification}));
    EXPECT_TRUE(fake.workspace.launches.empty());
    EXPECT_TRUE(fake.log.entries.empty());
}

TEST_F(InstallationTest, InstalledStandardVariantIsLaunchedEvenWhenTheDevelopmentVariantRuns) {
    fake.workspace.addInstalledApplication(kPendraBundleIdentifier, kStandardPath);
    fake.workspace.addRunningApplication(running(kDevelopmentIdentifier, 301));

    helper->notifyPendraAboutInstalledHelper();

    EXPECT_TRUE(fake.notifications.posted.empty());
    ASSERT_EQ(fake.workspace.launches.size(), 1u);
    EXPECT_EQ(fake.workspace.launches[0].url, URL::fileURLWithPath(kStandardPath));
    EXPECT_EQ(fake.workspace.launches[0].options, 0u);
    EXPECT_EQ(mainApplicationLaunchArguments(0),
              (std::vector<std::string>{"--pendra-sandbox-helper-installed"}));
    EXPECT_EQ(fake.log.unified(),
              (std::vector<std::string>{"URL of Pendra app bundle to be launched: " +
                                        URL::fileURLWithPath(kStandardPath).absoluteString()}));
    EXPECT_EQ(fake.application.yieldedActivations,
              (std::vector<std::string>{kPendraBundleIdentifier}));
}

TEST_F(InstallationTest, OnlyTheDevelopmentVariantInstalledIsLaunchedAfterTwoURLLines) {
    fake.workspace.addInstalledApplication(kDevelopmentIdentifier, kDevelopmentPath);

    helper->notifyPendraAboutInstalledHelper();

    EXPECT_EQ(
        fake.log.unified(),
        (std::vector<std::string>{"URL of Pendra app bundle to be launched: (null)",
                                  "URL of Pendra app bundle to be launched: " +
                                      URL::fileURLWithPath(kDevelopmentPath).absoluteString()}));
    ASSERT_EQ(fake.workspace.launches.size(), 1u);
    EXPECT_EQ(fake.workspace.launches[0].url, URL::fileURLWithPath(kDevelopmentPath));
    EXPECT_EQ(mainApplicationLaunchArguments(0),
              (std::vector<std::string>{"--pendra-sandbox-helper-installed"}));
}

TEST_F(InstallationTest, NoVariantAnywhereLogsTwiceAndDoesNothingElse) {
    helper->notifyPendraAboutInstalledHelper();

    EXPECT_EQ(fake.log.unified(),
              (std::vector<std::string>{"URL of Pendra app bundle to be launched: (null)",
                                        "URL of Pendra app bundle to be launched: (null)"}));
    EXPECT_TRUE(fake.workspace.launches.empty());
    EXPECT_TRUE(fake.notifications.posted.empty());
    EXPECT_TRUE(fake.application.yieldedActivations.empty());
}

TEST_F(InstallationTest, BeforeFourteenNoActivationIsYieldedAndTheRestIsTheSame) {
    fake.processInfo.version = {13, 6, 0};
    fake.workspace.addRunningApplication(running(kDevelopmentIdentifier, 301));
    helper->notifyPendraAboutInstalledHelper();

    fake.workspace.addInstalledApplication(kPendraBundleIdentifier, kStandardPath);
    helper->notifyPendraAboutInstalledHelper();

    EXPECT_TRUE(fake.application.yieldedActivations.empty());
    EXPECT_EQ(fake.notifications.names(),
              (std::vector<std::string>{PendraMacSandboxHelperDidInstallNotification}));
    EXPECT_EQ(fake.workspace.launches.size(), 1u);
}

}  // namespace
}  // namespace pendra::testing
