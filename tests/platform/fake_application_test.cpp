#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/fake/fake_platform.h"

namespace platform::fake {
namespace {

using ::testing::ElementsAre;

class RecordingDelegate : public ApplicationDelegate {
  public:
    explicit RecordingDelegate(std::vector<std::string>& events) : events_(events) {}
    void applicationDidFinishLaunching() override { events_.push_back("did finish launching"); }
    void applicationWillTerminate() override { events_.push_back("will terminate"); }

  private:
    std::vector<std::string>& events_;
};

TEST(FakeApplicationTimers, OneShotFiresOnceAndRepeatingKeepsFiring) {
    FakeApplication app;
    int oneShot = 0, repeating = 0;
    TimerID once = app.scheduledTimerWithTimeInterval(5, false, [&] { ++oneShot; });
    TimerID every = app.scheduledTimerWithTimeInterval(1, true, [&] { ++repeating; });
    EXPECT_NE(once, every);

    EXPECT_TRUE(app.fireTimer(once));
    EXPECT_FALSE(app.fireTimer(once));
    EXPECT_TRUE(app.fireTimer(every));
    EXPECT_TRUE(app.fireTimer(every));
    EXPECT_EQ(oneShot, 1);
    EXPECT_EQ(repeating, 2);
    EXPECT_THAT(app.validTimers(), ElementsAre(every));

    app.invalidateTimer(every);
    EXPECT_FALSE(app.fireTimer(every));
    EXPECT_EQ(repeating, 2);
    EXPECT_FALSE(app.fireTimer(999));
}

TEST(FakeApplicationTimers, ActionMayScheduleAndInvalidateTimers) {
    FakeApplication app;
    TimerID self = 0;
    std::vector<TimerID> scheduled;
    self = app.scheduledTimerWithTimeInterval(1, true, [&] {
        // Enough new timers to move the vector's storage while the action runs.
        for (int index = 0; index < 16; ++index) {
            scheduled.push_back(app.scheduledTimerWithTimeInterval(1, false, [] {}));
        }
        app.invalidateTimer(self);
    });
    EXPECT_TRUE(app.fireTimer(self));
    EXPECT_FALSE(app.timer(self)->valid);
    EXPECT_EQ(app.validTimers().size(), 16u);
}

TEST(FakeApplicationClock, FiresTimersAndPerformsInTimeOrder) {
    FakeApplication app;
    std::vector<std::string> fired;
    app.scheduledTimerWithTimeInterval(1.0, true, [&] { fired.push_back("tick"); });
    app.performAfterDelay(1.5, [&] { fired.push_back("perform"); });
    app.scheduledTimerWithTimeInterval(2.5, false, [&] { fired.push_back("once"); });

    // The first firing comes one interval after scheduling.
    app.advance(0.9);
    EXPECT_TRUE(fired.empty());
    app.advance(2.1);
    EXPECT_THAT(fired, ElementsAre("tick", "perform", "tick", "once", "tick"));
    EXPECT_TRUE(app.delayedPerforms.empty());
    EXPECT_DOUBLE_EQ(app.now(), 3.0);
}

TEST(FakeApplicationClock, PerformScheduledWhileAdvancingRunsWhenDue) {
    FakeApplication app;
    std::vector<double> times;
    app.performAfterDelay(1, [&] {
        times.push_back(app.now());
        app.performAfterDelay(2, [&] { times.push_back(app.now()); });
    });
    app.advance(2);
    EXPECT_THAT(times, ElementsAre(1.0));
    app.advance(1);
    EXPECT_THAT(times, ElementsAre(1.0, 3.0));
}

TEST(FakeApplicationDelayedPerforms, RunInOrderIncludingThoseScheduledWhileRunning) {
    FakeApplication app;
    std::vector<int> order;
    app.performAfterDelay(5, [&] {
        order.push_back(1);
        app.performAfterDelay(0, [&] { order.push_back(3); });
    });
    app.performAfterDelay(0, [&] { order.push_back(2); });
    app.runDelayedPerforms();
    EXPECT_THAT(order, ElementsAre(1, 2, 3));
    EXPECT_TRUE(app.delayedPerforms.empty());
    app.runDelayedPerforms();
    EXPECT_EQ(order.size(), 3u);
}

TEST(FakeApplicationQuit, WillTerminateRunsBeforeTheProcessEndsWithZero) {
    FakePlatform fake;
    std::vector<std::string> events;
    RecordingDelegate delegate(events);
    fake.application.setDelegate(&delegate);

    fake.application.run();
    EXPECT_EQ(fake.application.runCalls, 1);
    try {
        fake.application.handleQuitRequest();
        FAIL() << "the quit request returned";
    } catch (const ProcessExit& exit) {
        EXPECT_EQ(exit.status, 0);
    }
    EXPECT_THAT(events, ElementsAre("did finish launching", "will terminate"));
    EXPECT_EQ(fake.processes.exitStatus, 0);
}

TEST(FakeApplicationQuit, TerminatingTheCurrentApplicationIsAQuitRequestOnly) {
    FakePlatform fake;
    ScopedInstall installed(fake.services());

    RunningApplication other{77, std::string("com.example.other"), std::nullopt, std::nullopt};
    fake.workspace.addRunningApplication(other);
    EXPECT_TRUE(other.terminate());
    EXPECT_EQ(fake.application.terminateRequests, 0);

    EXPECT_TRUE(fake.workspace.currentApplication().terminate());
    EXPECT_EQ(fake.application.terminateRequests, 1);
    EXPECT_FALSE(fake.processes.exitStatus.has_value());
    EXPECT_THAT(fake.workspace.terminated, ElementsAre(other, fake.workspace.current));
}

TEST(FakeWorkspace, AnswersInstalledAndRunningApplicationsByIdentifier) {
    FakePlatform fake;
    fake.workspace.addInstalledApplication("com.example.App", "/Applications/App.app");
    EXPECT_EQ(fake.workspace.absolutePathForAppBundleWithIdentifier("com.example.app"),
              "/Applications/App.app");
    EXPECT_EQ(fake.workspace.URLForApplicationWithBundleIdentifier("com.example.App"),
              URL::fileURLWithPath("/Applications/App.app"));
    EXPECT_FALSE(fake.workspace.absolutePathForAppBundleWithIdentifier("com.example.none"));

    // The calling process is listed among the running applications.
    auto helpers = fake.workspace.runningApplicationsWithBundleIdentifier(kFakeHelperIdentifier);
    ASSERT_EQ(helpers.size(), 1u);
    EXPECT_EQ(helpers[0].processIdentifier, 4242);
}

TEST(FakeWorkspace, FailingLaunchIsRecordedAndReportsTheError) {
    FakePlatform fake;
    fake.workspace.launchError = Error::posix(2, "/Applications/Tool.app");
    Error error;
    auto url = URL::fileURLWithPath("/Applications/Tool.app");
    EXPECT_FALSE(
        fake.workspace.launchApplicationAtURL(url, NSWorkspaceLaunchNewInstance, {{"a"}}, &error));
    EXPECT_EQ(error, *fake.workspace.launchError);
    ASSERT_EQ(fake.workspace.launches.size(), 1u);
    EXPECT_EQ(fake.workspace.launches[0].configuration.arguments, std::vector<std::string>{"a"});

    fake.workspace.launchError.reset();
    fake.workspace.addInstalledApplication("com.example.tool", "/Applications/Tool.app");
    auto launched = fake.workspace.launchApplicationAtURL(url, 0, {}, nullptr);
    ASSERT_TRUE(launched);
    EXPECT_EQ(launched->bundleIdentifier, "com.example.tool");
    EXPECT_EQ(fake.workspace.runningApplicationWithProcessIdentifier(launched->processIdentifier),
              launched);
}

}  // namespace
}  // namespace platform::fake
