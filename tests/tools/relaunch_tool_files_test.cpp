// The relaunch tool on real folders: names with spaces and non-ASCII letters, links inside
// bundles, a copy that fails part of the way, a source that has gone, and a tool stopped
// between any two of its steps. The installed bundle is never lost.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/xattr.h>

#include <csignal>

#include "platform/linux_platform.h"
#include "tests/tools/tool_test_support.h"
#include "tools/relaunch/termination_listener.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using tools_test::exitStatusOf;
using tools_test::fireTimers;
using tools_test::itemExists;
using tools_test::makeBundle;
using tools_test::namesIn;
using tools_test::treeAt;
using Tree = std::map<std::string, std::string>;

constexpr platform::pid_t kGonePid = 777;

// Lets files grow no larger than a limit while it exists; writing past it fails as on a full
// disk.
class ScopedFileSizeLimit {
  public:
    explicit ScopedFileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &previous_);
        previousHandler_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limited = previous_;
        limited.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limited);
    }
    ~ScopedFileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &previous_);
        std::signal(SIGXFSZ, previousHandler_);
    }

  private:
    rlimit previous_{};
    void (*previousHandler_)(int) = nullptr;
};

class RelaunchToolFilesTest : public ::testing::Test {
  protected:
    RelaunchToolFilesTest() {
        fake.fileManagerOverride = linuxPlatform.services().fileManager;
        makeBundle(source, "new");
        // A link within the bundle and one that leads out of it; both stay links.
        std::filesystem::create_symlink("Contents", source + "/Inhalt");
        std::filesystem::create_directories(outside);
        tools_test::writeFile(outside + "/Wichtig.txt", "keep me");
        std::filesystem::create_symlink(outside, source + "/Contents/Outside");
        makeBundle(target, "old");
        std::filesystem::create_symlink(outside, target + "/Contents/Outside");
        makeBundle(self, "tool");
        newTree = treeAt(source);
        oldTree = treeAt(target);
        installed.emplace(services());
    }

    // The fakes, with the real bundles: the tool reads the source's Info.plist.
    platform::Services services() {
        platform::Services result = fake.services();
        result.bundles = linuxPlatform.services().bundles;
        return result;
    }

    std::unique_ptr<relaunch_tool::TerminationListener> makeListener() {
        return std::make_unique<relaunch_tool::TerminationListener>(source.c_str(), target.c_str(),
                                                                    kGonePid, self);
    }

    void expectOutsideUntouched() {
        EXPECT_EQ(treeAt(outside), (Tree{{"Wichtig.txt", "keep me"}}));
    }

    tools_test::TemporaryFolder folder;
    const std::string source = folder / "Neue Version ü/PendraMacSandboxHelper.app";
    const std::string installFolder = folder / "Application Support/Pendra Sandbox Helper";
    const std::string target = installFolder + "/PendraMacSandboxHelper.app";
    const std::string self = folder / "tmp/PendraSandboxHelperRelaunchTool.app";
    const std::string outside = folder / "Dokumente für später";
    Tree newTree, oldTree;

    platform::linux_platform::LinuxPlatform linuxPlatform;
    platform::fake::FakePlatform fake;
    std::optional<platform::ScopedInstall> installed;
};

TEST_F(RelaunchToolFilesTest, PutsTheNewBundleInPlaceWholeAndDeletesSourceAndItself) {
    auto listener = makeListener();
    EXPECT_EQ(exitStatusOf([&] { fireTimers(fake.application); }), 0);

    EXPECT_EQ(treeAt(target), newTree);
    EXPECT_EQ(std::filesystem::read_symlink(target + "/Contents/Outside"), outside);
    EXPECT_THAT(namesIn(installFolder), ElementsAre("PendraMacSandboxHelper.app"));
    EXPECT_FALSE(itemExists(source));
    EXPECT_FALSE(itemExists(self));
    expectOutsideUntouched();

    ASSERT_EQ(fake.tasks.launched.size(), 1u);
    EXPECT_THAT(fake.tasks.launched[0].arguments,
                ElementsAre("-rd", "com.apple.quarantine", target));
    ASSERT_EQ(fake.workspace.launches.size(), 1u);
    EXPECT_EQ(fake.workspace.launches[0].url.path(), target);
    EXPECT_THAT(fake.log.console(), ElementsAre("Setting up termination listener...",
                                                "Relaunching: " + source + " -> " + target));
}

// A tool killed while it deleted the source left it set aside under a name of its own; the
// next tool for that source removes what such tools left, but not what a living one deletes.
TEST_F(RelaunchToolFilesTest, WhatKilledToolsLeftOfTheSourceIsRemovedByTheNext) {
    const std::string sourceFolder = folder / "Neue Version ü";
    const std::string leftOver = sourceFolder + "/.PendraMacSandboxHelper.app.installed-4141";
    // An earlier process with this tool's id left its own.
    const std::string own = sourceFolder + "/.PendraMacSandboxHelper.app.installed-" +
                            std::to_string(fake.processes.pid);
    const std::string living = sourceFolder + "/.PendraMacSandboxHelper.app.installed-4343";
    const std::string unrelated = sourceFolder + "/.PendraMacSandboxHelper.app.installed-x1";
    for (const std::string& bundle : {leftOver, own, living, unrelated}) {
        makeBundle(bundle, "half deleted");
    }
    fake.processes.existing.insert(4343);

    auto listener = makeListener();
    EXPECT_EQ(exitStatusOf([&] { fireTimers(fake.application); }), 0);
    EXPECT_EQ(treeAt(target), newTree);
    EXPECT_THAT(namesIn(sourceFolder), ElementsAre(".PendraMacSandboxHelper.app.installed-4343",
                                                   ".PendraMacSandboxHelper.app.installed-x1"));
}

TEST_F(RelaunchToolFilesTest, IntoAnEmptyFolderTheCopyIsMovedIn) {
    std::filesystem::remove_all(target);
    auto listener = makeListener();
    EXPECT_EQ(exitStatusOf([&] { fireTimers(fake.application); }), 0);
    EXPECT_EQ(treeAt(target), newTree);
    EXPECT_THAT(namesIn(installFolder), ElementsAre("PendraMacSandboxHelper.app"));
}

TEST_F(RelaunchToolFilesTest, ASourceThatHasGoneLeavesTheInstalledBundleAndIsAwaited) {
    std::filesystem::rename(source, folder / "elsewhere.app");
    auto listener = makeListener();

    for (int tick = 0; tick < 3; ++tick) {
        EXPECT_EQ(exitStatusOf([&] { fireTimers(fake.application); }), std::nullopt);
        EXPECT_EQ(treeAt(target), oldTree);
        EXPECT_THAT(namesIn(installFolder), ElementsAre("PendraMacSandboxHelper.app"));
    }
    const auto lines = fake.log.console();
    ASSERT_EQ(lines.size(), 7u);
    for (int tick = 0; tick < 3; ++tick) {
        EXPECT_EQ(lines[1 + 2 * tick], "Relaunching: " + source + " -> " + target);
        EXPECT_THAT(lines[2 + 2 * tick], ::testing::StartsWith("Cannot copy item from " + source +
                                                               " to " + target + " because "));
        EXPECT_THAT(lines[2 + 2 * tick], ::testing::HasSubstr("Code=2"));
    }
    EXPECT_THAT(fake.workspace.launches, IsEmpty());
    EXPECT_TRUE(itemExists(self));

    // Once the source is back, the next tick completes the replacement.
    std::filesystem::rename(folder / "elsewhere.app", source);
    EXPECT_EQ(exitStatusOf([&] { fireTimers(fake.application); }), 0);
    EXPECT_EQ(treeAt(target), newTree);
}

TEST_F(RelaunchToolFilesTest, ACopyThatFailsPartWayLeavesTheInstalledBundleWhole) {
    tools_test::writeFile(source + "/Contents/Resources/Groß.bin", std::string(1 << 20, 'x'));
    auto listener = makeListener();

    std::optional<int> status;
    {
        ScopedFileSizeLimit limit(256 * 1024);
        status = exitStatusOf([&] { fireTimers(fake.application); });
    }
    EXPECT_EQ(status, std::nullopt);
    EXPECT_EQ(treeAt(target), oldTree);
    EXPECT_THAT(namesIn(installFolder), ElementsAre("PendraMacSandboxHelper.app"));
    EXPECT_TRUE(itemExists(source + "/Contents/Resources/Groß.bin"));
    ASSERT_EQ(fake.log.console().size(), 3u);
    EXPECT_THAT(fake.log.console()[2], ::testing::HasSubstr("Code=27"));  // file too large

    EXPECT_EQ(exitStatusOf([&] { fireTimers(fake.application); }), 0);
    EXPECT_EQ(tools_test::readFile(target + "/Contents/Resources/Groß.bin").size(), 1u << 20);
}

TEST_F(RelaunchToolFilesTest, StoppedBetweenAnyTwoStepsTheTargetIsOneWholeBundle) {
    bool completed = false;
    for (int step = 0; !completed && step < 10; ++step) {
        SCOPED_TRACE("stopped before change " + std::to_string(step));
        std::filesystem::remove_all(source);
        std::filesystem::remove_all(target);
        std::filesystem::remove_all(self);
        makeBundle(source, "new");
        makeBundle(target, "old");
        makeBundle(self, "tool");
        const Tree fresh = treeAt(source), stale = treeAt(target);

        tools_test::InterruptingFileManager files(*linuxPlatform.services().fileManager);
        files.interruptBeforeChange = step;
        fake.fileManagerOverride = &files;
        installed.reset();
        installed.emplace(services());
        {
            auto listener = makeListener();
            try {
                completed = exitStatusOf([&] { fireTimers(fake.application); }) == 0;
            } catch (const tools_test::Interrupted&) {
            }
        }
        const Tree now = treeAt(target);
        EXPECT_TRUE(now == fresh || now == stale);

        // A tool started again afterwards finishes the job and leaves nothing beside it.
        if (!completed) {
            fake.fileManagerOverride = linuxPlatform.services().fileManager;
            installed.reset();
            installed.emplace(services());
            if (!itemExists(source)) {
                // The source was already deleted after the swap.
                EXPECT_EQ(now, fresh);
                continue;
            }
            auto listener = makeListener();
            EXPECT_EQ(exitStatusOf([&] { fireTimers(fake.application); }), 0);
            EXPECT_EQ(treeAt(target), fresh);
            EXPECT_THAT(namesIn(installFolder), ElementsAre("PendraMacSandboxHelper.app"));
        }
    }
    EXPECT_TRUE(completed);
}

TEST_F(RelaunchToolFilesTest, RefusesASourceThatNamesTheTargetAnotherWay) {
    const std::string sameAsTarget =
        folder /
        "Application Support/./Pendra Sandbox Helper/../Pendra Sandbox Helper/"
        "PendraMacSandboxHelper.app/";
    relaunch_tool::TerminationListener listener(sameAsTarget.c_str(), target.c_str(), kGonePid,
                                                self);

    EXPECT_EQ(exitStatusOf([&] { fireTimers(fake.application); }), 1);
    EXPECT_EQ(treeAt(target), oldTree);
    EXPECT_THAT(namesIn(installFolder), ElementsAre("PendraMacSandboxHelper.app"));
    EXPECT_TRUE(itemExists(self));
    EXPECT_THAT(tools_test::lastLine(fake.log.console()), ::testing::EndsWith("are the same item"));
}

TEST_F(RelaunchToolFilesTest, RefusesASourceThatIsALinkToTheTarget) {
    const std::string link = folder / "Verknüpfung.app";
    std::filesystem::create_symlink(target, link);
    relaunch_tool::TerminationListener listener(link.c_str(), target.c_str(), kGonePid, self);

    EXPECT_EQ(exitStatusOf([&] { fireTimers(fake.application); }), 1);
    EXPECT_EQ(treeAt(target), oldTree);
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_THAT(tools_test::lastLine(fake.log.console()),
                ::testing::EndsWith(link + " is a symbolic link, not a bundle"));
}

TEST_F(RelaunchToolFilesTest, ReleaseFromQuarantineClearsTheMarkOnTheTreeButNotBeyondItsLinks) {
    const char* quarantine = "user.com.apple.quarantine";
    const std::vector<std::string> marked = {target, target + "/Contents/MacOS/Helper",
                                             outside + "/Wichtig.txt"};
    for (const std::string& path : marked) {
        if (setxattr(path.c_str(), quarantine, "0081;x", 6, 0) != 0) {
            GTEST_SKIP() << "extended attributes are not available here";
        }
    }
    platform::Services services = this->services();
    services.tasks = linuxPlatform.services().tasks;
    platform::ScopedInstall realTasks(services);

    relaunch_tool::releaseFileFromQuarantine(target);

    char value[16];
    EXPECT_LT(getxattr(target.c_str(), quarantine, value, sizeof value), 0);
    EXPECT_LT(
        getxattr((target + "/Contents/MacOS/Helper").c_str(), quarantine, value, sizeof value), 0);
    // Reached only through the link inside the bundle: not the bundle's to release.
    EXPECT_EQ(getxattr((outside + "/Wichtig.txt").c_str(), quarantine, value, sizeof value), 6);
}

}  // namespace
