#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <csignal>
#include <filesystem>

#include "linux_application.h"
#include "linux_workspace.h"
#include "test_support.h"

namespace {

using linux_test::eventually;
using linux_test::makeBundle;
using linux_test::processGone;
using linux_test::ProcessReaper;
using linux_test::readFile;
using linux_test::ScopedEnvironment;
using linux_test::TemporaryFolder;
using platform::URL;
using platform::linux_platform::LinuxWorkspace;

class LinuxWorkspaceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        environment.set("HOME", home.path());
        environment.set("XDG_RUNTIME_DIR", runtime.path());
        environment.set("PENDRA_APPLICATIONS_PATH", applications.path());
        // No desktop: the frontmost application comes from the record.
        environment.set("DISPLAY", std::nullopt);
        environment.set("WAYLAND_DISPLAY", std::nullopt);
        environment.set("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + (runtime / "no-bus"));
    }

    std::optional<platform::RunningApplication> launch(const std::string& bundle,
                                                       platform::NSWorkspaceLaunchOptions options,
                                                       std::vector<std::string> arguments = {
                                                           "30"}) {
        platform::Error error;
        auto running = workspace.launchApplicationAtURL(URL::fileURLWithPath(bundle), options,
                                                        {std::move(arguments)}, &error);
        if (running) {
            reaper.add(running->processIdentifier);
        }
        return running;
    }

    ScopedEnvironment environment;
    TemporaryFolder home;
    TemporaryFolder runtime;
    TemporaryFolder applications;
    ProcessReaper reaper;
    int quitRequests = 0;
    LinuxWorkspace workspace{[this] { ++quitRequests; }};
};

TEST_F(LinuxWorkspaceTest, LaunchedApplicationsRunInTheirOwnSessionWithTheirArguments) {
    const std::string bundle = makeBundle(
        applications.path(), "Sleeper",
        {{"CFBundleIdentifier", "com.example.sleeper"}, {"CFBundleDisplayName", "Sleeper"}});
    platform::Error error;
    auto running = launch(bundle, platform::NSWorkspaceLaunchDefault, {"30", "1s"});
    ASSERT_TRUE(running);
    EXPECT_EQ(running->bundleIdentifier, "com.example.sleeper");
    EXPECT_EQ(running->localizedName, "Sleeper");
    EXPECT_EQ(running->bundleURL, URL::fileURLWithPath(bundle));
    const pid_t pid = running->processIdentifier;
    EXPECT_EQ(::getsid(pid), pid);
    std::string commandLine = bundle + "/Contents/MacOS/Sleeper";
    commandLine += '\0';
    commandLine += "30";
    commandLine += '\0';
    commandLine += "1s";
    commandLine += '\0';
    ASSERT_TRUE(eventually(
        [&] { return readFile("/proc/" + std::to_string(pid) + "/cmdline") == commandLine; }));

    auto found = workspace.runningApplicationsWithBundleIdentifier("com.example.sleeper");
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0], *running);
    EXPECT_EQ(workspace.runningApplicationWithProcessIdentifier(pid), running);
    // Launching it activated it.
    EXPECT_EQ(workspace.frontmostApplication(), running);

    // Without the new-instance option the running copy is the answer.
    auto again = launch(bundle, platform::NSWorkspaceLaunchWithoutActivation);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->processIdentifier, pid);
    auto second = launch(bundle, platform::NSWorkspaceLaunchNewInstance |
                                     platform::NSWorkspaceLaunchWithoutActivation);
    ASSERT_TRUE(second);
    EXPECT_NE(second->processIdentifier, pid);
    // Listed once the new copy runs its bundle's executable, a moment after it was started.
    EXPECT_TRUE(eventually([&] {
        return workspace.runningApplicationsWithBundleIdentifier("com.example.sleeper").size() ==
               2u;
    }));
    EXPECT_EQ(workspace.frontmostApplication()->processIdentifier, pid);

    EXPECT_TRUE(workspace.terminateApplication(*second));
    EXPECT_TRUE(eventually([&] { return processGone(second->processIdentifier); }));
    EXPECT_EQ(workspace.runningApplicationsWithBundleIdentifier("com.example.sleeper").size(), 1u);
    EXPECT_EQ(quitRequests, 0);
}

TEST_F(LinuxWorkspaceTest, OnlyTheDeclaredExecutableOfABundleMakesARunningApplication) {
    const std::string bundle =
        makeBundle(applications.path(), "Host", {{"CFBundleIdentifier", "com.example.host"}});
    std::filesystem::copy_file("/bin/sleep", bundle + "/Contents/MacOS/HelperTool");
    pid_t tool = ::fork();
    if (tool == 0) {
        const std::string path = bundle + "/Contents/MacOS/HelperTool";
        ::execl(path.c_str(), path.c_str(), "30", nullptr);
        ::_exit(127);
    }
    reaper.add(tool);
    ASSERT_TRUE(eventually([&] {
        return std::filesystem::read_symlink("/proc/" + std::to_string(tool) + "/exe") ==
               bundle + "/Contents/MacOS/HelperTool";
    }));
    EXPECT_TRUE(workspace.runningApplicationsWithBundleIdentifier("com.example.host").empty());
    // It is still a process with a name.
    auto process = workspace.runningApplicationWithProcessIdentifier(tool);
    ASSERT_TRUE(process);
    EXPECT_FALSE(process->bundleIdentifier);
    EXPECT_EQ(process->localizedName, "HelperTool");
    ::kill(tool, SIGKILL);
    ::waitpid(tool, nullptr, 0);
    EXPECT_FALSE(workspace.runningApplicationWithProcessIdentifier(tool));
}

TEST_F(LinuxWorkspaceTest, ApplicationsOfAnotherSessionBusAreNotCountedAsRunning) {
    environment.set("DBUS_SESSION_BUS_ADDRESS", "unix:path=/run/pendra-test/ours");
    const std::string bundle =
        makeBundle(applications.path(), "Twin", {{"CFBundleIdentifier", "com.example.twin"}});
    const std::string program = bundle + "/Contents/MacOS/Twin";
    pid_t other = ::fork();
    if (other == 0) {
        const char* environment[] = {"DBUS_SESSION_BUS_ADDRESS=unix:path=/run/pendra-test/theirs",
                                     nullptr};
        ::execle(program.c_str(), program.c_str(), "30", nullptr, environment);
        ::_exit(127);
    }
    reaper.add(other);
    ASSERT_TRUE(eventually([&] {
        return std::filesystem::read_symlink("/proc/" + std::to_string(other) + "/exe") == program;
    }));
    EXPECT_TRUE(workspace.runningApplicationsWithBundleIdentifier("com.example.twin").empty());
    // Asked for by its process, it is still an application.
    auto asked = workspace.runningApplicationWithProcessIdentifier(other);
    ASSERT_TRUE(asked);
    EXPECT_EQ(asked->bundleIdentifier, "com.example.twin");

    // Started in this session, a copy counts.
    auto ours = launch(bundle, platform::NSWorkspaceLaunchNewInstance);
    ASSERT_TRUE(ours);
    auto found = workspace.runningApplicationsWithBundleIdentifier("com.example.twin");
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].processIdentifier, ours->processIdentifier);
}

TEST_F(LinuxWorkspaceTest, AnotherAccountsProcessIsNoRunningApplicationOfThisSession) {
    if (::getuid() != 0) {
        GTEST_SKIP() << "starting a process under another account needs root";
    }
    const std::string bundle =
        makeBundle(applications.path(), "Other", {{"CFBundleIdentifier", "com.example.other"}});
    for (std::filesystem::path folder = bundle + "/Contents/MacOS"; folder != "/";
         folder = folder.parent_path()) {
        ::chmod(folder.c_str(), 0755);
    }
    pid_t other = ::fork();
    if (other == 0) {
        const std::string path = bundle + "/Contents/MacOS/Other";
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) {
            ::_exit(126);
        }
        ::execl(path.c_str(), path.c_str(), "30", nullptr);
        ::_exit(127);
    }
    reaper.add(other);
    ASSERT_TRUE(eventually([&] {
        std::error_code unreadable;
        return std::filesystem::read_symlink("/proc/" + std::to_string(other) + "/exe",
                                             unreadable) == bundle + "/Contents/MacOS/Other";
    }));
    EXPECT_TRUE(workspace.runningApplicationsWithBundleIdentifier("com.example.other").empty());
    ::kill(other, SIGKILL);
    ::waitpid(other, nullptr, 0);
}

TEST_F(LinuxWorkspaceTest, LaunchFailuresAreReportedWithThePath) {
    platform::Error error;
    EXPECT_FALSE(workspace.launchApplicationAtURL(URL::fileURLWithPath(applications / "None.app"),
                                                  0, {}, &error));
    EXPECT_EQ(error, platform::Error::posix(ENOENT, applications / "None.app"));

    std::filesystem::create_directories(applications / "NoInfo.app/Contents");
    EXPECT_FALSE(workspace.launchApplicationAtURL(URL::fileURLWithPath(applications / "NoInfo.app"),
                                                  0, {}, &error));
    EXPECT_EQ(error.code, ENOEXEC);

    const std::string bundle = makeBundle(applications.path(), "Locked", {});
    ::chmod((bundle + "/Contents/MacOS/Locked").c_str(), 0644);
    if (::geteuid() != 0) {  // the superuser may run anything
        EXPECT_FALSE(workspace.launchApplicationAtURL(URL::fileURLWithPath(bundle), 0, {}, &error));
        EXPECT_EQ(error, platform::Error::posix(EACCES, bundle + "/Contents/MacOS/Locked"));
    }
    EXPECT_FALSE(workspace.launchApplicationAtURL(*URL::URLWithString("https://example.com/"), 0,
                                                  {}, nullptr));
}

TEST_F(LinuxWorkspaceTest, InstalledApplicationsAreFoundInTheApplicationFolders) {
    std::filesystem::create_directories(home / "Applications/Utilities");
    const std::string inHome =
        makeBundle(home / "Applications", "Main", {{"CFBundleIdentifier", "com.orvano.PendraMac"}});
    const std::string installed = makeBundle(applications.path(), "Main Copy",
                                             {{"CFBundleIdentifier", "com.orvano.PendraMac"}});
    const std::string grouped = makeBundle(home / "Applications/Utilities", "Grouped",
                                           {{"CFBundleIdentifier", "com.example.grouped"}});
    const std::string extra = makeBundle(
        applications.path(), "Dev", {{"CFBundleIdentifier", "com.orvano.PendraMac.development"}});

    // A bundle in the folder the user writes to does not outrank the installed one.
    EXPECT_EQ(workspace.absolutePathForAppBundleWithIdentifier("com.orvano.PendraMac"), installed);
    EXPECT_EQ(workspace.absolutePathForAppBundleWithIdentifier("com.orvano.PendraMac.development"),
              extra);
    EXPECT_EQ(workspace.absolutePathForAppBundleWithIdentifier("com.example.grouped"), grouped);
    EXPECT_EQ(workspace.URLForApplicationWithBundleIdentifier("com.orvano.PendraMac.development"),
              URL::fileURLWithPath(extra));
    EXPECT_FALSE(workspace.absolutePathForAppBundleWithIdentifier("com.orvano.pendramac"));
    EXPECT_FALSE(workspace.URLForApplicationWithBundleIdentifier("com.example.none"));
    // Every bundle is listed, in search order: the extra folders' before the home folder's.
    const auto urls = workspace.installedApplicationURLs();
    const auto groupedAt = std::find(urls.begin(), urls.end(), URL::fileURLWithPath(grouped));
    const auto extraAt = std::find(urls.begin(), urls.end(), URL::fileURLWithPath(extra));
    ASSERT_NE(groupedAt, urls.end());
    EXPECT_LT(extraAt, groupedAt);

    std::filesystem::remove_all(installed);
    EXPECT_EQ(workspace.absolutePathForAppBundleWithIdentifier("com.orvano.PendraMac"), inHome);
}

TEST_F(LinuxWorkspaceTest, TheFrontmostApplicationComesFromTheRecordWhileItRuns) {
    EXPECT_FALSE(workspace.frontmostApplication());

    platform::linux_platform::LinuxApplication application([](int) {});
    application.activateIgnoringOtherApps(true);
    EXPECT_EQ(readFile(runtime / "pendra/frontmost"), std::to_string(::getpid()) + "\n");
    auto frontmost = workspace.frontmostApplication();
    ASSERT_TRUE(frontmost);
    EXPECT_EQ(frontmost->processIdentifier, ::getpid());
    EXPECT_EQ(workspace.currentApplication().processIdentifier, ::getpid());
    // A display that is not there, or an empty one, is no desktop either.
    for (const char* display : {":9999", ""}) {
        environment.set("DISPLAY", display);
        EXPECT_EQ(workspace.frontmostApplication(), frontmost) << display;
    }

    pid_t child = ::fork();
    if (child == 0) {
        ::_exit(0);
    }
    ::waitpid(child, nullptr, 0);
    ASSERT_TRUE(platform::linux_platform::writeFrontmostRecord(child));
    EXPECT_FALSE(workspace.frontmostApplication());
    linux_test::writeFile(runtime / "pendra/frontmost", "garbage");
    EXPECT_FALSE(workspace.frontmostApplication());
}

TEST_F(LinuxWorkspaceTest, TerminatingTheCurrentApplicationIsTheQuitRequest) {
    EXPECT_TRUE(workspace.terminateApplication(workspace.currentApplication()));
    EXPECT_EQ(quitRequests, 1);
    EXPECT_FALSE(workspace.terminateApplication(platform::RunningApplication{}));
}

}  // namespace
