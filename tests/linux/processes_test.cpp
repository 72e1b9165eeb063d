#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <sys/xattr.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>

#include "linux_processes.h"
#include "test_support.h"

namespace {

using linux_test::eventually;
using linux_test::readFile;
using linux_test::ScopedEnvironment;
using linux_test::TemporaryFolder;
using linux_test::writeFile;
using platform::ProcessSerialNumber;
using platform::linux_platform::findProgram;
using platform::linux_platform::LinuxPathService;
using platform::linux_platform::LinuxProcessInfo;
using platform::linux_platform::LinuxProcessManager;
using platform::linux_platform::LinuxTaskService;

// A child that ends at once and stays unreaped: a zombie until the test waits for it.
pid_t startZombie() {
    pid_t child = ::fork();
    if (child == 0) {
        ::_exit(0);
    }
    return child;
}

bool isZombie(pid_t pid) {
    std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    auto close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z';
}

// Each change, whether it writes in place, replaces the file or takes its folder away, is seen
// by the very next read.
TEST(WatchedSmallFileTest, EveryChangeIsSeenByTheNextRead) {
    TemporaryFolder folder;
    const std::string inside = folder / "record";
    const std::string path = inside + "/frontmost";
    platform::linux_platform::WatchedSmallFile file(64);
    EXPECT_EQ(file.read(path), std::nullopt);  // no folder yet
    ::mkdir(inside.c_str(), 0700);
    EXPECT_EQ(file.read(path), std::nullopt);
    const std::function<void()> changes[] = {[&] { writeFile(path, "1\n"); },
                                             [&] { writeFile(path, "22\n"); },
                                             [&] {
                                                 writeFile(inside + "/next", "333\n");
                                                 std::rename((inside + "/next").c_str(),
                                                             path.c_str());
                                             },
                                             [&] { std::remove(path.c_str()); },
                                             [&] { std::filesystem::remove_all(inside); },
                                             [&] {
                                                 ::mkdir(inside.c_str(), 0700);
                                                 writeFile(path, "4444\n");
                                             },
                                             [&] { writeFile(path, "5\n"); }};
    for (std::size_t step = 0; step < std::size(changes); ++step) {
        changes[step]();
        const std::optional<std::string> expected =
            std::filesystem::exists(path) ? std::optional(readFile(path)) : std::nullopt;
        EXPECT_EQ(file.read(path), expected) << "after change " << step;
        EXPECT_EQ(file.read(path), expected) << "read again after change " << step;
    }
}

TEST(LinuxProcessManagerTest, ALiveProcessIsFoundAndAZombieOrReapedOneIsGone) {
    LinuxProcessManager processes;
    ProcessSerialNumber psn{7, 7};
    EXPECT_EQ(processes.GetProcessForPID(::getpid(), &psn), platform::noErr);
    EXPECT_EQ(psn, (ProcessSerialNumber{0, static_cast<std::uint32_t>(::getpid())}));
    EXPECT_EQ(processes.GetProcessForPID(1, nullptr), platform::noErr);  // another user's process

    pid_t zombie = startZombie();
    ASSERT_TRUE(eventually([&] { return isZombie(zombie); }));
    EXPECT_EQ(processes.GetProcessForPID(zombie, &psn), platform::procNotFound);
    ::waitpid(zombie, nullptr, 0);
    EXPECT_EQ(processes.GetProcessForPID(zombie, &psn), platform::procNotFound);
}

// Makes the next process started in this pid namespace get the id, where the system lets us
// (root may write the last id given out); false otherwise.
bool nextProcessGetsId(pid_t pid) {
    std::FILE* last = std::fopen("/proc/sys/kernel/ns_last_pid", "w");
    if (last == nullptr) {
        return false;
    }
    const bool written = std::fprintf(last, "%d", pid - 1) > 0;
    return std::fclose(last) == 0 && written;
}

TEST(LinuxProcessManagerTest, APinnedProcessIsGoneOnceItEndsEvenWhenItsIdIsGivenAgain) {
    LinuxProcessManager processes;
    const pid_t first = startZombie();
    ::waitpid(first, nullptr, 0);
    // Pinned after its end: gone for good.
    EXPECT_TRUE(processes.pinProcessForPID(first));

    pid_t sleeper = -1;
    for (int attempt = 0; attempt < 20 && sleeper != first; ++attempt) {
        if (sleeper > 0) {
            ::kill(sleeper, SIGKILL);
            ::waitpid(sleeper, nullptr, 0);
        }
        if (!nextProcessGetsId(first)) {
            break;
        }
        sleeper = ::fork();
        if (sleeper == 0) {
            ::pause();
            ::_exit(0);
        }
    }
    if (sleeper != first) {
        if (sleeper > 0) {
            ::kill(sleeper, SIGKILL);
            ::waitpid(sleeper, nullptr, 0);
        }
        GTEST_SKIP() << "cannot give a process id out again here";
    }
    // Another process has the id now; the pinned one is still gone.
    EXPECT_EQ(processes.GetProcessForPID(first, nullptr), platform::procNotFound);
    LinuxProcessManager unpinned;
    EXPECT_EQ(unpinned.GetProcessForPID(first, nullptr), platform::noErr);

    // Pinned while alive: found until it ends, a zombie counting as ended.
    EXPECT_TRUE(unpinned.pinProcessForPID(sleeper));
    EXPECT_EQ(unpinned.GetProcessForPID(sleeper, nullptr), platform::noErr);
    ::kill(sleeper, SIGKILL);
    EXPECT_TRUE(eventually(
        [&] { return unpinned.GetProcessForPID(sleeper, nullptr) == platform::procNotFound; }));
    ::waitpid(sleeper, nullptr, 0);
}

TEST(LinuxProcessManagerTest, ProcessIdsOfZeroOrBelowAreNeverGone) {
    LinuxProcessManager processes;
    EXPECT_EQ(processes.GetProcessForPID(0, nullptr), platform::noErr);
    EXPECT_EQ(processes.GetProcessForPID(-1, nullptr), platform::noErr);
    EXPECT_EQ(processes.GetProcessForPID(-12345, nullptr), platform::noErr);
}

TEST(LinuxProcessManagerTest, SerialNumbersLeadBackToTheirProcess) {
    LinuxProcessManager processes;
    ProcessSerialNumber psn;
    ASSERT_EQ(processes.GetProcessForPID(::getppid(), &psn), platform::noErr);
    platform::pid_t pid = 0;
    EXPECT_EQ(processes.GetProcessPID(psn, &pid), platform::noErr);
    EXPECT_EQ(pid, ::getppid());

    pid_t zombie = startZombie();
    ::waitpid(zombie, nullptr, 0);
    pid = 0;
    EXPECT_EQ(processes.GetProcessPID({0, static_cast<std::uint32_t>(zombie)}, &pid),
              platform::procNotFound);
    EXPECT_EQ(pid, 0);
    EXPECT_EQ(processes.GetProcessPID({1, static_cast<std::uint32_t>(::getpid())}, &pid),
              platform::procNotFound);
    EXPECT_EQ(processes.GetProcessPID({0, 0}, &pid), platform::procNotFound);

    EXPECT_EQ(processes.getpid(), ::getpid());
    EXPECT_EQ(processes.getppid(), ::getppid());
}

TEST(LinuxProcessManagerTest, TerminatingEndsTheProcessWithTheStatusAndFlushesOutput) {
    TemporaryFolder folder;
    const std::string output = folder / "output";
    pid_t child = ::fork();
    if (child == 0) {
        std::freopen(output.c_str(), "w", stdout);
        std::fputs("buffered line", stdout);
        LinuxProcessManager processes;
        processes.terminateProcess(42);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 42);
    EXPECT_EQ(readFile(output), "buffered line");
}

TEST(LinuxTaskServiceTest, StartsProgramsWithTheirArgumentsAndAnswersTheExitStatus) {
    TemporaryFolder folder;
    LinuxTaskService tasks;
    auto task = tasks.launchedTaskWithLaunchPath(
        "/bin/sh", {"-c", "printf '%s|' \"$@\" > \"$0\"; exit 7", folder / "args", "two words", "",
                    "caf\xc3\xa9"});
    ASSERT_TRUE(task);
    EXPECT_GT(task->processIdentifier, 0);
    EXPECT_EQ(tasks.waitUntilExit(*task), 7);
    EXPECT_EQ(readFile(folder / "args"), "two words||caf\xc3\xa9|");

    auto killed = tasks.launchedTaskWithLaunchPath("/bin/sh", {"-c", "kill -TERM $$"});
    ASSERT_TRUE(killed);
    EXPECT_EQ(tasks.waitUntilExit(*killed), SIGTERM);
}

TEST(LinuxTaskServiceTest, AProgramThatCannotStartGivesNoTask) {
    TemporaryFolder folder;
    LinuxTaskService tasks;
    EXPECT_FALSE(tasks.launchedTaskWithLaunchPath(folder / "no such program", {}));
    writeFile(folder / "not executable", "#!/bin/sh\n");
    ::chmod((folder / "not executable").c_str(), 0644);
    EXPECT_FALSE(tasks.launchedTaskWithLaunchPath(folder / "not executable", {}));
}

class QuarantineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        writeFile(folder / "probe", "");
        if (::setxattr((folder / "probe").c_str(), kAttribute, "1", 1, 0) != 0) {
            GTEST_SKIP() << "the temporary folder's file system has no user attributes";
        }
    }
    void quarantine(const std::string& path) {
        ASSERT_EQ(::setxattr(path.c_str(), kAttribute, "0081;1;x;", 9, 0), 0) << path;
    }
    static bool quarantined(const std::string& path) {
        return ::lgetxattr(path.c_str(), kAttribute, nullptr, 0) >= 0;
    }

    static constexpr const char* kAttribute = "user.com.apple.quarantine";
    TemporaryFolder folder;
    LinuxTaskService tasks;
};

TEST_F(QuarantineTest, TheQuarantineProgramClearsTheTreeWithoutFollowingLinks) {
    TemporaryFolder outside;
    writeFile(outside / "elsewhere", "");
    quarantine(outside / "elsewhere");
    quarantine(outside.path());
    std::filesystem::create_directories(folder / "App.app/Contents/MacOS");
    writeFile(folder / "App.app/Contents/MacOS/App", "");
    writeFile(folder / "App.app/Contents/Info.plist", "");
    ::setxattr((folder / "App.app/Contents/Info.plist").c_str(), "user.other", "keep", 4, 0);
    ASSERT_EQ(::symlink(outside.path().c_str(), (folder / "App.app/Contents/folder link").c_str()),
              0);
    ASSERT_EQ(::symlink((outside / "elsewhere").c_str(), (folder / "App.app/file link").c_str()),
              0);
    for (auto item : {"App.app", "App.app/Contents", "App.app/Contents/MacOS",
                      "App.app/Contents/MacOS/App", "App.app/Contents/Info.plist"}) {
        quarantine(folder / item);
    }

    auto task = tasks.launchedTaskWithLaunchPath(
        "/usr/bin/xattr", {"-rd", "com.apple.quarantine", folder / "App.app"});
    ASSERT_TRUE(task);
    EXPECT_EQ(tasks.waitUntilExit(*task), 0);
    for (auto item : {"App.app", "App.app/Contents", "App.app/Contents/MacOS",
                      "App.app/Contents/MacOS/App", "App.app/Contents/Info.plist"}) {
        EXPECT_FALSE(quarantined(folder / item)) << item;
    }
    EXPECT_TRUE(quarantined(outside / "elsewhere"));
    EXPECT_TRUE(quarantined(outside.path()));
    char other[8] = {};
    EXPECT_EQ(::getxattr((folder / "App.app/Contents/Info.plist").c_str(), "user.other", other,
                         sizeof other),
              4);
}

TEST_F(QuarantineTest, ItemsWithoutTheAttributeAreFineAndAMissingPathFails) {
    writeFile(folder / "plain", "");
    auto clean = tasks.launchedTaskWithLaunchPath(
        "/usr/bin/xattr", {"-rd", "com.apple.quarantine", folder / "plain"});
    ASSERT_TRUE(clean);
    EXPECT_EQ(tasks.waitUntilExit(*clean), 0);

    auto missing = tasks.launchedTaskWithLaunchPath(
        "/usr/bin/xattr", {"-rd", "com.apple.quarantine", folder / "missing"});
    ASSERT_TRUE(missing);
    EXPECT_EQ(tasks.waitUntilExit(*missing), 1);
}

TEST_F(QuarantineTest, OtherArgumentsAreNotTakenForTheQuarantineProgram) {
    quarantine(folder / "probe");
    // Another attribute name is not ours to handle: the program is started for real, and
    // this system has none at that path.
    auto task = tasks.launchedTaskWithLaunchPath("/usr/bin/xattr",
                                                 {"-rd", "com.example.other", folder / "probe"});
    if (task) {
        tasks.waitUntilExit(*task);
    }
    EXPECT_TRUE(quarantined(folder / "probe"));
}

TEST(FindProgramTest, OnlyExecutableFilesInAbsoluteFoldersOfThePathCount) {
    TemporaryFolder folder;
    for (const char* inner : {"first", "second", "relative", "first/folder"}) {
        std::filesystem::create_directories(folder / inner);
    }
    const auto program = [&](const std::string& path, mode_t mode) {
        writeFile(folder / path, "#!/bin/sh\n");
        ::chmod((folder / path).c_str(), mode);
    };
    program("first/tool", 0644);  // not executable: the search goes on
    program("second/tool", 0755);
    program("second/folder", 0755);  // the folder of that name before it is no program
    program("relative/near", 0755);  // reachable only from the current folder
    program("here", 0755);

    // Empty and relative entries would make the current folder decide.
    ScopedEnvironment environment;
    environment.set("PATH", ":relative:" + folder / "first" + ":" + folder / "second");
    const auto previousFolder = std::filesystem::current_path();
    std::filesystem::current_path(folder.path());
    struct Case {
        std::string program;
        std::optional<std::string> found;
    };
    const Case cases[] = {
        {"tool", folder / "second/tool"},
        {"folder", folder / "second/folder"},
        {"near", std::nullopt},
        {"here", std::nullopt},
        {folder / "second/tool", folder / "second/tool"},
        {folder / "first/tool", std::nullopt},
        {folder / "first/folder", std::nullopt},
        {"second/tool", std::nullopt},
        {"", std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(findProgram(c.program), c.found) << c.program;
    }
    std::filesystem::current_path(previousFolder);

    // Without PATH the usual folders are searched.
    environment.set("PATH", std::nullopt);
    const auto shell = findProgram("sh");
    ASSERT_TRUE(shell);
    EXPECT_TRUE(shell->ends_with("/bin/sh")) << *shell;
}

TEST(LinuxProcessInfoTest, TheEmulatedVersionIsFourteen) {
    LinuxProcessInfo info;
    EXPECT_TRUE(info.isOperatingSystemAtLeastVersion({10, 13, 0}));
    EXPECT_TRUE(info.isOperatingSystemAtLeastVersion({13, 99, 99}));
    EXPECT_TRUE(info.isOperatingSystemAtLeastVersion({14, 0, 0}));
    EXPECT_FALSE(info.isOperatingSystemAtLeastVersion({14, 0, 1}));
    EXPECT_FALSE(info.isOperatingSystemAtLeastVersion({14, 1, 0}));
    EXPECT_FALSE(info.isOperatingSystemAtLeastVersion({15, 0, 0}));
}

TEST(LinuxProcessInfoTest, SystemValuesFollowTheSizeThenFillContract) {
    LinuxProcessInfo info;
    utsname system{};
    ::uname(&system);
    std::size_t size = 0;
    ASSERT_EQ(info.sysctlbyname("hw.machine", nullptr, &size), 0);
    EXPECT_EQ(size, std::strlen(system.machine) + 1);
    std::string buffer(size, 'x');
    EXPECT_EQ(info.sysctlbyname("hw.machine", buffer.data(), &size), 0);
    EXPECT_EQ(std::string(buffer.c_str()), system.machine);
    EXPECT_EQ(buffer.back(), '\0');

    std::size_t tooSmall = 1;
    char one = 'x';
    EXPECT_EQ(info.sysctlbyname("hw.machine", &one, &tooSmall), -1);
    EXPECT_EQ(info.sysctlbyname("kern.nothing", nullptr, &size), -1);

    std::string model = readFile("/sys/class/dmi/id/product_name");
    while (!model.empty() && (model.back() == '\n' || model.back() == ' ')) {
        model.pop_back();
    }
    size = 0;
    if (model.empty()) {
        EXPECT_EQ(info.sysctlbyname("hw.model", nullptr, &size), -1);
    } else {
        ASSERT_EQ(info.sysctlbyname("hw.model", nullptr, &size), 0);
        std::string value(size, '\0');
        ASSERT_EQ(info.sysctlbyname("hw.model", value.data(), &size), 0);
        EXPECT_EQ(std::string(value.c_str()), model);
    }
}

TEST(LinuxPathServiceTest, ApplicationSupportFollowsTheDataHome) {
    ScopedEnvironment environment;
    LinuxPathService paths;
    environment.set("HOME", "/home/someone");
    environment.set("XDG_DATA_HOME", "/data/home/");
    EXPECT_EQ(paths.NSSearchPathForDirectoriesInDomains(platform::NSApplicationSupportDirectory,
                                                        platform::NSUserDomainMask, true),
              std::vector<std::string>{"/data/home"});

    environment.set("XDG_DATA_HOME", std::nullopt);
    EXPECT_EQ(paths.NSSearchPathForDirectoriesInDomains(platform::NSApplicationSupportDirectory,
                                                        platform::NSUserDomainMask, true),
              std::vector<std::string>{"/home/someone/.local/share"});
    EXPECT_EQ(paths.NSSearchPathForDirectoriesInDomains(platform::NSApplicationSupportDirectory,
                                                        platform::NSUserDomainMask, false),
              std::vector<std::string>{"~/.local/share"});

    environment.set("XDG_DATA_HOME", "relative/is/ignored");
    EXPECT_EQ(paths.NSSearchPathForDirectoriesInDomains(platform::NSApplicationSupportDirectory,
                                                        platform::NSUserDomainMask, true),
              std::vector<std::string>{"/home/someone/.local/share"});
}

TEST(LinuxPathServiceTest, TheTemporaryFolderIsTheUsersOwnAndEndsWithASeparator) {
    TemporaryFolder runtime;
    ScopedEnvironment environment;
    LinuxPathService paths;
    environment.set("TMPDIR", "/var/tmp/mine");
    EXPECT_EQ(paths.NSTemporaryDirectory(), "/var/tmp/mine/");
    environment.set("TMPDIR", "/var/tmp/mine/");
    EXPECT_EQ(paths.NSTemporaryDirectory(), "/var/tmp/mine/");

    // Without TMPDIR: the session's private runtime folder, never the shared /tmp itself.
    ::chmod(runtime.path().c_str(), 0700);
    environment.set("TMPDIR", std::nullopt);
    environment.set("XDG_RUNTIME_DIR", runtime.path());
    EXPECT_EQ(paths.NSTemporaryDirectory(), runtime.path() + "/");
    ::chmod(runtime.path().c_str(), 0755);
    environment.set("XDG_RUNTIME_DIR", std::nullopt);

    // A folder in /tmp that belongs to this account alone. Where another account holds its
    // usual name (possible to set up as root), a folder of this process's own is taken.
    const std::string usual = "/tmp/pendra-" + std::to_string(::geteuid());
    ::rmdir(usual.c_str());  // an empty one left by an earlier run
    const bool heldByAnother = ::geteuid() == 0 && ::mkdir(usual.c_str(), 0755) == 0 &&
                               ::chown(usual.c_str(), 65534, 65534) == 0;
    const std::string folder = paths.NSTemporaryDirectory();
    struct stat status {};
    ASSERT_EQ(::lstat(folder.c_str(), &status), 0) << folder;
    EXPECT_TRUE(S_ISDIR(status.st_mode));
    EXPECT_EQ(status.st_uid, ::geteuid());
    EXPECT_EQ(status.st_mode & 077, 0u) << folder;
    EXPECT_NE(folder, "/tmp/");
    EXPECT_EQ(folder.back(), '/');
    if (heldByAnother) {
        EXPECT_NE(folder, usual + "/");
        ::rmdir(usual.c_str());
        ::rmdir(folder.c_str());
    }
}

}  // namespace
