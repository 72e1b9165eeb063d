// The remove tool's sequence against the fakes: the immediate removal, the waiting, the log
// lines and the paths it refuses.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>

#include "testing/processes.h"
#include "tests/tools/tool_test_support.h"
#include "tools/common/process_id_argument.h"
#include "tools/remove/termination_listener.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using tools_test::exitStatusOf;
using tools_test::fireTimers;

const std::string kBundle =
    "/home/user/Library/Application Support/Pendra Sandbox Helper/Hélper.app";
constexpr platform::pid_t kHelperPid = 777;

class RemoveToolTest : public ::testing::Test {
  protected:
    RemoveToolTest() {
        fake.files.addFile(kBundle + "/Contents/Info.plist");
        fake.files.addFile(kBundle + "/Contents/MacOS/PendraSandboxHelperRemoveTool");
    }

    std::string removing() const { return "Removing bundle at path " + kBundle; }

    platform::fake::FakePlatform fake;
    platform::ScopedInstall installed{fake.services()};
};

TEST_F(RemoveToolTest, WaitsSilentlyWhileTheProcessLivesThenRemovesAtTheFirstTickAfter) {
    fake.processes.existing.insert(kHelperPid);
    remove_tool::TerminationListener listener(kBundle.c_str(), kHelperPid);

    ASSERT_EQ(fake.application.timers.size(), 1u);
    EXPECT_EQ(fake.application.timers[0].interval, 1.0);
    EXPECT_TRUE(fake.application.timers[0].repeats);
    for (int tick = 0; tick < 4; ++tick) {
        EXPECT_EQ(exitStatusOf([&] { fireTimers(fake.application); }), std::nullopt);
    }
    EXPECT_THAT(fake.log.console(), IsEmpty());
    EXPECT_THAT(fake.files.operations, IsEmpty());

    fake.processes.existing.clear();
    EXPECT_EQ(exitStatusOf([&] { fireTimers(fake.application); }), 0);
    EXPECT_THAT(fake.log.console(), ElementsAre(removing()));
    EXPECT_THAT(fake.files.operations, ElementsAre("remove " + kBundle));
    EXPECT_FALSE(fake.files.exists(kBundle));
}

TEST_F(RemoveToolTest, AGoneProcessIsNoticedAtTheFirstTickNotAtOnce) {
    remove_tool::TerminationListener listener(kBundle.c_str(), kHelperPid);
    EXPECT_THAT(fake.files.operations, IsEmpty());
    EXPECT_EQ(exitStatusOf([&] { fireTimers(fake.application); }), 0);
    EXPECT_FALSE(fake.files.exists(kBundle));
}

TEST_F(RemoveToolTest, AnOrphanedToolRemovesAtOnceWithoutATimer) {
    fake.processes.parentPid = 1;
    fake.processes.existing.insert(kHelperPid);

    EXPECT_EQ(exitStatusOf([&] { remove_tool::TerminationListener(kBundle.c_str(), kHelperPid); }),
              0);
    EXPECT_THAT(fake.application.timers, IsEmpty());
    EXPECT_THAT(fake.log.console(), ElementsAre(removing()));
    EXPECT_FALSE(fake.files.exists(kBundle));
}

TEST_F(RemoveToolTest, AMissingBundleIsOnlyAnnounced) {
    const std::string missing = "/tmp/Nicht da.app";
    remove_tool::TerminationListener listener(missing.c_str(), kHelperPid);

    EXPECT_EQ(exitStatusOf([&] { fireTimers(fake.application); }), 0);
    EXPECT_THAT(fake.log.console(), ElementsAre("Removing bundle at path " + missing));
    EXPECT_THAT(fake.files.operations, IsEmpty());
}

TEST_F(RemoveToolTest, AFailedDeletionIsLoggedOnceAndStillEndsWithZero) {
    const platform::Error error = platform::Error::posix(13, kBundle);
    fake.files.failRemove[kBundle] = error;
    remove_tool::TerminationListener listener(kBundle.c_str(), kHelperPid);

    EXPECT_EQ(exitStatusOf([&] { fireTimers(fake.application); }), 0);
    EXPECT_THAT(fake.log.console(),
                ElementsAre(removing(), "Error when removing bundle at path " + kBundle + ": " +
                                            error.description()));
}

class RemoveToolEntryTest : public RemoveToolTest {
  protected:
    RemoveToolEntryTest() { fake.application.setDelegate(&delegate); }

    int runMain(std::vector<std::string> arguments) {
        tools_test::Arguments args(std::move(arguments));
        return remove_tool::removeToolMain(args.argc(), args.argv());
    }

    tools_test::TickingDelegate delegate{fake.application, 2};
    test_support::ScopedEnvironment home{{"HOME", "/home/user"}};
};

TEST_F(RemoveToolEntryTest, MissingArgumentsOrAnIdThatIsNoPositiveNumberGiveTheUsage) {
    const std::vector<std::vector<std::string>> wrong = {{"tool"},
                                                         {"tool", kBundle},
                                                         {"tool", kBundle, ""},
                                                         {"tool", kBundle, "0"},
                                                         {"tool", kBundle, "-5"},
                                                         {"tool", kBundle, "+5"},
                                                         {"tool", kBundle, "12x"},
                                                         {"tool", kBundle, "helper"},
                                                         {"tool", kBundle, "2147483648"},
                                                         {"tool", kBundle, " 7"}};
    for (const auto& arguments : wrong) {
        fake.log.entries.clear();
        EXPECT_EQ(runMain(arguments), 1) << arguments.back();
        EXPECT_THAT(fake.log.console(), ElementsAre("Usage: tool BUNDLE-PATH PROCESS-ID"));
    }
    EXPECT_EQ(fake.application.runCalls, 0);
    EXPECT_THAT(fake.application.timers, IsEmpty());
    EXPECT_THAT(fake.files.operations, IsEmpty());
    EXPECT_EQ(tool_common::processIdFromArgument("2147483647"), 2147483647);
    EXPECT_EQ(tool_common::processIdFromArgument("0042"), 42);
}

TEST_F(RemoveToolEntryTest, RefusesPathsThatNameMoreThanABundle) {
    fake.files.addFile("/home/user/Documents/Brief.txt");
    fake.files.addSymbolicLink("/home/user/Link.app", kBundle);
    fake.files.addFile("/home/user/Hollow.app/Contents/MacOS/Helper");
    fake.files.operations.clear();
    const std::vector<std::pair<std::string, std::string>> refused = {
        {"", "the path is empty"},
        {"Hélper.app", "the path is relative"},
        {"./Hélper.app", "the path is relative"},
        {"/", "the path is the root folder"},
        {"//", "the path is the root folder"},
        {"/home/user/../..", "the path is the root folder"},
        {"/home/user", "the path is the home folder"},
        {"/home/user/", "the path is the home folder"},
        {"/home/./user/Library/..", "the path is the home folder"},
        {"/home", "the path is a folder holding the home folder"},
        {"/home/user/..", "the path is a folder holding the home folder"},
        {"/home/user/Documents", "the item is not an application bundle"},
        {"/home/user/Link.app", "the item is not an application bundle"},
        {"/home/user/Hollow.app", "the item is not an application bundle"},
    };
    for (const auto& [path, reason] : refused) {
        fake.log.entries.clear();
        EXPECT_EQ(runMain({"tool", path, "777"}), 1) << path;
        EXPECT_THAT(fake.log.console(),
                    ElementsAre("Refusing to remove bundle at path " + path + ": " + reason));
    }
    EXPECT_EQ(fake.application.runCalls, 0);
    EXPECT_THAT(fake.application.timers, IsEmpty());
    EXPECT_THAT(fake.files.operations, IsEmpty());
}

TEST_F(RemoveToolEntryTest, RefusesTheHomeFolderAndItsParentUnderOtherNamesOfTheSameItems) {
    fake.files.addDirectory("/home/user");
    fake.files.addDirectory("/srv/users/me");
    fake.files.setFileNumber("/home/user", 99);
    fake.files.setFileNumber("/srv/users/me", 99);
    fake.files.setFileNumber("/home", 98);
    fake.files.setFileNumber("/srv/users", 98);

    EXPECT_EQ(runMain({"tool", "/srv/users/me", "777"}), 1);
    EXPECT_EQ(runMain({"tool", "/srv/users", "777"}), 1);
    EXPECT_THAT(fake.log.console(),
                ElementsAre("Refusing to remove bundle at path /srv/users/me: the path is the home "
                            "folder",
                            "Refusing to remove bundle at path /srv/users: the path is a folder "
                            "holding the home folder"));
    EXPECT_TRUE(fake.files.exists("/srv/users/me"));
}

TEST_F(RemoveToolTest, WhatIsNoLongerABundleWhenTheWaitEndsIsLeft) {
    remove_tool::TerminationListener listener(kBundle.c_str(), kHelperPid);
    fake.files.removeItemAtPath(kBundle + "/Contents/Info.plist", nullptr);
    fake.files.operations.clear();

    EXPECT_EQ(exitStatusOf([&] { fireTimers(fake.application); }), 1);
    EXPECT_THAT(fake.files.operations, IsEmpty());
    EXPECT_THAT(fake.processes.pinned, ElementsAre(kHelperPid));
}

TEST_F(RemoveToolEntryTest, AFolderInsideHomeIsRemovedAfterTheWait) {
    fake.processes.existing.insert(kHelperPid);
    EXPECT_EQ(runMain({"tool", kBundle, "777", "ignored"}), 0);
    EXPECT_EQ(delegate.ticksDone, 2);
    EXPECT_TRUE(fake.files.exists(kBundle));

    fake.processes.existing.clear();
    EXPECT_EQ(exitStatusOf([&] { runMain({"tool", kBundle, "777"}); }), 0);
    EXPECT_FALSE(fake.files.exists(kBundle));
    EXPECT_TRUE(fake.files.exists("/home/user/Library/Application Support/Pendra Sandbox Helper"));
}

}  // namespace
