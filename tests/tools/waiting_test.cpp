// Both tools wait for a real process: nothing is touched while it lives, the work follows at
// the first check after its end (a zombie counts as ended), and a process that is already gone
// is noticed at the first check.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "platform/linux_platform.h"
#include "tests/tools/tool_test_support.h"
#include "tools/relaunch/termination_listener.h"
#include "tools/remove/termination_listener.h"

namespace {

using tools_test::exitStatusOf;
using tools_test::fireTimers;
using tools_test::itemExists;

// A child process that lives until it is let go, then ends after a short sleep.
class ChildProcess {
  public:
    ChildProcess() {
        int fds[2];
        if (pipe(fds) != 0) {
            throw std::runtime_error("no pipe");
        }
        pid_ = fork();
        if (pid_ == 0) {
            close(fds[1]);
            char byte;
            while (read(fds[0], &byte, 1) > 0) {
            }
            usleep(300 * 1000);
            _exit(0);
        }
        close(fds[0]);
        release_ = fds[1];
    }
    ~ChildProcess() {
        letGo();
        if (!reaped_) {
            waitpid(pid_, nullptr, 0);
        }
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    platform::pid_t pid() const { return pid_; }
    void letGo() {
        if (release_ >= 0) {
            close(release_);
            release_ = -1;
        }
    }
    // Ended but not yet reaped (or reaped), seen without reaping it.
    bool hasEnded() const {
        if (reaped_) {
            return true;
        }
        siginfo_t info{};
        return waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
               info.si_pid == pid_;
    }
    void reap() {
        letGo();
        waitpid(pid_, nullptr, 0);
        reaped_ = true;
    }

  private:
    pid_t pid_ = -1;
    int release_ = -1;
    bool reaped_ = false;
};

// Ticks (as the timer would, only faster) until the process ends or a bound passes; answers
// the exit status and how long after the child was let go the work came.
template <typename Check>
std::optional<int> tickUntilExit(platform::fake::FakeApplication& application, Check beforeTick) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        beforeTick();
        if (auto status = exitStatusOf([&] { fireTimers(application); })) {
            return status;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return std::nullopt;
}

class WaitingTest : public ::testing::Test {
  protected:
    WaitingTest() {
        fake.fileManagerOverride = linuxPlatform.services().fileManager;
        tools_test::makeBundle(source, "new");
        tools_test::makeBundle(target, "old");
        installed.emplace(services());
    }

    // The real process manager answers about processes; ending the process stays with the
    // fake, so that the test sees it.
    platform::Services services() {
        platform::Services result = fake.services();
        result.bundles = linuxPlatform.services().bundles;
        result.processManager = &lookup;
        return result;
    }

    class RealLookup : public platform::ProcessManager {
      public:
        RealLookup(platform::ProcessManager& real, platform::ProcessManager& fake)
            : real_(real), fake_(fake) {}
        platform::OSStatus GetProcessForPID(platform::pid_t pid,
                                            platform::ProcessSerialNumber* psn) override {
            return real_.GetProcessForPID(pid, psn);
        }
        platform::OSStatus GetProcessPID(const platform::ProcessSerialNumber& psn,
                                         platform::pid_t* pid) override {
            return real_.GetProcessPID(psn, pid);
        }
        std::optional<std::string> proc_pidpath(platform::pid_t pid) override {
            return real_.proc_pidpath(pid);
        }
        platform::pid_t getpid() override { return real_.getpid(); }
        // The test's own parent says nothing about the awaited process.
        platform::pid_t getppid() override { return fake_.getppid(); }
        [[noreturn]] void terminateProcess(int status) override {
            fake_.terminateProcess(status);
            std::abort();  // the fake ends the process by throwing
        }

      private:
        platform::ProcessManager& real_;
        platform::ProcessManager& fake_;
    };

    tools_test::TemporaryFolder folder;
    const std::string source = folder / "Neu ü.app";
    const std::string target = folder / "Pendra Sandbox Helper/Hélper.app";
    platform::linux_platform::LinuxPlatform linuxPlatform;
    platform::fake::FakePlatform fake;
    RealLookup lookup{*linuxPlatform.services().processManager, fake.processes};
    std::optional<platform::ScopedInstall> installed;
};

TEST_F(WaitingTest, RelaunchTouchesNothingWhileTheProcessLivesAndActsAfterItsEnd) {
    ChildProcess child;
    const auto oldTree = tools_test::treeAt(target);
    relaunch_tool::TerminationListener listener(source.c_str(), target.c_str(), child.pid(), "");

    for (int tick = 0; tick < 5; ++tick) {
        EXPECT_EQ(exitStatusOf([&] { fireTimers(fake.application); }), std::nullopt);
    }
    EXPECT_EQ(tools_test::treeAt(target), oldTree);
    EXPECT_TRUE(itemExists(source));
    EXPECT_THAT(fake.log.console(), ::testing::ElementsAre("Setting up termination listener..."));

    // Not reaped: the ended child lingers as a zombie, which counts as gone.
    child.letGo();
    bool endedBeforeWork = false;
    const auto status =
        tickUntilExit(fake.application, [&] { endedBeforeWork = child.hasEnded(); });
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(endedBeforeWork);
    EXPECT_FALSE(itemExists(source));
    EXPECT_NE(tools_test::treeAt(target), oldTree);
}

TEST_F(WaitingTest, RelaunchActsAtTheFirstTickForAProcessAlreadyGone) {
    ChildProcess child;
    child.reap();
    relaunch_tool::TerminationListener listener(source.c_str(), target.c_str(), child.pid(), "");
    EXPECT_TRUE(itemExists(source));
    EXPECT_EQ(exitStatusOf([&] { fireTimers(fake.application); }), 0);
    EXPECT_FALSE(itemExists(source));
}

TEST_F(WaitingTest, RemoveTouchesNothingWhileTheProcessLivesAndActsAfterItsEnd) {
    ChildProcess child;
    remove_tool::TerminationListener listener(target.c_str(), child.pid());

    for (int tick = 0; tick < 5; ++tick) {
        EXPECT_EQ(exitStatusOf([&] { fireTimers(fake.application); }), std::nullopt);
    }
    EXPECT_TRUE(itemExists(target + "/Contents/Info.plist"));
    EXPECT_THAT(fake.log.console(), ::testing::IsEmpty());

    child.reap();
    EXPECT_EQ(exitStatusOf([&] { fireTimers(fake.application); }), 0);
    EXPECT_FALSE(itemExists(target));
}

TEST_F(WaitingTest, RemoveActsAtTheFirstTickForAProcessAlreadyGone) {
    ChildProcess child;
    child.reap();
    remove_tool::TerminationListener listener(target.c_str(), child.pid());
    EXPECT_TRUE(itemExists(target));
    EXPECT_EQ(exitStatusOf([&] { fireTimers(fake.application); }), 0);
    EXPECT_FALSE(itemExists(target));
}

}  // namespace
