// Installing and handing over, starting at login, refusing a second copy, running without a
// session bus, and removing itself when the main application is gone: the assembled helper
// bundle started as a real process.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>

#include "system/system_test_support.h"

namespace system_test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Pair;
using ::testing::UnorderedElementsAre;

const std::string kBuiltHelper = std::string(PENDRA_BUNDLE_DIR) + "/" + kHelperAppName;

class InstallationTest : public SystemTest {
  protected:
    // An entry another program wrote; the helper never touches it.
    void writeForeignAutostartEntry() {
        writeFile(autostart + "/other-program.desktop",
                  "[Desktop Entry]\nType=Application\nName=Other\nExec=/bin/true\n");
    }

    // What desktop-file-validate reports about an entry: nothing for a valid one.
    static std::string validateDesktopEntry(const std::string& path) {
        const std::string command = "desktop-file-validate '" + path + "' 2>&1";
        FILE* output = ::popen(command.c_str(), "r");
        if (output == nullptr) {
            return "cannot run desktop-file-validate";
        }
        std::string text;
        char buffer[256];
        while (std::fgets(buffer, sizeof buffer, output) != nullptr) {
            text += buffer;
        }
        const int status = ::pclose(output);
        return status == 0 ? text : text + "(exit status " + std::to_string(status) + ")";
    }

    // The main application records the arguments of every launch in the home folder.
    void installRecordingMainApplication() {
        installMainApplication();
        writeFile(applications + "/PendraMac.app/Contents/MacOS/PendraMac",
                  "#!/bin/sh\necho \"$@\" >> \"$HOME/PendraMac.launches\"\nexec sleep 30\n");
    }
};

TEST_F(InstallationTest, FirstStartOutsideTheDesignatedFolderMovesTheBundleAndRunsFromThere) {
    installRecordingMainApplication();
    writeForeignAutostartEntry();
    // A copy from an earlier installation elsewhere, still registered to start at login.
    const std::string stale = copyHelperTo(root + "/Alter Ort");
    writeHelperAutostartEntry("stale-helper.desktop", stale);
    BusClient bus(busAddress);
    ASSERT_TRUE(bus.connected());

    const std::string source = copyHelperTo(home + "/Downloads/Neue Version ü");
    const pid_t first = startHelper(source, "helper.log");
    EXPECT_EQ(waitForExit(first, 10s), 0) << log("helper.log");

    const std::string installedExecutable = installedHelper + "/" + kHelperExecutable;
    EXPECT_TRUE(waitUntil([&] { return processesRunning(installedExecutable).size() == 1; }))
        << log("helper.log");
    EXPECT_TRUE(bus.waitForNotification(kDidLaunch)) << log("helper.log");

    EXPECT_FALSE(itemExists(source));
    EXPECT_EQ(treeAt(installedHelper), treeAt(kBuiltHelper));
    EXPECT_THAT(namesIn(installFolder), ElementsAre(kHelperAppName));
    // The relaunch tool deletes its temporary copy just before it ends.
    EXPECT_TRUE(waitUntil([&] { return namesIn(temporary).empty(); }))
        << ::testing::PrintToString(namesIn(temporary));
    // One entry for the installed copy; the stale one of the helper's kind is gone and the
    // other program's entry stays.
    EXPECT_TRUE(waitUntil([&] { return autostartEntries().size() == 2; }));
    EXPECT_THAT(autostartEntries(), UnorderedElementsAre(Pair("other-program.desktop", ""),
                                                         Pair(::testing::_, installedHelper)));
    EXPECT_THAT(readFile(autostart + "/other-program.desktop"), HasSubstr("Exec=/bin/true"));
    for (const auto& [name, bundle] : autostartEntries()) {
        if (bundle == installedHelper) {
            EXPECT_EQ(validateDesktopEntry(autostart + "/" + name), "") << name;
        }
    }

    // The main application was started for the hand-over, and told why.
    EXPECT_TRUE(waitUntil([&] { return itemExists(home + "/PendraMac.launches"); }));
    EXPECT_EQ(readFile(home + "/PendraMac.launches"), "--pendra-sandbox-helper-installed\n");

    const std::string output = log("helper.log");
    EXPECT_THAT(output, HasSubstr("Not in designated folder, installing..."));
    EXPECT_THAT(output, HasSubstr("Already in designated folder, not installing."));
    EXPECT_EQ(std::count(bus.notifications.begin(), bus.notifications.end(), kDidLaunch), 1);
}

TEST_F(InstallationTest, AHandOverWhileTheMainApplicationRunsTellsItInsteadOfStartingIt) {
    // A main application whose executable is a real program, so that it counts as running.
    installMainApplication();
    const std::string mainExecutable = applications + "/PendraMac.app/Contents/MacOS/PendraMac";
    std::filesystem::remove(mainExecutable);
    std::filesystem::copy_file("/bin/sleep", mainExecutable);
    const pid_t mainApplication = start(mainExecutable, {"30"}, logs + "/main.log");
    ASSERT_TRUE(waitUntil([&] { return processesRunning(mainExecutable).size() == 1; }));
    BusClient bus(busAddress);
    ASSERT_TRUE(bus.connected());

    const std::string source = copyHelperTo(home + "/Downloads");
    const pid_t first = startHelper(source, "helper.log");
    EXPECT_EQ(waitForExit(first, 10s), 0) << log("helper.log");
    EXPECT_TRUE(bus.waitForNotification("PendraMacSandboxHelperDidInstallNotification"))
        << log("helper.log");
    EXPECT_TRUE(bus.waitForNotification(kDidLaunch)) << log("helper.log");

    EXPECT_EQ(processesRunning(mainExecutable), std::vector<pid_t>{mainApplication});
    EXPECT_FALSE(itemExists(source));
    EXPECT_EQ(processesRunning(installedHelper + "/" + kHelperExecutable).size(), 1u);
}

TEST_F(InstallationTest, ASecondCopyExitsAtOnceAndChangesNothing) {
    installMainApplication();
    writeForeignAutostartEntry();
    copyHelperTo(installFolder);
    BusClient bus(busAddress);
    ASSERT_TRUE(bus.connected());
    const pid_t running = startHelper(installedHelper, "running.log");
    ASSERT_TRUE(bus.waitForNotification(kDidLaunch)) << log("running.log");
    ASSERT_TRUE(waitUntil([&] { return autostartEntries().size() == 2; }));

    const auto autostartBefore = treeAt(autostart);
    const auto dataBefore = treeAt(dataHome);
    const std::string outside = copyHelperTo(home + "/Downloads");
    const auto outsideBefore = treeAt(outside);

    // Beside the running one, and from another folder, which would otherwise install itself.
    const pid_t sameBundle = startHelper(installedHelper, "same.log");
    EXPECT_EQ(waitForExit(sameBundle, 5s), 0) << log("same.log");
    const pid_t otherFolder = startHelper(outside, "other.log");
    EXPECT_EQ(waitForExit(otherFolder, 5s), 0) << log("other.log");

    for (const char* name : {"same.log", "other.log"}) {
        EXPECT_THAT(log(name), HasSubstr("Helper already running, exiting")) << name;
        EXPECT_THAT(log(name), HasSubstr("Exiting the helper")) << name;
        EXPECT_THAT(log(name), ::testing::Not(HasSubstr("installing"))) << name;
    }
    EXPECT_EQ(treeAt(autostart), autostartBefore);
    EXPECT_EQ(treeAt(dataHome), dataBefore);
    EXPECT_EQ(treeAt(outside), outsideBefore);
    EXPECT_THAT(namesIn(temporary), IsEmpty());

    // The first copy still runs, keeps its name and answers.
    EXPECT_TRUE(processRuns(running));
    EXPECT_TRUE(bus.nameHasOwner(kHelperIdentifier));
    const auto reply = bus.sendEvent(helperEvent("pdqe", "pdvn"));
    ASSERT_TRUE(reply.has_value());
    EXPECT_TRUE(reply->paramDescriptorForKeyword(platform::fourCharCode("pdmj")).has_value());
    EXPECT_FALSE(bus.waitForNotification(kDidTerminate, 200ms));
    EXPECT_EQ(std::count(bus.notifications.begin(), bus.notifications.end(), kDidLaunch), 1);
}

TEST_F(InstallationTest, WithoutTheMainApplicationTheHelperRemovesItselfAtStart) {
    writeForeignAutostartEntry();
    copyHelperTo(installFolder);
    writeHelperAutostartEntry("pendra-helper.desktop", installedHelper);
    BusClient bus(busAddress);
    ASSERT_TRUE(bus.connected());

    const pid_t helper = startHelper(installedHelper, "helper.log");
    EXPECT_EQ(waitForExit(helper, 10s), 0) << log("helper.log");

    EXPECT_THAT(autostartEntries(), ElementsAre(Pair("other-program.desktop", "")));
    // The remove tool checks once a second whether the helper has ended: about two seconds
    // at most from the helper's end.
    EXPECT_TRUE(waitUntil([&] { return !itemExists(installedHelper); }, 3s)) << log("helper.log");
    EXPECT_THAT(namesIn(installFolder), IsEmpty());

    const std::string output = log("helper.log");
    EXPECT_THAT(output, HasSubstr("No more Pendra bundles found locally"));
    EXPECT_THAT(output, ::testing::Not(HasSubstr("Helper about to start running")));
    // Ended past the application object: neither notification went out.
    EXPECT_FALSE(bus.waitForNotification(kDidTerminate, 200ms));
    EXPECT_THAT(bus.notifications, IsEmpty());
}

TEST_F(InstallationTest, WithoutASessionBusTheHelperStillRunsAndSaysWhy) {
    installMainApplication();
    copyHelperTo(installFolder);
    busAddress = "unix:path=" + runtime + "/no-such-bus";

    const pid_t helper = startHelper(installedHelper, "helper.log");
    EXPECT_TRUE(waitUntil([&] {
        return log("helper.log").find("Helper about to start running") != std::string::npos;
    })) << log("helper.log");
    EXPECT_EQ(waitForExit(helper, 500ms), std::nullopt) << log("helper.log");
    EXPECT_THAT(log("helper.log"), HasSubstr("No session bus"));
    EXPECT_THAT(autostartEntries(), ElementsAre(Pair(::testing::_, installedHelper)));
}

TEST_F(InstallationTest, AnUpdateFromWhatIsNoOtherCopyOfTheHelperIsRefusedAndTheHelperRuns) {
    installMainApplication();
    copyHelperTo(installFolder);
    BusClient bus(busAddress);
    ASSERT_TRUE(bus.connected());
    const pid_t helper = startHelper(installedHelper, "helper.log");
    ASSERT_TRUE(bus.waitForNotification(kDidLaunch)) << log("helper.log");
    ASSERT_TRUE(waitForHelperOnBus(bus));

    writeFile(home + "/Documents/Brief.txt", "keep me");
    const std::string foreign = copyHelperTo(home + "/Downloads/Fremd");
    writeFile(foreign + "/Contents/Info.plist",
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
              "<key>CFBundleIdentifier</key><string>com.example.Other</string>"
              "<key>CFBundleExecutable</key><string>PendraMacSandboxHelper</string>"
              "</dict></plist>\n");
    // Everything an update could touch lies in the home folder; the sender's own files do not.
    const auto before = treeAt(home);
    for (const std::string& source : {home + "/Documents", foreign, home + "/.local/./share/.",
                                      installedHelper + "/Contents", std::string("/tmp")}) {
        auto event = helperEvent("pdqe", "pdup");
        event.setParamDescriptor(platform::AppleEventDescriptor::descriptorWithString(source),
                                 platform::keyDirectObject);
        EXPECT_TRUE(sendAsMainApplication(event).has_value()) << source << "\n"
                                                              << log("helper.log");
    }

    EXPECT_TRUE(processRuns(helper));
    EXPECT_TRUE(bus.sendEvent(helperEvent("pdqe", "pdvn")).has_value());
    EXPECT_FALSE(bus.waitForNotification(kDidTerminate, 100ms));
    EXPECT_EQ(treeAt(home), before);
    EXPECT_EQ(readFile(home + "/Documents/Brief.txt"), "keep me");
    EXPECT_THAT(log("helper.log"), HasSubstr("is not a bundle of this helper"));
    EXPECT_THAT(log("helper.log"), HasSubstr("or lies inside it, not updating."));
}

TEST_F(InstallationTest, AtLoginTheAutostartEntryStartsTheInstalledHelperAgain) {
    if (!itemExists("/usr/bin/gio")) {
        GTEST_SKIP() << "no gio to start a desktop entry as a session does";
    }
    installMainApplication();
    copyHelperTo(installFolder);
    BusClient bus(busAddress);
    ASSERT_TRUE(bus.connected());
    const pid_t first = startHelper(installedHelper, "helper.log");
    ASSERT_TRUE(bus.waitForNotification(kDidLaunch)) << log("helper.log");
    const auto entries = autostartEntries();
    ASSERT_EQ(entries.size(), 1u);
    const std::string entry = autostart + "/" + entries.begin()->first;

    // The session ends: an orderly quit, which keeps the entry.
    ::kill(first, SIGTERM);
    EXPECT_TRUE(bus.waitForNotification(kDidTerminate)) << log("helper.log");
    EXPECT_EQ(waitForExit(first, 10s), 0);
    const auto autostartBefore = treeAt(autostart);

    // The next session starts what the entry names.
    const pid_t launcher = start("/usr/bin/gio", {"launch", entry}, logs + "/gio.log");
    EXPECT_EQ(waitForExit(launcher, 10s), 0) << log("gio.log");
    EXPECT_TRUE(bus.waitForNotification(kDidLaunch, 10s, 2)) << log("helper.log");
    EXPECT_EQ(processesRunning(installedHelper + "/" + kHelperExecutable).size(), 1u);
    EXPECT_EQ(treeAt(autostart), autostartBefore);
}

}  // namespace
}  // namespace system_test
