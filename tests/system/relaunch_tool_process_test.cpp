// The relaunch tool from the assembled bundle as a process of its own: a copy that fails on a
// full disk leaves the installed bundle whole, and a later run finishes the replacement.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "system/system_test_support.h"

namespace system_test {
namespace {

using ::testing::HasSubstr;

class RelaunchToolProcessTest : public SystemTest {
  protected:
    // A child that ends by itself after a moment, standing in for the helper that hands over.
    static pid_t startShortLivedProcess() {
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::usleep(300'000);
            ::_exit(0);
        }
        return pid;
    }

    // The tool copied out of the bundle into the temporary folder, as the helper does.
    std::string copyToolToTemporaryFolder(const std::string& helperBundle) {
        const std::string tool = temporary + "/PendraSandboxHelperRelaunchTool.app";
        std::filesystem::copy(helperBundle + "/Contents/MacOS/PendraSandboxHelperRelaunchTool.app",
                              tool,
                              std::filesystem::copy_options::recursive |
                                  std::filesystem::copy_options::copy_symlinks);
        return tool;
    }
};

TEST_F(RelaunchToolProcessTest, ACopyThatFailsKeepsTheInstalledBundleWholeUntilALaterRun) {
    installMainApplication();
    copyHelperTo(installFolder);
    writeFile(installedHelper + "/Contents/Resources/Version.txt", "old");
    const auto oldTree = treeAt(installedHelper);

    const std::string source = copyHelperTo(home + "/Downloads");
    writeFile(source + "/Contents/Resources/Version.txt", "new");
    writeFile(source + "/Contents/Resources/Groß.bin", std::string(1 << 20, 'x'));
    const auto newTree = treeAt(source);
    const std::string tool = copyToolToTemporaryFolder(source);
    const std::string toolExecutable = tool + "/Contents/MacOS/PendraSandboxHelperRelaunchTool";

    // Files of more than 256 KiB cannot be written, as on a disk that is full.
    const pid_t awaited = startShortLivedProcess();
    const pid_t failing =
        start(toolExecutable, {source, installedHelper, std::to_string(awaited), tool},
              logs + "/failing.log", 256 * 1024);
    EXPECT_EQ(waitForExit(awaited, 5s), 0);
    // At least one attempt has failed once the log says so; the tool goes on waiting.
    EXPECT_TRUE(waitUntil([&] {
        return log("failing.log").find("Cannot copy item") != std::string::npos;
    })) << log("failing.log");
    EXPECT_EQ(waitForExit(failing, 0ms), std::nullopt);
    ::kill(failing, SIGKILL);
    EXPECT_EQ(waitForExit(failing, 5s), 128 + SIGKILL);

    EXPECT_EQ(treeAt(installedHelper), oldTree);
    EXPECT_EQ(treeAt(source), newTree);
    EXPECT_TRUE(itemExists(tool));
    EXPECT_TRUE(processesRunning(installedHelper + "/" + kHelperExecutable).empty());

    // A run with room to write replaces the bundle, clears what the failed run left and starts
    // the new helper.
    const pid_t finishing = start(toolExecutable, {source, installedHelper, "999999999", tool},
                                  logs + "/finishing.log");
    EXPECT_EQ(waitForExit(finishing, 10s), 0) << log("finishing.log");
    EXPECT_EQ(treeAt(installedHelper), newTree);
    EXPECT_FALSE(itemExists(source));
    EXPECT_FALSE(itemExists(tool));
    EXPECT_THAT(namesIn(installFolder), ::testing::ElementsAre(kHelperAppName));
    EXPECT_TRUE(waitUntil([&] {
        return processesRunning(installedHelper + "/" + kHelperExecutable).size() == 1;
    })) << log("finishing.log");
    EXPECT_THAT(log("failing.log"), HasSubstr("Relaunching"));
}

}  // namespace
}  // namespace system_test
