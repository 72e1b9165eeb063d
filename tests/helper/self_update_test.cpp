#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "install_test_support.h"

namespace pendra::testing {
namespace {

using platform::URL;

constexpr const char* kInstalledPath =
    "/home/user/Library/Application Support/Pendra Sandbox Helper/PendraMacSandboxHelper.app";
constexpr const char* kNewBundlePath = "/Users/user/Downloads/New Helper ü.app";

class SelfUpdateTest : public HelperFixture {
  protected:
    void SetUp() override {
        HelperFixture::SetUp();
        addRelaunchTool();
        fake.files.addFile(std::string(kToolPath) +
                           "/Contents/MacOS/PendraSandboxHelperRelaunchTool");
        addBundleWithExecutable(kNewBundlePath, kHelperIdentifier);
        fake.files.addDirectory(kApplicationSupport);
        fake.files.operations.clear();
    }

    static std::vector<std::string> preparationLines() {
        return {std::string("Source relaunch app path: ") + kToolPath,
                std::string("Copying relaunch app to temporary location: ") + kToolCopyPath};
    }

    static std::vector<std::string> withPreparation(const std::string& last) {
        std::vector<std::string> lines = preparationLines();
        lines.push_back(last);
        return lines;
    }

    static platform::Error diskFull() {
        return platform::Error{platform::NSPOSIXErrorDomain, 28, "No space left on device",
                               std::nullopt};
    }
};

TEST_F(SelfUpdateTest, PathsFollowApplicationSupportAndTheRunningBundlesName) {
    EXPECT_EQ(helper->installationFolderPath(), kDesignatedFolder);
    EXPECT_EQ(helper->installationFilePath(), kInstalledPath);

    fake.bundles.main->path = "/Volumes/Stick/Renamed Helper.app";
    fake.paths.applicationSupport = "/Users/other/Library/Application Support/";
    EXPECT_EQ(helper->installationFilePath(),
              "/Users/other/Library/Application Support/Pendra Sandbox Helper/Renamed Helper.app");
}

TEST_F(SelfUpdateTest, SuccessfulUpdateLaunchesTheToolCopyWithFourArgumentsInOrder) {
    EXPECT_TRUE(helper->updateFromBundleAtPath(std::string(kNewBundlePath)));

    EXPECT_EQ(fake.log.unified(), preparationLines());
    ASSERT_EQ(fake.workspace.launches.size(), 1u);
    const auto& launch = fake.workspace.launches[0];
    EXPECT_EQ(launch.url, URL::fileURLWithPath(kToolCopyPath));
    EXPECT_EQ(launch.options, 0x80200u);
    EXPECT_EQ(launch.configuration.arguments,
              (std::vector<std::string>{kNewBundlePath, kInstalledPath, "4242", kToolCopyPath}));
    EXPECT_TRUE(fake.files.exists(kDesignatedFolder));
    EXPECT_TRUE(fake.files.exists(std::string(kToolCopyPath) +
                                  "/Contents/MacOS/PendraSandboxHelperRelaunchTool"));
    // Nothing at the target changes before the helper has ended.
    EXPECT_FALSE(fake.files.exists(kInstalledPath));
    EXPECT_TRUE(fake.files.exists(kNewBundlePath));
    EXPECT_FALSE(fake.processes.exitStatus.has_value());
}

TEST_F(SelfUpdateTest, EmptyOrAbsentPathIsRefusedSilently) {
    EXPECT_FALSE(helper->updateFromBundleAtPath(std::string()));
    EXPECT_FALSE(helper->updateFromBundleAtPath(std::nullopt));

    EXPECT_TRUE(fake.log.entries.empty());
    EXPECT_TRUE(fake.files.operations.empty());
    EXPECT_TRUE(fake.workspace.launches.empty());
}

TEST_F(SelfUpdateTest, MissingSourceIsLoggedAndTheDesignatedFolderIsNotCreated) {
    EXPECT_FALSE(helper->updateFromBundleAtPath(std::string("/Users/user/Missing.app")));

    EXPECT_EQ(
        fake.log.unified(),
        (std::vector<std::string>{"Source bundle does not exist at path /Users/user/Missing.app"}));
    EXPECT_FALSE(fake.files.exists(kDesignatedFolder));
    EXPECT_TRUE(fake.workspace.launches.empty());
}

TEST_F(SelfUpdateTest, DesignatedFolderThatCannotBeCreatedStopsTheUpdate) {
    fake.files.failCreate[kDesignatedFolder] = diskFull();

    EXPECT_FALSE(helper->updateFromBundleAtPath(std::string(kNewBundlePath)));

    EXPECT_EQ(fake.log.unified(),
              (std::vector<std::string>{
                  std::string("Error when preparing the installation folder path ") +
                  kDesignatedFolder + " for the helper: " + diskFull().description()}));
    EXPECT_TRUE(fake.workspace.launches.empty());
    EXPECT_FALSE(fake.files.exists(kToolCopyPath));
}

TEST_F(SelfUpdateTest, ExistingDesignatedFolderIsUsedAsItIs) {
    fake.files.addFile(std::string(kDesignatedFolder) + "/Other Helper.app");

    EXPECT_TRUE(helper->updateFromBundleAtPath(std::string(kNewBundlePath)));

    EXPECT_TRUE(fake.files.exists(std::string(kDesignatedFolder) + "/Other Helper.app"));
    EXPECT_EQ(fake.workspace.launches.size(), 1u);
}

TEST_F(SelfUpdateTest, LeftoverToolCopyIsReplacedByAFreshOne) {
    fake.files.addFile(std::string(kToolCopyPath) + "/stale");
    fake.files.operations.clear();

    EXPECT_TRUE(helper->updateFromBundleAtPath(std::string(kNewBundlePath)));

    EXPECT_FALSE(fake.files.exists(std::string(kToolCopyPath) + "/stale"));
    EXPECT_TRUE(fake.files.exists(std::string(kToolCopyPath) +
                                  "/Contents/MacOS/PendraSandboxHelperRelaunchTool"));
    const std::vector<std::string> expected{
        std::string("remove ") + kToolCopyPath,
        std::string("copy ") + kToolPath + " -> " + kToolCopyPath};
    std::vector<std::string> fileWork;
    for (const std::string& operation : fake.files.operations) {
        if (operation.rfind("remove ", 0) == 0 || operation.rfind("copy ", 0) == 0) {
            fileWork.push_back(operation);
        }
    }
    EXPECT_EQ(fileWork, expected);
}

TEST_F(SelfUpdateTest, LeftoverThatCannotBeDeletedIsLoggedAndTheCopyThenFails) {
    fake.files.addFile(std::string(kToolCopyPath) + "/stale");
    fake.files.failRemove[kToolCopyPath] = diskFull();

    EXPECT_FALSE(helper->updateFromBundleAtPath(std::string(kNewBundlePath)));

    const std::vector<std::string> lines = fake.log.unified();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 2), preparationLines());
    EXPECT_EQ(lines[2], std::string("Cannot remove relaunch helper app from temporary location ") +
                            kToolCopyPath + ": " + diskFull().description());
    EXPECT_EQ(lines[3].rfind("Error preparing relaunch helper app in temp: Error Domain=", 0), 0u)
        << lines[3];
    EXPECT_TRUE(fake.workspace.launches.empty());
}

TEST_F(SelfUpdateTest, ToolThatCannotBeCopiedStopsTheUpdate) {
    fake.files.failCopy[kToolPath] = diskFull();

    EXPECT_FALSE(helper->updateFromBundleAtPath(std::string(kNewBundlePath)));

    EXPECT_EQ(fake.log.unified(), withPreparation("Error preparing relaunch helper app in temp: " +
                                                  diskFull().description()));
    EXPECT_TRUE(fake.workspace.launches.empty());
}

TEST_F(SelfUpdateTest, BundleWithoutTheToolFailsAsAFailedCopy) {
    fake.bundles.main->auxiliaryExecutables.clear();

    EXPECT_FALSE(helper->updateFromBundleAtPath(std::string(kNewBundlePath)));

    const platform::Error missing = platform::Error::posix(ENOENT, kToolPath);
    EXPECT_EQ(fake.log.unified(),
              (std::vector<std::string>{
                  "Source relaunch app path: (null)",
                  std::string("Copying relaunch app to temporary location: ") + kToolCopyPath,
                  "Error preparing relaunch helper app in temp: " + missing.description()}));
    EXPECT_TRUE(fake.workspace.launches.empty());
}

TEST_F(SelfUpdateTest, ToolThatCannotBeLaunchedIsLoggedAndAnswersFalse) {
    fake.workspace.launchError =
        platform::Error{platform::NSCocoaErrorDomain, 4, "Launch failed", std::nullopt};

    EXPECT_FALSE(helper->updateFromBundleAtPath(std::string(kNewBundlePath)));

    EXPECT_EQ(fake.log.unified(), withPreparation("Error launching relaunch tool: " +
                                                  fake.workspace.launchError->description()));
    // The copy stays for the next update to replace.
    EXPECT_TRUE(fake.files.exists(kToolCopyPath));
}

TEST_F(SelfUpdateTest, OnlyAnotherCopyOfThisHelperOutsideTheDesignatedFolderIsAccepted) {
    const std::string documents = "/home/user/Documents";
    fake.files.addFile(documents + "/Brief.txt");
    const std::string other = "/Users/user/Downloads/Other.app";
    addBundleWithExecutable(other, "com.example.Other");
    const std::string hollow = "/Users/user/Downloads/Hollow.app";
    addBundleWithExecutable(hollow, kHelperIdentifier);
    fake.files.removeItemAtPath(hollow + "/Contents/MacOS/PendraMacSandboxHelper", nullptr);
    addBundleWithExecutable(kInstalledPath, kHelperIdentifier);
    const std::string withNul = std::string(kNewBundlePath) + std::string(1, '\0') + "/x";
    fake.files.operations.clear();

    const std::string notOurs = " is not a bundle of this helper (";
    const std::string enclosing = " contains the installed bundle " + std::string(kInstalledPath) +
                                  " or lies inside it, not updating.";
    const struct {
        std::string path;
        std::string line;  // empty for an accepted source
    } cases[] = {
        {documents, "Source " + documents + notOurs + "it is not a bundle), not updating."},
        {other, "Source " + other + notOurs + "its identifier is com.example.Other, not " +
                    kHelperIdentifier + "), not updating."},
        {hollow, "Source " + hollow + notOurs + "its executable " + hollow +
                     "/Contents/MacOS/PendraMacSandboxHelper is missing), not updating."},
        {kApplicationSupport, "Source bundle " + std::string(kApplicationSupport) + enclosing},
        {"/home/user/Library/./Application Support/.",
         "Source bundle /home/user/Library/./Application Support/." + enclosing},
        {std::string(kInstalledPath) + "/Contents",
         "Source bundle " + std::string(kInstalledPath) + "/Contents" + enclosing},
        {kInstalledPath, "Source bundle " + std::string(kInstalledPath) +
                             " is the installed bundle itself, not updating."},
        {withNul, "Source bundle path " + withNul + " holds a NUL byte, not updating."},
        {kNewBundlePath, ""},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.path);
        clearRecords();
        const bool accepted = each.line.empty();
        EXPECT_EQ(helper->updateFromBundleAtPath(each.path), accepted);
        if (!accepted) {
            EXPECT_EQ(fake.log.unified(), std::vector<std::string>{each.line});
            EXPECT_TRUE(fake.files.operations.empty());
        }
        EXPECT_EQ(fake.workspace.launches.size(), accepted ? 1u : 0u);
        EXPECT_FALSE(fake.processes.exitStatus.has_value());
    }
    EXPECT_TRUE(fake.files.exists(documents + "/Brief.txt"));
}

TEST_F(SelfUpdateTest, SourceSharingTheInstalledBundlesFileNumberIsRefused) {
    const auto installedNumber = fake.files.addDirectory(kInstalledPath);
    fake.files.setFileNumber(kNewBundlePath, installedNumber);

    EXPECT_FALSE(helper->updateFromBundleAtPath(std::string(kNewBundlePath)));
    EXPECT_TRUE(fake.workspace.launches.empty());

    // Another item than the installed bundle is an ordinary update.
    fake.files.setFileNumber(kNewBundlePath, installedNumber + 1000);
    EXPECT_TRUE(helper->updateFromBundleAtPath(std::string(kNewBundlePath)));
}

TEST_F(SelfUpdateTest, SourceThatIsASymbolicLinkIsRefusedBeforeTheHelperQuits) {
    // The relaunch tool refuses links; agreeing here keeps the helper running instead of
    // quitting for an update that would never happen, and a link to the installed bundle
    // cannot slip past the comparison of file numbers.
    const std::string link = "/Users/user/Downloads/Link to Helper.app";
    fake.files.addDirectory(kInstalledPath);
    fake.files.addSymbolicLink(link, kInstalledPath);
    fake.files.operations.clear();

    EXPECT_FALSE(helper->updateFromBundleAtPath(link));

    EXPECT_EQ(fake.log.unified(), (std::vector<std::string>{"Source bundle " + link +
                                                            " is a symbolic link, not updating."}));
    EXPECT_TRUE(fake.workspace.launches.empty());
    EXPECT_TRUE(fake.files.operations.empty());
}

TEST_F(SelfUpdateTest, InstalledBundleThatCannotBeComparedIsNotRisked) {
    fake.files.addDirectory(kInstalledPath);
    fake.files.failAttributes[kInstalledPath] = diskFull();

    EXPECT_FALSE(helper->updateFromBundleAtPath(std::string(kNewBundlePath)));

    EXPECT_EQ(
        fake.log.unified(),
        (std::vector<std::string>{std::string("Cannot tell source bundle ") + kNewBundlePath +
                                  " from the installed bundle: " + diskFull().description()}));
    EXPECT_TRUE(fake.workspace.launches.empty());
}

}  // namespace
}  // namespace pendra::testing
