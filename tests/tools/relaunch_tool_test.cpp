// The relaunch tool's sequence against the fakes: what it logs, which file operations it makes
// in which order, what it starts and launches, and how it ends.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <cerrno>

#include "helper/constants.h"
#include "tests/tools/tool_test_support.h"
#include "tools/relaunch/termination_listener.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using tools_test::exitStatusOf;
using tools_test::fireTimers;

const std::string kSource = "/tmp/Neue Version ü/PendraMacSandboxHelper.app";
const std::string kFolder = "/home/user/Library/Application Support/Pendra Sandbox Helper";
const std::string kTarget = kFolder + "/PendraMacSandboxHelper.app";
const std::string kStaging = kFolder + "/.PendraMacSandboxHelper.app.incoming-4242";
const std::string kSelf = "/tmp/PendraSandboxHelperRelaunchTool.app";
// Where the source goes once installed, to be deleted there.
const std::string kSourceAside = "/tmp/Neue Version ü/.PendraMacSandboxHelper.app.installed-4242";
constexpr platform::pid_t kHelperPid = 777;

class RelaunchToolTest : public ::testing::Test {
  protected:
    RelaunchToolTest() {
        fake.files.addDirectory(kFolder);
        addHelperBundle(kSource);
        fake.files.addDirectory(kSelf);
    }

    std::unique_ptr<relaunch_tool::TerminationListener> makeListener() {
        return std::make_unique<relaunch_tool::TerminationListener>(
            kSource.c_str(), kTarget.c_str(), kHelperPid, kSelf);
    }

    // A bundle of the helper, as the bundle service and the file manager see it.
    void addHelperBundle(const std::string& path,
                         const std::string& identifier = "com.orvano.PendraMacSandboxHelper") {
        auto bundle = std::make_shared<platform::fake::FakeBundle>(path, identifier);
        bundle->info["CFBundleExecutable"] = platform::PropertyList("Helper");
        fake.bundles.addBundle(bundle);
        fake.files.addFile(path + "/Contents/Info.plist");
        fake.files.addFile(path + "/Contents/MacOS/Helper");
    }

    std::string relaunching() const { return "Relaunching: " + kSource + " -> " + kTarget; }

    platform::fake::FakePlatform fake;
    platform::ScopedInstall installed{fake.services()};
};

TEST_F(RelaunchToolTest, WaitsQuietlyWhileTheProcessLives) {
    fake.processes.existing.insert(kHelperPid);
    fake.files.addDirectory(kTarget);
    auto listener = makeListener();
    EXPECT_THAT(fake.processes.pinned, ElementsAre(kHelperPid));

    ASSERT_EQ(fake.application.timers.size(), 1u);
    EXPECT_EQ(fake.application.timers[0].interval, 1.0);
    EXPECT_TRUE(fake.application.timers[0].repeats);

    for (int tick = 0; tick < 5; ++tick) {
        EXPECT_EQ(exitStatusOf([&] { fireTimers(fake.application); }), std::nullopt);
    }
    EXPECT_THAT(fake.log.console(), ElementsAre("Setting up termination listener..."));
    EXPECT_THAT(fake.files.operations, IsEmpty());
    EXPECT_THAT(fake.tasks.launched, IsEmpty());
    EXPECT_THAT(fake.workspace.launches, IsEmpty());
    EXPECT_EQ(fake.processes.exitStatus, std::nullopt);
}

TEST_F(RelaunchToolTest, ReplacesAnInstalledBundleByCopyingBesideItAndSwapping) {
    fake.files.addDirectory(kTarget);
    fake.files.addFile(kTarget + "/Contents/Old.txt");
    auto listener = makeListener();

    EXPECT_EQ(exitStatusOf([&] { fireTimers(fake.application); }), 0);

    EXPECT_THAT(fake.files.operations,
                ElementsAre("copy " + kSource + " -> " + kStaging, "sync " + kStaging,
                            "exchange " + kStaging + " <-> " + kTarget, "remove " + kStaging,
                            "move " + kSource + " -> " + kSourceAside, "remove " + kSourceAside,
                            "remove " + kSelf));
    EXPECT_TRUE(fake.files.exists(kTarget + "/Contents/Info.plist"));
    EXPECT_FALSE(fake.files.exists(kTarget + "/Contents/Old.txt"));
    EXPECT_FALSE(fake.files.exists(kStaging));

    ASSERT_EQ(fake.tasks.launched.size(), 1u);
    EXPECT_EQ(fake.tasks.launched[0].path, "/usr/bin/xattr");
    EXPECT_THAT(fake.tasks.launched[0].arguments,
                ElementsAre("-rd", "com.apple.quarantine", kTarget));
    EXPECT_EQ(fake.tasks.waitedFor.size(), 1u);

    ASSERT_EQ(fake.workspace.launches.size(), 1u);
    EXPECT_EQ(fake.workspace.launches[0].url, platform::URL::fileURLWithPath(kTarget));
    EXPECT_EQ(fake.workspace.launches[0].options, 0x80200u);
    EXPECT_THAT(fake.workspace.launches[0].configuration.arguments, IsEmpty());

    EXPECT_THAT(fake.log.console(),
                ElementsAre("Setting up termination listener...", relaunching()));
    EXPECT_EQ(fake.processes.exitStatus, 0);
}

TEST_F(RelaunchToolTest, WithoutAnInstalledBundleMovesTheCopyInAndDeletesNothingFirst) {
    auto listener = makeListener();

    EXPECT_EQ(exitStatusOf([&] { fireTimers(fake.application); }), 0);

    EXPECT_THAT(fake.files.operations,
                ElementsAre("copy " + kSource + " -> " + kStaging, "sync " + kStaging,
                            "move " + kStaging + " -> " + kTarget,
                            "move " + kSource + " -> " + kSourceAside, "remove " + kSourceAside,
                            "remove " + kSelf));
    EXPECT_TRUE(fake.files.exists(kTarget + "/Contents/Info.plist"));
}

TEST_F(RelaunchToolTest, ClearsWhatKilledToolsLeftAndPutsBackABundleSetAside) {
    // A copy of a killed tool, and the installed bundle set aside by three renames cut short.
    const std::string killedCopy = kFolder + "/.PendraMacSandboxHelper.app.incoming-99";
    fake.files.addFile(killedCopy + "/Half.txt");
    const std::string aside = kFolder + "/.PendraMacSandboxHelper.app.exchange";
    fake.files.addFile(aside + "/Contents/Old.txt");
    fake.files.failCopy[kSource] = platform::Error::posix(EIO, kSource);
    auto listener = makeListener();

    EXPECT_EQ(exitStatusOf([&] { fireTimers(fake.application); }), std::nullopt);
    EXPECT_THAT(fake.files.operations,
                ElementsAre("move " + aside + " -> " + kTarget, "remove " + killedCopy,
                            "copy " + kSource + " -> " + kStaging));
    EXPECT_TRUE(fake.files.exists(kTarget + "/Contents/Old.txt"));
    EXPECT_EQ(fake.log.console().at(2),
              "Put back " + kTarget + ", set aside by a replacement cut short");

    // Once the new bundle had taken the target's name, what lies aside is the old one.
    fake.files.addFile(aside + "/Contents/Older.txt");
    fake.files.failCopy.clear();
    EXPECT_EQ(exitStatusOf([&] { fireTimers(fake.application); }), 0);
    EXPECT_FALSE(fake.files.exists(aside));
    EXPECT_TRUE(fake.files.exists(kTarget + "/Contents/Info.plist"));
    EXPECT_THAT(fake.files.paths(),
                ::testing::Not(::testing::Contains(::testing::HasSubstr(".incoming"))));
}

TEST_F(RelaunchToolTest, WaitsForAnotherToolThatHoldsTheFolder) {
    fake.files.addDirectory(kTarget);
    fake.files.lockedElsewhere.insert(kFolder);
    auto listener = makeListener();

    EXPECT_EQ(exitStatusOf([&] { fireTimers(fake.application); }), std::nullopt);
    EXPECT_THAT(fake.files.operations, IsEmpty());
    EXPECT_EQ(tools_test::lastLine(fake.log.console()),
              "Another relaunch tool is replacing " + kTarget + "; trying again");

    fake.files.lockedElsewhere.clear();
    EXPECT_EQ(exitStatusOf([&] { fireTimers(fake.application); }), 0);
    EXPECT_TRUE(fake.files.locked.empty());
}

TEST_F(RelaunchToolTest, GivesUpOnWhatARetryCannotMendAndOnAMinuteOfFailuresKeepingTheHelper) {
    const struct {
        int code;
        int attemptsBeforeTheEnd;
    } cases[] = {{EACCES, 1}, {EPERM, 1}, {EROFS, 1}, {EINVAL, 1}, {ENOSPC, 60}, {ENOENT, 60}};
    for (const auto& each : cases) {
        SCOPED_TRACE(each.code);
        fake.workspace.launches.clear();
        fake.files.addDirectory(kTarget);
        fake.files.failCopy[kSource] = platform::Error::posix(each.code, kSource);
        auto listener = makeListener();
        for (int attempt = 1; attempt < each.attemptsBeforeTheEnd; ++attempt) {
            ASSERT_EQ(exitStatusOf([&] { fireTimers(fake.application); }), std::nullopt);
        }
        EXPECT_EQ(exitStatusOf([&] { fireTimers(fake.application); }), 1);
        EXPECT_THAT(tools_test::lastLine(fake.log.console()),
                    ::testing::StartsWith("Giving up the replacement of " + kTarget + ": "));
        // The installed bundle, as it is, is started again for the person.
        ASSERT_EQ(fake.workspace.launches.size(), 1u);
        EXPECT_EQ(fake.workspace.launches[0].url, platform::URL::fileURLWithPath(kTarget));
        EXPECT_TRUE(fake.files.exists(kSource));
        listener.reset();
    }
}

TEST_F(RelaunchToolTest, AFailedFirstInstallationStartsTheSourceOnceToldNotToHandOverAgain) {
    // No installed bundle: the main application has been told of one all the same.
    const std::string noneStarted =
        "No helper is installed at " + kTarget + ", and none is started";
    const std::string startingSource = "No helper is installed at " + kTarget + "; starting " +
                                       kSource +
                                       " again where it lies, told not to hand itself over";
    const struct {
        const char* name;
        std::optional<int> copyError;  // absent: the source is refused before any copy
        int attemptsBeforeTheEnd;
        bool sourceGoneMeanwhile;
        std::string startLine;  // empty: nothing is started
    } cases[] = {
        {"read-only", EROFS, 1, false, startingSource},
        {"a full disk for a minute", ENOSPC, 60, false, startingSource},
        {"the source gone", ENOENT, 60, true, noneStarted},
        {"a source that is no bundle of the helper", std::nullopt, 1, false, noneStarted},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.name);
        fake.workspace.launches.clear();
        fake.log.entries.clear();
        fake.files.failCopy.clear();
        if (each.copyError) {
            fake.files.failCopy[kSource] = platform::Error::posix(*each.copyError, kSource);
        } else {
            fake.bundles.others.clear();
            addHelperBundle(kSource, "com.example.Other");
        }
        auto listener = makeListener();
        for (int attempt = 1; attempt < each.attemptsBeforeTheEnd; ++attempt) {
            ASSERT_EQ(exitStatusOf([&] { fireTimers(fake.application); }), std::nullopt);
        }
        if (each.sourceGoneMeanwhile) {
            fake.files.removeItemAtPath(kSource, nullptr);
        }
        EXPECT_EQ(exitStatusOf([&] { fireTimers(fake.application); }), 1);

        EXPECT_EQ(tools_test::lastLine(fake.log.console()), each.startLine);
        EXPECT_FALSE(fake.files.exists(kTarget));
        if (each.startLine == startingSource) {
            ASSERT_EQ(fake.workspace.launches.size(), 1u);
            EXPECT_EQ(fake.workspace.launches[0].url, platform::URL::fileURLWithPath(kSource));
            EXPECT_EQ(fake.workspace.launches[0].options, 0x80200u);
            // The helper knows the argument by the same spelling.
            EXPECT_THAT(fake.workspace.launches[0].configuration.arguments,
                        ElementsAre(pendra::PendraSandboxHelperInstallationFailedLaunchArgument));
            EXPECT_TRUE(fake.files.exists(kSource + "/Contents/Info.plist"));
        } else {
            EXPECT_THAT(fake.workspace.launches, IsEmpty());
        }
        listener.reset();
        if (each.sourceGoneMeanwhile) {
            addHelperBundle(kSource);
        }
    }
}

TEST_F(RelaunchToolTest, AFailedCopyLeavesTheTargetAndTriesAgainEverySecond) {
    fake.files.addDirectory(kTarget);
    fake.files.addFile(kTarget + "/Contents/Old.txt");
    const platform::Error error = platform::Error::posix(EIO, kSource);
    fake.files.failCopy[kSource] = error;
    auto listener = makeListener();
    const std::string cannotCopy =
        "Cannot copy item from " + kSource + " to " + kTarget + " because " + error.description();

    for (int tick = 0; tick < 3; ++tick) {
        EXPECT_EQ(exitStatusOf([&] { fireTimers(fake.application); }), std::nullopt);
    }
    EXPECT_THAT(fake.log.console(),
                ElementsAre("Setting up termination listener...", relaunching(), cannotCopy,
                            relaunching(), cannotCopy, relaunching(), cannotCopy));
    EXPECT_TRUE(fake.files.exists(kTarget + "/Contents/Old.txt"));
    EXPECT_TRUE(fake.files.exists(kSource));
    EXPECT_THAT(fake.workspace.launches, IsEmpty());
    for (const std::string& operation : fake.files.operations) {
        EXPECT_NE(operation, "remove " + kTarget);
    }

    fake.files.failCopy.clear();
    EXPECT_EQ(exitStatusOf([&] { fireTimers(fake.application); }), 0);
    EXPECT_TRUE(fake.files.exists(kTarget + "/Contents/Info.plist"));
}

TEST_F(RelaunchToolTest, AFailedSwapLeavesTheTargetAndTheStagedCopyIsCleared) {
    fake.files.addDirectory(kTarget);
    fake.files.addFile(kTarget + "/Contents/Old.txt");
    const platform::Error error = platform::Error::posix(16, kTarget);
    fake.files.failExchange[kTarget] = error;
    auto listener = makeListener();

    EXPECT_EQ(exitStatusOf([&] { fireTimers(fake.application); }), std::nullopt);

    EXPECT_THAT(fake.log.console(), ElementsAre("Setting up termination listener...", relaunching(),
                                                "Cannot copy item from " + kSource + " to " +
                                                    kTarget + " because " + error.description()));
    EXPECT_TRUE(fake.files.exists(kTarget + "/Contents/Old.txt"));
    EXPECT_FALSE(fake.files.exists(kStaging));
    EXPECT_TRUE(fake.files.exists(kSource));
    EXPECT_THAT(fake.workspace.launches, IsEmpty());
}

TEST_F(RelaunchToolTest, TheFirstCheckComesOneSecondAfterStartEvenWhenTheProcessIsGone) {
    auto listener = makeListener();
    EXPECT_THAT(fake.files.operations, IsEmpty());
    fake.application.advance(0.9);
    EXPECT_THAT(fake.files.operations, IsEmpty());
    EXPECT_EQ(exitStatusOf([&] { fake.application.advance(0.2); }), 0);
    EXPECT_FALSE(fake.files.exists(kSource));
}

TEST_F(RelaunchToolTest, ASourceThatCannotBeDeletedIsLoggedAndTheRelaunchGoesOn) {
    const platform::Error error = platform::Error::posix(1, kSource);
    fake.files.failMove[kSource] = error;
    auto listener = makeListener();

    EXPECT_EQ(exitStatusOf([&] { fireTimers(fake.application); }), 0);

    EXPECT_THAT(fake.log.console(),
                ElementsAre("Setting up termination listener...", relaunching(),
                            "Cannot delete item from " + kSource + ": " + error.description()));
    EXPECT_EQ(fake.tasks.launched.size(), 1u);
    EXPECT_EQ(fake.workspace.launches.size(), 1u);
    EXPECT_FALSE(fake.files.exists(kSelf));
}

TEST_F(RelaunchToolTest, AFailedLaunchStillDeletesTheToolAndEndsWithZero) {
    fake.workspace.launchError = platform::Error::posix(8, kTarget);
    auto listener = makeListener();

    EXPECT_EQ(exitStatusOf([&] { fireTimers(fake.application); }), 0);
    EXPECT_EQ(fake.workspace.launches.size(), 1u);
    EXPECT_FALSE(fake.files.exists(kSelf));
    EXPECT_THAT(fake.log.console(),
                ElementsAre("Setting up termination listener...", relaunching()));
}

TEST_F(RelaunchToolTest, RefusesASourceThatIsTheTargetItself) {
    fake.files.addDirectory(kTarget);
    fake.files.setFileNumber(kSource, 4711);
    fake.files.setFileNumber(kTarget, 4711);
    auto listener = makeListener();

    EXPECT_EQ(exitStatusOf([&] { fireTimers(fake.application); }), 1);

    EXPECT_THAT(fake.log.console(), ElementsAre("Setting up termination listener...", relaunching(),
                                                "Cannot relaunch: " + kSource + " and " + kTarget +
                                                    " are the same item"));
    EXPECT_THAT(fake.files.operations, IsEmpty());
    // The installed bundle is started again as it is.
    ASSERT_EQ(fake.workspace.launches.size(), 1u);
    EXPECT_EQ(fake.workspace.launches[0].url, platform::URL::fileURLWithPath(kTarget));
    EXPECT_TRUE(fake.files.exists(kSelf));
}

TEST_F(RelaunchToolTest, RefusesWhatIsNoOtherBundleOfTheHelperBeforeTouchingAnything) {
    fake.files.addDirectory(kTarget);
    const std::string documents = "/home/user/Documents";
    fake.files.addFile(documents + "/Brief.txt");
    const std::string other = "/tmp/Other.app";
    addHelperBundle(other, "com.example.Other");
    const std::string hollow = "/tmp/Hollow.app";
    addHelperBundle(hollow);
    fake.files.removeItemAtPath(hollow + "/Contents/MacOS/Helper", nullptr);
    const std::string linkToFolder = "/tmp/Link to Support";
    fake.files.addSymbolicLink(linkToFolder, "/home/user/Library");
    fake.files.operations.clear();

    const struct {
        std::string source;
        std::string reason;
    } cases[] = {
        {documents, " is not a bundle of the helper: it is not a bundle"},
        {other,
         " is not a bundle of the helper: its identifier is com.example.Other, not "
         "com.orvano.PendraMacSandboxHelper"},
        {hollow, " is not a bundle of the helper: its executable " + hollow +
                     "/Contents/MacOS/Helper is missing"},
        {"/home/user/Library/./Application Support/.",
         " contains " + kTarget + " or lies inside it"},
        {linkToFolder + "/Application Support/", " contains " + kTarget + " or lies inside it"},
        {kTarget + "/Contents", " contains " + kTarget + " or lies inside it"},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.source);
        fake.log.entries.clear();
        relaunch_tool::TerminationListener listener(each.source.c_str(), kTarget.c_str(),
                                                    kHelperPid, kSelf);
        EXPECT_EQ(exitStatusOf([&] { listener.watchdog(); }), 1);
        EXPECT_EQ(tools_test::lastLine(fake.log.console()),
                  "Cannot relaunch: " + each.source + each.reason);
    }
    EXPECT_THAT(fake.files.operations, IsEmpty());
    EXPECT_TRUE(fake.files.exists(documents + "/Brief.txt"));
}

TEST_F(RelaunchToolTest, AToolStartedFromInsideTheTargetLeavesTheNewBundleWhole) {
    const std::string inside = kTarget + "/Contents/MacOS/PendraSandboxHelperRelaunchTool.app";
    fake.files.addDirectory(kTarget);
    fake.files.addDirectory(kSource + "/Contents/MacOS/PendraSandboxHelperRelaunchTool.app");
    auto listener = std::make_unique<relaunch_tool::TerminationListener>(
        kSource.c_str(), kTarget.c_str(), kHelperPid, inside);

    EXPECT_EQ(exitStatusOf([&] { fireTimers(fake.application); }), 0);
    EXPECT_TRUE(fake.files.exists(inside));
}

TEST(RelaunchToolStagingPath, IsAHiddenItemOfTheToolsOwnInTheTargetsFolder) {
    EXPECT_EQ(relaunch_tool::stagingPathForTarget("/a b/Hélper.app", 77),
              "/a b/.Hélper.app.incoming-77");
    EXPECT_EQ(relaunch_tool::stagingPathForTarget("/a b/Hélper.app//", 78),
              "/a b/.Hélper.app.incoming-78");
}

class RelaunchToolEntryTest : public RelaunchToolTest {
  protected:
    RelaunchToolEntryTest() {
        fake.bundles.main->path = kSelf;
        fake.application.setDelegate(&delegate);
    }

    int runMain(std::vector<std::string> arguments) {
        tools_test::Arguments args(std::move(arguments));
        return relaunch_tool::relaunchToolMain(args.argc(), args.argv());
    }

    tools_test::TickingDelegate delegate{fake.application, 3};
};

TEST_F(RelaunchToolEntryTest, MissingArgumentsOrAnIdThatIsNoPositiveNumberGiveTheUsage) {
    for (const auto& arguments :
         std::vector<std::vector<std::string>>{{"tool"},
                                               {"tool", kSource},
                                               {"tool", kSource, kTarget},
                                               {"tool", kSource, kTarget, "helper"},
                                               {"tool", kSource, kTarget, "0"},
                                               {"tool", kSource, kTarget, "-777"},
                                               {"tool", kSource, kTarget, "777 "}}) {
        fake.log.entries.clear();
        EXPECT_EQ(runMain(arguments), 1) << arguments.back();
        EXPECT_THAT(fake.log.console(),
                    ElementsAre("Usage: tool SOURCE-PATH TARGET-PATH PROCESS-ID"));
    }
    EXPECT_EQ(fake.application.activateIgnoringOtherAppsCalls, 0);
    EXPECT_EQ(fake.application.runCalls, 0);
    EXPECT_THAT(fake.application.timers, IsEmpty());
    EXPECT_THAT(fake.files.operations, IsEmpty());
    EXPECT_THAT(fake.processes.pinned, IsEmpty());
}

TEST_F(RelaunchToolEntryTest, ActivatesItselfWaitsAndRelaunchesIgnoringTheFourthArgument) {
    fake.processes.existing.insert(kHelperPid);
    EXPECT_EQ(runMain({"tool", kSource, kTarget, "777", "/no/such/tool.app", "more"}), 0);

    EXPECT_EQ(fake.application.activateIgnoringOtherAppsCalls, 1);
    EXPECT_EQ(fake.application.runCalls, 1);
    EXPECT_EQ(delegate.ticksDone, 3);
    EXPECT_THAT(fake.files.operations, IsEmpty());
    // The loop came back, so the listener is gone and its timer with it.
    EXPECT_EQ(fake.application.validTimers().size(), 0u);

    fake.processes.existing.clear();
    EXPECT_EQ(exitStatusOf([&] { runMain({"tool", kSource, kTarget, "777"}); }), 0);
    EXPECT_THAT(fake.files.operations,
                ElementsAre("copy " + kSource + " -> " + kStaging, "sync " + kStaging,
                            "move " + kStaging + " -> " + kTarget,
                            "move " + kSource + " -> " + kSourceAside, "remove " + kSourceAside,
                            "remove " + kSelf));
}

TEST_F(RelaunchToolEntryTest, OutsideABundleOfItsOwnTheToolKeepsItsFolder) {
    fake.bundles.main->identifier = std::nullopt;
    EXPECT_EQ(exitStatusOf([&] { runMain({"tool", kSource, kTarget, "777"}); }), 0);
    EXPECT_TRUE(fake.files.exists(kSelf));
    EXPECT_EQ(fake.workspace.launches.size(), 1u);
}

}  // namespace
