// The relaunch tool from the assembled bundle as a process of its own: a copy that fails on a
// full disk leaves the installed bundle whole, and a later run finishes the replacement; a first
// installation that fails starts the downloaded copy once where it lies; what another account
// left in the shared temporary folder stops no update.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "system/system_test_support.h"

namespace system_test {
namespace {

using ::testing::HasSubstr;

// Folders of another account planted in the shared temporary folder for one test, each
// holding a file; they go with the test.
class PlantedFolders {
  public:
    ~PlantedFolders() {
        for (const std::string& folder : planted_) {
            std::error_code ignored;
            std::filesystem::remove_all(folder, ignored);
        }
    }

    // False when the name is taken already: it is not the test's to take over.
    bool plant(const std::string& folder, uid_t owner) {
        if (::mkdir(folder.c_str(), 0700) != 0) {
            return false;
        }
        planted_.push_back(folder);
        const std::string file =
            folder + "/PendraSandboxHelperRelaunchTool.app/Contents/Info.plist";
        writeFile(file, "not yours");
        for (const auto& path : {folder, folder + "/PendraSandboxHelperRelaunchTool.app",
                                 folder + "/PendraSandboxHelperRelaunchTool.app/Contents", file}) {
            if (::chown(path.c_str(), owner, owner) != 0) {
                return false;
            }
        }
        return true;
    }

    // Each folder's items, with their owners, for "nothing changed" comparisons.
    std::map<std::string, std::string> state() const {
        std::map<std::string, std::string> items;
        for (const std::string& folder : planted_) {
            for (const auto& [path, content] : treeAt(folder)) {
                struct stat status {};
                ::lstat((folder + "/" + path).c_str(), &status);
                items[folder + "/" + path] = content + " owned by " + std::to_string(status.st_uid);
            }
        }
        return items;
    }

  private:
    std::vector<std::string> planted_;
};

// The private folders of this account beside the usual one in the shared temporary folder.
std::set<std::string> ownFoldersBesideTheUsualOne() {
    std::set<std::string> folders;
    const std::string prefix = "pendra-" + std::to_string(::geteuid()) + "-";
    for (const std::string& name : namesIn("/tmp")) {
        if (name.starts_with(prefix)) {
            folders.insert("/tmp/" + name);
        }
    }
    return folders;
}

class RelaunchToolProcessTest : public SystemTest {
  protected:
    // A child that ends by itself after a moment, standing in for the helper that hands over.
    static pid_t startShortLivedProcess() { return test_support::startShortLivedChild(300ms); }

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

TEST_F(RelaunchToolProcessTest, AFailedFirstInstallationStartsTheDownloadedCopyOnceWhereItLies) {
    const std::string strace = "/usr/bin/strace";
    if (!itemExists(strace)) {
        GTEST_SKIP() << "strace is not installed; it is what makes the tool's renames fail";
    }
    installMainApplication();
    std::filesystem::create_directories(installFolder);
    const std::string source = copyHelperTo(home + "/Downloads");
    const auto sourceTree = treeAt(source);
    const std::string tool = copyToolToTemporaryFolder(source);
    const std::string toolExecutable = tool + "/Contents/MacOS/PendraSandboxHelperRelaunchTool";
    BusClient bus(busAddress);
    ASSERT_TRUE(bus.connected());

    // Every rename of the tool fails as on a read-only file system, which no retry mends; what
    // the tool starts is not traced. The leak check of a sanitizer build cannot run under a
    // tracer.
    const std::string renames = "rename,renameat,renameat2";
    const pid_t awaited = startShortLivedProcess();
    const pid_t failing = start(strace,
                                {"-qq", "-o", "/dev/null", "-e", "trace=" + renames, "-e",
                                 "inject=" + renames + ":error=EROFS", "--", toolExecutable, source,
                                 installedHelper, std::to_string(awaited), tool},
                                logs + "/tool.log", std::nullopt, {"ASAN_OPTIONS=detect_leaks=0"});
    EXPECT_EQ(waitForExit(awaited, 5s), 0);
    EXPECT_EQ(waitForExit(failing, 60s), 1) << log("tool.log");

    // The downloaded copy runs where it lies, reachable, and both say why.
    const std::string sourceExecutable = source + "/" + kHelperExecutable;
    EXPECT_TRUE(waitUntil([&] { return processesRunning(sourceExecutable).size() == 1; }))
        << log("tool.log");
    EXPECT_TRUE(bus.waitForNotification(kDidLaunch, 30s)) << log("tool.log");
    const std::string output = log("tool.log");
    EXPECT_THAT(output, HasSubstr("Giving up the replacement of " + installedHelper));
    EXPECT_THAT(output, HasSubstr("No helper is installed at " + installedHelper + "; starting " +
                                  source + " again where it lies"));
    EXPECT_THAT(output, HasSubstr("Installation into " + installFolder + " failed, running from " +
                                  source + " without installing."));

    // It hands nothing over again: no tool, nothing installed, the copy whole, one helper.
    EXPECT_FALSE(waitUntil([&] { return !processesRunning(toolExecutable).empty(); }, 2s));
    EXPECT_THAT(namesIn(installFolder), ::testing::IsEmpty());
    EXPECT_EQ(treeAt(source), sourceTree);
    EXPECT_EQ(processesRunning(sourceExecutable).size(), 1u);
    EXPECT_EQ(output.find("Not in designated folder, installing..."), std::string::npos);
}

TEST_F(RelaunchToolProcessTest, AnotherAccountsLeftoversInTheSharedTemporaryFolderStopNoUpdate) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "planting folders of another account needs root";
    }
    // The usual folder of this account, and the fixed name a tool copy once had, both held by
    // another account; without TMPDIR and a runtime folder the shared folder is all there is.
    PlantedFolders planted;
    for (const std::string& folder : {"/tmp/pendra-" + std::to_string(::geteuid()),
                                      std::string("/tmp/PendraSandboxHelperRelaunchTool.app")}) {
        if (!planted.plant(folder, 65534)) {
            GTEST_SKIP() << folder << " exists already or cannot be given to another account";
        }
    }
    const auto plantedState = planted.state();
    withoutVariables = {"TMPDIR", "XDG_RUNTIME_DIR"};
    const std::set<std::string> ownBefore = ownFoldersBesideTheUsualOne();

    installMainApplication();
    copyHelperTo(installFolder);
    setBundleVersion(installedHelper, "1207");
    BusClient bus(busAddress);
    const pid_t helper = startHelper(installedHelper, "helper.log");
    ASSERT_TRUE(bus.waitForNotification(kDidLaunch)) << log("helper.log");
    const std::string update = copyHelperTo(home + "/Downloads/Update");
    setBundleVersion(update, "1301");
    const auto updateTree = treeAt(update);

    sendUpdate(update);
    EXPECT_EQ(waitForExit(helper, 10s), 0) << log("helper.log");
    EXPECT_TRUE(bus.waitForNotification(kDidLaunch, 10s, 2)) << log("helper.log");
    EXPECT_EQ(treeAt(installedHelper), updateTree);
    EXPECT_FALSE(itemExists(update));
    EXPECT_TRUE(waitUntil(
        [&] { return processesRunning(installedHelper + "/" + kHelperExecutable).size() == 1; }));
    EXPECT_EQ(planted.state(), plantedState);

    // The tool was copied into a private folder made beside the usual one, left empty once
    // the tool has deleted its copy.
    int made = 0;
    for (const std::string& folder : ownFoldersBesideTheUsualOne()) {
        if (!ownBefore.contains(folder)) {
            ++made;
            EXPECT_TRUE(waitUntil([&] { return namesIn(folder).empty(); })) << folder;
            ::rmdir(folder.c_str());
        }
    }
    EXPECT_GE(made, 1);
}

}  // namespace
}  // namespace system_test
