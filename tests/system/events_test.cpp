// Events from another process over the session bus to the running, installed helper.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "system/system_test_support.h"

namespace system_test {
namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Pair;
using ::testing::UnorderedElementsAre;

constexpr platform::AEKeyword kMajor = platform::fourCharCode("pdmj");
constexpr platform::AEKeyword kMinor = platform::fourCharCode("pdmi");

std::optional<std::int32_t> errorNumberOf(const platform::AppleEventDescriptor& reply) {
    const auto number = reply.paramDescriptorForKeyword(platform::keyErrorNumber);
    if (!number) {
        return std::nullopt;
    }
    return number->int32Value();
}

class EventsTest : public SystemTest {
  protected:
    void SetUp() override {
        SystemTest::SetUp();
        ASSERT_FALSE(HasFatalFailure());
        installMainApplication();
        copyHelperTo(installFolder);
        setBundleVersion(installedHelper, "1207");
        bus.emplace(busAddress);
        ASSERT_TRUE(bus->connected());
        helper = startHelper(installedHelper, "helper.log");
        ASSERT_TRUE(bus->waitForNotification(kDidLaunch)) << log("helper.log");
        ASSERT_TRUE(waitForHelperOnBus(*bus));
    }

    void TearDown() override {
        bus.reset();
        SystemTest::TearDown();
    }

    void expectVersionAnswer() {
        const auto reply = bus->sendEvent(helperEvent("pdqe", "pdvn"));
        ASSERT_TRUE(reply.has_value()) << log("helper.log");
        ASSERT_TRUE(reply->paramDescriptorForKeyword(kMajor).has_value());
        ASSERT_TRUE(reply->paramDescriptorForKeyword(kMinor).has_value());
        EXPECT_EQ(reply->paramDescriptorForKeyword(kMajor)->int32Value(), 12);
        EXPECT_EQ(reply->paramDescriptorForKeyword(kMinor)->int32Value(), 7);
        EXPECT_EQ(errorNumberOf(*reply), std::nullopt);
    }

    std::optional<BusClient> bus;
    pid_t helper = -1;
};

TEST_F(EventsTest, GetVersionAnswersTheBundleVersionSplitIntoMajorAndMinor) {
    expectVersionAnswer();
    EXPECT_THAT(log("helper.log"), HasSubstr("Received getVersion Apple Event."));
}

TEST_F(EventsTest, MalformedAndUnknownEventsLeaveTheHelperRunningAndAnswering) {
    const auto installedBefore = treeAt(installedHelper);

    // Bytes that are no descriptor at all: answered, not fatal.
    for (const std::vector<std::uint8_t>& bytes :
         {std::vector<std::uint8_t>{}, std::vector<std::uint8_t>{0xde, 0xad, 0xbe, 0xef},
          std::vector<std::uint8_t>(4096, 0xff)}) {
        std::string failure;
        const auto answer = bus->send(bytes, &failure);
        ASSERT_TRUE(answer.has_value()) << failure;
        const auto reply = platform::AppleEventDescriptor::unflatten(*answer);
        ASSERT_TRUE(reply.has_value());
        EXPECT_EQ(errorNumberOf(*reply), platform::errAENotAEDesc);
    }
    // A whole event cut short is no descriptor either.
    auto truncated = helperEvent("pdqe", "pdvn").flatten();
    truncated.resize(truncated.size() / 2);
    EXPECT_TRUE(bus->send(truncated).has_value());

    // Unknown class, unknown ID: not handled.
    for (const auto& event : {helperEvent("zzzz", "pdvn"), helperEvent("pdqe", "zzzz")}) {
        const auto reply = bus->sendEvent(event);
        ASSERT_TRUE(reply.has_value());
        EXPECT_EQ(errorNumberOf(*reply), platform::errAEEventNotHandled);
    }

    // An update without the path of a new bundle, and with a direct object that is no path.
    EXPECT_TRUE(sendAsMainApplication(helperEvent("pdqe", "pdup")).has_value());
    auto update = helperEvent("pdqe", "pdup");
    update.setParamDescriptor(platform::AppleEventDescriptor::descriptorWithInt32(42),
                              platform::keyDirectObject);
    EXPECT_TRUE(sendAsMainApplication(update).has_value());
    auto missingBundle = helperEvent("pdqe", "pdup");
    missingBundle.setParamDescriptor(
        platform::AppleEventDescriptor::descriptorWithString(root + "/nowhere.app"),
        platform::keyDirectObject);
    EXPECT_TRUE(sendAsMainApplication(missingBundle).has_value());
    // From any other process, updating and disabling are refused with an error; so they are
    // from a bundle with the main application's identifier in the folder the user writes to.
    installMainApplication(home + "/Applications");
    for (const auto& event : {missingBundle, helperEvent("pdqe", "pdds")}) {
        const auto refused = bus->sendEvent(event);
        ASSERT_TRUE(refused.has_value());
        EXPECT_EQ(errorNumberOf(*refused), platform::errAEPrivilegeError);
        const auto fromHome = sendAsMainApplication(event, home + "/Applications");
        ASSERT_TRUE(fromHome.has_value()) << log("helper.log");
        EXPECT_EQ(errorNumberOf(*fromHome), platform::errAEPrivilegeError);
    }

    EXPECT_TRUE(processRuns(helper));
    expectVersionAnswer();
    EXPECT_EQ(treeAt(installedHelper), installedBefore);
    EXPECT_THAT(namesIn(temporary), IsEmpty());
    EXPECT_FALSE(bus->waitForNotification(kDidTerminate, 100ms));
    EXPECT_THAT(log("helper.log"), HasSubstr("no Apple Event"));
}

TEST_F(EventsTest, DisableEndsTheHelperRemovesItsEntryAndDeletesItsBundle) {
    writeFile(autostart + "/other-program.desktop",
              "[Desktop Entry]\nType=Application\nName=Other\nExec=/bin/true\n");
    ASSERT_THAT(autostartEntries(), UnorderedElementsAre(Pair("other-program.desktop", ""),
                                                         Pair(::testing::_, installedHelper)));

    // The helper may end before its reply is out; what counts is what it does.
    sendAsMainApplication(helperEvent("pdqe", "pdds"));

    EXPECT_TRUE(bus->waitForNotification(kDidTerminate)) << log("helper.log");
    EXPECT_EQ(waitForExit(helper, 10s), 0) << log("helper.log");
    EXPECT_THAT(autostartEntries(), UnorderedElementsAre(Pair("other-program.desktop", "")));
    EXPECT_TRUE(waitUntil([&] { return !itemExists(installedHelper); }, 5s)) << log("helper.log");
    EXPECT_THAT(namesIn(installFolder), IsEmpty());
    EXPECT_FALSE(bus->nameHasOwner(kHelperIdentifier));
    EXPECT_THAT(log("helper.log"), HasSubstr("Received disable Apple Event."));
}

TEST_F(EventsTest, UpdateHandsTheNewBundleOverAndTheNewVersionAnswers) {
    const std::string update = copyHelperTo(home + "/Downloads/Update");
    setBundleVersion(update, "1301");
    const auto updateTree = treeAt(update);

    // The helper ends without an orderly quit and without a reply.
    sendUpdate(update);
    EXPECT_EQ(waitForExit(helper, 10s), 0) << log("helper.log");

    EXPECT_TRUE(bus->waitForNotification(kDidLaunch, 10s, 2)) << log("helper.log");
    EXPECT_FALSE(bus->waitForNotification(kDidTerminate, 0ms));
    EXPECT_TRUE(waitForHelperOnBus(*bus));
    const auto reply = bus->sendEvent(helperEvent("pdqe", "pdvn"));
    ASSERT_TRUE(reply.has_value()) << log("helper.log");
    EXPECT_EQ(reply->paramDescriptorForKeyword(kMajor)->int32Value(), 13);
    EXPECT_EQ(reply->paramDescriptorForKeyword(kMinor)->int32Value(), 1);

    EXPECT_EQ(treeAt(installedHelper), updateTree);
    EXPECT_FALSE(itemExists(update));
    EXPECT_TRUE(waitUntil([&] { return namesIn(temporary).empty(); }));
    EXPECT_EQ(processesRunning(installedHelper + "/" + kHelperExecutable).size(), 1u);
    EXPECT_THAT(autostartEntries(), UnorderedElementsAre(Pair(::testing::_, installedHelper)));
}

}  // namespace
}  // namespace system_test
