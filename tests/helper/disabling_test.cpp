#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

#include "install_test_support.h"

namespace pendra::testing {
namespace {

using Item = platform::fake::FakeLaunchServices::Item;

constexpr const char* kRemoveToolPath =
    "/Applications/PendraMacSandboxHelper.app/Contents/MacOS/PendraSandboxHelperRemoveTool";

// Starts tasks through the fake, noting what the other fakes had seen by then, so that the
// order of the steps of disabling can be checked.
class OrderRecordingTasks : public platform::TaskService {
  public:
    explicit OrderRecordingTasks(platform::fake::FakePlatform& fake) : fake_(fake) {}

    std::optional<platform::Task> launchedTaskWithLaunchPath(
        const std::string& path, const std::vector<std::string>& arguments) override {
        removedBeforeLaunch = fake_.launchServices.removed.size();
        quitRequestsBeforeLaunch = fake_.application.terminateRequests;
        logBeforeLaunch = fake_.log.unified();
        return fake_.tasks.launchedTaskWithLaunchPath(path, arguments);
    }
    int waitUntilExit(const platform::Task& task) override {
        return fake_.tasks.waitUntilExit(task);
    }

    std::size_t removedBeforeLaunch = 0;
    int quitRequestsBeforeLaunch = -1;
    std::vector<std::string> logBeforeLaunch;

  private:
    platform::fake::FakePlatform& fake_;
};

class DisablingTest : public HelperFixture {
  protected:
    void SetUp() override {
        HelperFixture::SetUp();
        fake.bundles.main->auxiliaryExecutables[kRemoveToolName] = kRemoveToolPath;
        fake.bundles.addBundle(
            makeBundle("/Users/user/Desktop/Helper Copy.app", kHelperIdentifier));
        fake.launchServices.items.push_back(
            Item{1, "Own", platform::URL::fileURLWithPath(kHelperPath)});
        fake.launchServices.items.push_back(
            Item{2, "Copy", platform::URL::fileURLWithPath("/Users/user/Desktop/Helper Copy.app")});
    }
};

TEST_F(DisablingTest, RemovesLoginItemsThenStartsTheRemoveToolThenAsksToQuit) {
    OrderRecordingTasks tasks(fake);
    platform::Services services = fake.services();
    services.tasks = &tasks;
    platform::ScopedInstall recording(services);

    helper->disable();

    EXPECT_EQ(tasks.logBeforeLaunch, (std::vector<std::string>{"Disabling the helper..."}));
    EXPECT_EQ(tasks.removedBeforeLaunch, 2u);
    EXPECT_EQ(tasks.quitRequestsBeforeLaunch, 0);

    ASSERT_EQ(fake.tasks.launched.size(), 1u);
    EXPECT_EQ(fake.tasks.launched[0].path, kRemoveToolPath);
    EXPECT_EQ(fake.tasks.launched[0].arguments, (std::vector<std::string>{kHelperPath, "4242"}));
    EXPECT_EQ(fake.application.terminateRequests, 1);
    EXPECT_TRUE(fake.launchServices.items.empty());
    EXPECT_EQ(fake.log.unified(), (std::vector<std::string>{"Disabling the helper..."}));
    // The quit request is only asked for: nothing ends and nothing is posted yet.
    EXPECT_TRUE(fake.notifications.posted.empty());
    EXPECT_FALSE(fake.processes.exitStatus.has_value());
}

TEST_F(DisablingTest, TheQuitRequestThenPostsTheTerminationNotificationAndEndsWithZero) {
    helper->disable();
    fake.application.setDelegate(helper.get());

    EXPECT_EQ(exitStatusOf([&] { fake.application.handleQuitRequest(); }), 0);
    EXPECT_EQ(fake.notifications.names(),
              (std::vector<std::string>{PendraMacSandboxHelperDidTerminateNotification}));
}

TEST_F(DisablingTest, ProcessIdIsPassedAsPlainDecimal) {
    fake.processes.pid = 7;

    helper->disable();

    ASSERT_EQ(fake.tasks.launched.size(), 1u);
    EXPECT_EQ(fake.tasks.launched[0].arguments, (std::vector<std::string>{kHelperPath, "7"}));
}

TEST_F(DisablingTest, WithoutTheRemoveToolTheLoginItemsStillGoAndTheHelperStillQuits) {
    fake.bundles.main->auxiliaryExecutables.clear();

    helper->disable();

    EXPECT_TRUE(fake.tasks.launched.empty());
    EXPECT_TRUE(fake.launchServices.items.empty());
    EXPECT_EQ(fake.application.terminateRequests, 1);
    EXPECT_EQ(
        fake.log.unified(),
        (std::vector<std::string>{"Disabling the helper...",
                                  "Remove tool PendraSandboxHelperRemoveTool not found in bundle "
                                  "/Applications/PendraMacSandboxHelper.app."}));
}

TEST_F(DisablingTest, ARemoveToolThatCannotBeStartedIsLoggedAndTheHelperStillQuits) {
    fake.tasks.failLaunch = true;

    helper->disable();

    EXPECT_EQ(fake.application.terminateRequests, 1);
    EXPECT_EQ(fake.log.unified(),
              (std::vector<std::string>{
                  "Disabling the helper...",
                  std::string("Could not start the remove tool at ") + kRemoveToolPath + "."}));
}

TEST_F(DisablingTest, ExistenceCheckWithoutMainApplicationDisablesAndEndsAtOnce) {
    fake.workspace.removeInstalledApplication(kPendraBundleIdentifier);

    EXPECT_EQ(exitStatusOf([&] { helper->pendraExistenceCheckTimerFired(); }), 0);

    ASSERT_EQ(fake.tasks.launched.size(), 1u);
    EXPECT_EQ(fake.tasks.launched[0].arguments, (std::vector<std::string>{kHelperPath, "4242"}));
    EXPECT_TRUE(fake.launchServices.items.empty());
    EXPECT_TRUE(fake.notifications.posted.empty());
}

}  // namespace
}  // namespace pendra::testing
