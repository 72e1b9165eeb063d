#include <gtest/gtest.h>
#include <signal.h>
#include <systemd/sd-bus.h>

#include <cstdlib>

#include "linux_application.h"
#include "linux_bus.h"
#include "test_support.h"
#include "testing/private_bus.h"

namespace {

using platform::NotificationUserInfo;
using platform::linux_platform::DistributedNotificationObservers;
using platform::linux_platform::LinuxApplication;
using platform::linux_platform::LinuxDistributedNotificationCenter;
using platform::linux_platform::SessionBus;

struct Seen {
    std::string name;
    std::optional<std::string> object;
    NotificationUserInfo userInfo;
};

// Observers and a poster on one private bus, each with its own connection.
class NotificationObserversTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!privateBus_.started()) {
            GTEST_SKIP() << privateBus_.error();
        }
        environment_.set("DBUS_SESSION_BUS_ADDRESS", privateBus_.address());
    }

    // Runs the observing loop until `count` notifications have come, bounded.
    bool receive(std::size_t count) {
        return application_.runUntil([&] { return seen_.size() >= count; }, 5);
    }

    test_support::PrivateBus privateBus_;
    linux_test::ScopedEnvironment environment_;
    LinuxApplication application_{[](int) {}};
    SessionBus bus_{application_, std::nullopt};
    DistributedNotificationObservers observers_{bus_};
    std::vector<Seen> seen_;
    LinuxApplication posterApplication_{[](int) {}};
    SessionBus posterBus_{posterApplication_, std::string("com.example.Poster")};
    LinuxDistributedNotificationCenter center_{posterBus_};
};

TEST_F(NotificationObserversTest, EveryObserverGetsNameObjectAndUserInfoInPostingOrder) {
    int secondCalls = 0;
    ASSERT_TRUE(
        observers_.add([this](const std::string& name, const std::optional<std::string>& object,
                              const NotificationUserInfo& userInfo) {
            seen_.push_back({name, object, userInfo});
        }));
    ASSERT_TRUE(observers_.add([&secondCalls](const std::string&, const std::optional<std::string>&,
                                              const NotificationUserInfo&) { ++secondCalls; }));

    center_.postNotificationName("PendraMacSandboxHelperDidLaunchNotification", std::nullopt);
    center_.postNotificationName("PendraMacSandboxHelperDidFailDueToMissingPermissionsNotification",
                                 std::string("object"), {{"ApplicationName", "Sample Document"}});

    ASSERT_TRUE(receive(2));
    EXPECT_EQ(seen_[0].name, "PendraMacSandboxHelperDidLaunchNotification");
    EXPECT_FALSE(seen_[0].object);
    EXPECT_TRUE(seen_[0].userInfo.empty());
    EXPECT_EQ(seen_[1].name, "PendraMacSandboxHelperDidFailDueToMissingPermissionsNotification");
    EXPECT_EQ(seen_[1].object, "object");
    EXPECT_EQ(seen_[1].userInfo, (NotificationUserInfo{{"ApplicationName", "Sample Document"}}));
    EXPECT_EQ(secondCalls, 2);
}

TEST_F(NotificationObserversTest, ASignalOfAnotherShapeIsSkippedAndLaterOnesStillArrive) {
    ASSERT_TRUE(
        observers_.add([this](const std::string& name, const std::optional<std::string>& object,
                              const NotificationUserInfo& userInfo) {
            seen_.push_back({name, object, userInfo});
        }));
    sd_bus* poster = posterBus_.connection();
    ASSERT_NE(poster, nullptr);
    // Same path, interface and member, but a number where the name belongs.
    ASSERT_GE(sd_bus_emit_signal(poster, platform::linux_platform::kNotificationObjectPath,
                                 platform::linux_platform::kNotificationInterface,
                                 platform::linux_platform::kNotificationSignal, "i", 42),
              0);
    sd_bus_flush(poster);
    center_.postNotificationName("PendraMacSandboxHelperDidTerminateNotification", std::nullopt);

    // Signals of one sender arrive in order: the bad one would have come first.
    ASSERT_TRUE(receive(1));
    ASSERT_EQ(seen_.size(), 1u);
    EXPECT_EQ(seen_[0].name, "PendraMacSandboxHelperDidTerminateNotification");
}

TEST_F(NotificationObserversTest, WithoutASessionBusNothingCanBeObserved) {
    environment_.set("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus");
    LinuxApplication application([](int) {});
    SessionBus bus(application, std::nullopt);
    DistributedNotificationObservers observers(bus);
    EXPECT_FALSE(observers.add(
        [](const std::string&, const std::optional<std::string>&, const NotificationUserInfo&) {}));
}

}  // namespace
