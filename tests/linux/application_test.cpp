#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>

#include "linux_application.h"
#include "linux_processes.h"
#include "test_support.h"

namespace {

using linux_test::appendFile;
using linux_test::readFile;
using linux_test::TemporaryFolder;
using linux_test::waitForExitOrKill;
using platform::linux_platform::LinuxApplication;
using Clock = std::chrono::steady_clock;

class RecordingDelegate : public platform::ApplicationDelegate {
  public:
    explicit RecordingDelegate(std::string path) : path_(std::move(path)) {}
    void applicationDidFinishLaunching() override { appendFile(path_, "did-finish-launching\n"); }
    void applicationWillTerminate() override { appendFile(path_, "will-terminate\n"); }

  private:
    std::string path_;
};

TEST(LinuxApplicationTest, RepeatingTimersFireEveryIntervalUntilInvalidated) {
    LinuxApplication application([](int) {});
    const auto scheduled = Clock::now();
    std::vector<Clock::time_point> firings;
    platform::TimerID timer = 0;
    timer = application.scheduledTimerWithTimeInterval(0.02, true, [&] {
        firings.push_back(Clock::now());
        if (firings.size() == 3) {
            application.invalidateTimer(timer);  // from inside its own action
        }
    });
    ASSERT_NE(timer, 0u);
    EXPECT_TRUE(application.runUntil([&] { return firings.size() >= 3; }, 5));
    application.runUntil([] { return false; }, 0.1);
    ASSERT_EQ(firings.size(), 3u);
    // The first firing comes one interval after scheduling, not at once.
    EXPECT_GE(firings[0] - scheduled, std::chrono::milliseconds(20));
    EXPECT_GE(firings[1] - firings[0], std::chrono::milliseconds(15));
}

TEST(LinuxApplicationTest, DelayedPerformsRunOnceInTheOrderOfTheirTimes) {
    LinuxApplication application([](int) {});
    std::string order;
    application.performAfterDelay(0.06, [&] { order += "c"; });
    application.performAfterDelay(0.02, [&] { order += "b"; });
    application.performAfterDelay(0, [&] { order += "a"; });
    platform::TimerID cancelled =
        application.scheduledTimerWithTimeInterval(0.01, false, [&] { order += "x"; });
    application.invalidateTimer(cancelled);
    EXPECT_TRUE(application.runUntil([&] { return order.size() >= 3; }, 5));
    application.runUntil([] { return false; }, 0.1);
    EXPECT_EQ(order, "abc");
}

TEST(LinuxApplicationTest, RunFinishesLaunchingOnceAndStopsWhenAsked) {
    TemporaryFolder folder;
    LinuxApplication application([](int) {});
    RecordingDelegate delegate(folder / "events");
    application.setDelegate(&delegate);
    EXPECT_EQ(application.delegate(), &delegate);
    int ticks = 0;
    application.scheduledTimerWithTimeInterval(0.01, true, [&] {
        if (++ticks % 2 == 0) {
            application.stop();
        }
    });
    application.run();
    EXPECT_EQ(ticks, 2);
    application.run();
    EXPECT_EQ(ticks, 4);
    EXPECT_EQ(readFile(folder / "events"), "did-finish-launching\n");
}

// Runs an application in a child process; `start` runs when it has finished launching.
pid_t runApplicationInChild(const std::string& events,
                            std::function<void(LinuxApplication&)> start) {
    pid_t child = ::fork();
    if (child == 0) {
        platform::linux_platform::LinuxProcessManager processes;
        LinuxApplication application([&](int status) { processes.terminateProcess(status); });
        RecordingDelegate delegate(events);
        application.setDelegate(&delegate);
        application.performAfterDelay(0, [&] { start(application); });
        application.performAfterDelay(10, [] { ::_exit(99); });  // never hang a test
        application.run();
        ::_exit(98);
    }
    return child;
}

TEST(LinuxApplicationTest, TheQuitRequestReturnsThenRunsWillTerminateAndExitsWithZero) {
    TemporaryFolder folder;
    pid_t child = runApplicationInChild(folder / "events", [&](LinuxApplication& application) {
        application.terminate();
        application.terminate();  // asking twice quits once
        appendFile(folder / "events", "returned\n");
    });
    EXPECT_EQ(waitForExitOrKill(child, std::chrono::seconds(10)), 0);
    EXPECT_EQ(readFile(folder / "events"), "did-finish-launching\nreturned\nwill-terminate\n");
}

TEST(LinuxApplicationTest, ATerminationSignalIsAnOrdinaryQuit) {
    TemporaryFolder folder;
    pid_t child = runApplicationInChild(
        folder / "events", [&](LinuxApplication&) { appendFile(folder / "events", "running\n"); });
    ASSERT_TRUE(linux_test::eventually(
        [&] { return readFile(folder / "events").find("running") != std::string::npos; }));
    ::kill(child, SIGTERM);
    EXPECT_EQ(waitForExitOrKill(child, std::chrono::seconds(10)), 0);
    EXPECT_EQ(readFile(folder / "events"), "did-finish-launching\nrunning\nwill-terminate\n");
}

TEST(LinuxApplicationTest, TasksOfARunningApplicationCanStillBeTerminated) {
    // The loop blocks the termination signals for itself; its tasks must not inherit that.
    TemporaryFolder folder;
    pid_t child = runApplicationInChild(folder / "events", [&](LinuxApplication&) {
        platform::linux_platform::LinuxTaskService tasks;
        auto task = tasks.launchedTaskWithLaunchPath("/bin/sleep", {"30"});
        if (!task) {
            ::_exit(3);
        }
        ::kill(task->processIdentifier, SIGTERM);
        auto status = waitForExitOrKill(task->processIdentifier, std::chrono::seconds(3));
        appendFile(folder / "events",
                   status == 128 + SIGTERM ? "task ended\n" : "task ignored SIGTERM\n");
        ::_exit(0);
    });
    ASSERT_TRUE(waitForExitOrKill(child, std::chrono::seconds(10)));
    EXPECT_EQ(readFile(folder / "events"), "did-finish-launching\ntask ended\n");
}

}  // namespace

namespace {

TEST(LinuxApplicationTest, TheQuitRequestIsHandledOnceFromTheLoop) {
    TemporaryFolder folder;
    std::vector<int> ends;
    LinuxApplication application([&](int status) { ends.push_back(status); });
    RecordingDelegate delegate(folder / "events");
    application.setDelegate(&delegate);
    application.terminate();
    EXPECT_TRUE(ends.empty());  // nothing before the loop runs
    application.runUntil([&] { return !ends.empty(); }, 5);
    application.runUntil([] { return false; }, 0.1);
    EXPECT_EQ(ends, std::vector<int>{0});
    EXPECT_EQ(readFile(folder / "events"), "will-terminate\n");
}

}  // namespace
