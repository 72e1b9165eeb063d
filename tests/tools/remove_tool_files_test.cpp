// The remove tool on real folders: links inside the bundle and the path itself are never
// followed, names pass through byte for byte, and the folders it refuses stay as they are.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/linux_platform.h"
#include "testing/processes.h"
#include "tests/tools/tool_test_support.h"
#include "tools/remove/termination_listener.h"

namespace {

using ::testing::ElementsAre;
using tools_test::exitStatusOf;
using tools_test::fireTimers;
using tools_test::itemExists;
using tools_test::treeAt;
using Tree = std::map<std::string, std::string>;

constexpr platform::pid_t kGonePid = 777;

class RemoveToolFilesTest : public ::testing::Test {
  protected:
    RemoveToolFilesTest() {
        tools_test::makeBundle(bundle, "installed");
        tools_test::writeFile(bundle + "/Contents/MacOS/PendraSandboxHelperRemoveTool", "tool");
        tools_test::writeFile(outside + "/Wichtig.txt", "keep me");
        std::filesystem::create_symlink(outside, bundle + "/Contents/Ordner");
        std::filesystem::create_symlink(outside + "/Wichtig.txt", bundle + "/Contents/Datei");
        environment.set("HOME", home);
        std::filesystem::create_directories(home);
        tools_test::writeFile(home + "/.profile", "home");
    }

    int runMain(const std::string& path) {
        tools_test::Arguments args({"PendraSandboxHelperRemoveTool", path, "777"});
        return remove_tool::removeToolMain(args.argc(), args.argv());
    }

    tools_test::TemporaryFolder folder;
    const std::string support = folder / "Application Support/Pendra Sandbox Helper";
    const std::string bundle = support + "/Pendra Hélper.app";
    const std::string outside = folder / "Dokumente für später";
    const std::string home = folder / "home ü";

    platform::linux_platform::LinuxPlatform linuxPlatform;
    platform::fake::FakePlatform fake;
    platform::ScopedInstall installed{[this] {
        fake.fileManagerOverride = linuxPlatform.services().fileManager;
        fake.paths.home = home;
        return fake.services();
    }()};
    test_support::ScopedEnvironment environment;
};

TEST_F(RemoveToolFilesTest, DeletesTheBundleWithItsOwnExecutableButNothingItsLinksLeadTo) {
    remove_tool::TerminationListener listener(bundle.c_str(), kGonePid);
    EXPECT_EQ(exitStatusOf([&] { fireTimers(fake.application); }), 0);

    EXPECT_FALSE(itemExists(bundle));
    EXPECT_TRUE(itemExists(support));
    EXPECT_EQ(treeAt(outside), (Tree{{"Wichtig.txt", "keep me"}}));
    EXPECT_THAT(fake.log.console(), ElementsAre("Removing bundle at path " + bundle));
}

TEST_F(RemoveToolFilesTest, RefusesALinkAFolderHoldingHomeAndWhatIsNoBundle) {
    const std::string link = folder / "Verknüpfung.app";
    std::filesystem::create_symlink(bundle, link);
    const Tree folderTree = treeAt(folder.path());
    for (const std::string& path : {link, outside, folder.path(), folder / "home ü/..",
                                    support + "/../Pendra Sandbox Helper"}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(runMain(path), 1);
    }
    EXPECT_EQ(treeAt(folder.path()), folderTree);
}

TEST_F(RemoveToolFilesTest, RefusesTheHomeFolderAndTheRootHoweverTheyAreSpelled) {
    const Tree homeTree = treeAt(home);
    for (const std::string& path : {home, home + "/", home + "/./", folder / "home ü/../home ü",
                                    std::string("/"), std::string("/tmp/.."), std::string("")}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(runMain(path), 1);
        EXPECT_THAT(tools_test::lastLine(fake.log.console()),
                    ::testing::StartsWith("Refusing to remove bundle at path " + path + ": "));
    }
    EXPECT_EQ(treeAt(home), homeTree);
    EXPECT_THAT(fake.application.timers, ::testing::IsEmpty());
}

TEST_F(RemoveToolFilesTest, ALinkToTheHomeFolderIsRefused) {
    const std::string link = folder / "Zuhause";
    std::filesystem::create_symlink(home, link);
    EXPECT_EQ(runMain(link), 1);
    EXPECT_EQ(tools_test::lastLine(fake.log.console()),
              "Refusing to remove bundle at path " + link + ": the path is the home folder");
    EXPECT_TRUE(itemExists(link));
}

}  // namespace
