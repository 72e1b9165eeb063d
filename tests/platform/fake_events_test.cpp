#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/fake/fake_platform.h"

namespace platform::fake {
namespace {

using ::testing::ElementsAre;

constexpr AEEventClass kTestClass = fourCharCode("Test");
constexpr AEEventID kFirst = fourCharCode("frst");

AppleEventDescriptor eventOf(AEEventClass eventClass, AEEventID eventID) {
    return AppleEventDescriptor::appleEventWithEventClass(
        eventClass, eventID, AppleEventDescriptor::nullDescriptor(), 7, kAnyTransactionID);
}

TEST(FakeAppleEventManager, DispatchRunsTheRegisteredHandlerWithAFreshReply) {
    FakeAppleEventManager manager;
    std::vector<std::string> seen;
    manager.setEventHandler(kTestClass, kFirst, [&](const auto& event, auto& reply) {
        seen.push_back(event.paramDescriptorForKeyword(keyDirectObject)->stringValue().value());
        reply.setParamDescriptor(AppleEventDescriptor::descriptorWithString("done"),
                                 keyDirectObject);
    });
    manager.setEventHandler(kInternetEventClass, kAEGetURL, [](const auto&, auto&) {});

    auto event = eventOf(kTestClass, kFirst);
    event.setParamDescriptor(AppleEventDescriptor::descriptorWithString("hello"), keyDirectObject);
    auto reply = manager.dispatch(event);
    EXPECT_THAT(seen, ElementsAre("hello"));
    EXPECT_EQ(reply.paramDescriptorForKeyword(keyDirectObject)->stringValue(), "done");
    EXPECT_FALSE(reply.paramDescriptorForKeyword(keyErrorNumber));
    EXPECT_EQ(reply.returnID(), 7);

    // Another dispatch starts from an empty reply again.
    manager.setEventHandler(kTestClass, kFirst, [](const auto&, auto&) {});
    EXPECT_FALSE(manager.dispatch(event).paramDescriptorForKeyword(keyDirectObject));
    EXPECT_THAT(manager.registrationOrder, ElementsAre(std::pair{kTestClass, kFirst},
                                                       std::pair{kInternetEventClass, kAEGetURL},
                                                       std::pair{kTestClass, kFirst}));
}

TEST(FakeAppleEventManager, EventWithoutHandlerIsAnsweredNotHandled) {
    FakeAppleEventManager manager;
    int calls = 0;
    manager.setEventHandler(kTestClass, kFirst, [&](const auto&, auto&) { ++calls; });
    manager.removeEventHandler(kTestClass, kFirst);
    auto reply = manager.dispatch(eventOf(kTestClass, kFirst));
    EXPECT_EQ(calls, 0);
    ASSERT_TRUE(reply.paramDescriptorForKeyword(keyErrorNumber));
    EXPECT_EQ(reply.paramDescriptorForKeyword(keyErrorNumber)->int32Value(), errAEEventNotHandled);
}

TEST(FakeAppleEventManager, SendRecordsTheEventAndAnswersTheConfiguredOutcome) {
    FakeAppleEventManager manager;
    auto event = eventOf(kTestClass, kFirst);
    AppleEventDescriptor reply;
    manager.sendReply = AppleEventDescriptor::descriptorWithInt32(5);
    EXPECT_EQ(manager.AESendMessage(event, &reply, kAEWaitReply, 600), noErr);
    EXPECT_EQ(reply.int32Value(), 5);
    manager.sendStatus = procNotFound;
    EXPECT_EQ(manager.AESendMessage(event, nullptr, kAENoReply, 0), procNotFound);

    ASSERT_EQ(manager.sent.size(), 2u);
    EXPECT_TRUE(manager.sent[0].replyRequested);
    EXPECT_EQ(manager.sent[0].timeout, 600);
    EXPECT_FALSE(manager.sent[1].replyRequested);
    EXPECT_EQ(manager.sent[1].sendMode, kAENoReply);
}

TEST(FakeScripting, ScriptsFailWithSystemErrorUntilABehaviourIsGiven) {
    FakeScripting scripting;
    auto script = scripting.makeAppleScriptWithSource("return 1");
    ASSERT_TRUE(script);
    ScriptErrorInfo error;
    EXPECT_FALSE(script->executeAndReturnError(&error));
    ASSERT_TRUE(error.count(NSAppleScriptErrorNumber));
    EXPECT_EQ(error.at(NSAppleScriptErrorNumber).integerValue(), errOSASystemError);
    EXPECT_TRUE(error.at(NSAppleScriptErrorMessage).isString());
    EXPECT_FALSE(script->executeAndReturnError(nullptr));

    scripting.behaviour = [](const std::string& source, const AppleEventDescriptor* event,
                             ScriptErrorInfo*) -> std::optional<AppleEventDescriptor> {
        return AppleEventDescriptor::descriptorWithString(source + (event ? " event" : " run"));
    };
    EXPECT_EQ(script->executeAndReturnError(nullptr)->stringValue(), "return 1 run");
    auto event = eventOf(kASAppleScriptSuite, kASSubroutineEvent);
    EXPECT_EQ(script->executeAppleEvent(event, nullptr)->stringValue(), "return 1 event");

    ASSERT_EQ(scripting.executions.size(), 4u);
    EXPECT_FALSE(scripting.executions[2].event);
    EXPECT_EQ(scripting.executions[3].event, event);
}

TEST(FakeScripting, UnmakeableSourceGivesNoObjectButIsRecorded) {
    FakeScripting scripting;
    scripting.unmakeable.insert("broken");
    EXPECT_FALSE(scripting.makeAppleScriptWithSource("broken"));
    EXPECT_TRUE(scripting.makeAppleScriptWithSource("fine"));
    EXPECT_THAT(scripting.createdSources, ElementsAre("broken", "fine"));
}

TEST(FakePlatform, InstallsItsServicesWithTheHelperAsMainBundle) {
    FakePlatform fake;
    FakeFileManager other;
    {
        ScopedInstall installed(fake.services());
        EXPECT_EQ(&platform::fileManager(), &fake.files);
        EXPECT_EQ(platform::mainBundle()->bundleIdentifier(), kFakeHelperIdentifier);
        EXPECT_EQ(platform::mainBundle()->objectForInfoDictionaryKey("CFBundleVersion"),
                  PropertyList("100"));
        EXPECT_EQ(platform::processManager().getppid(), 1000);
    }
    fake.fileManagerOverride = &other;
    EXPECT_EQ(fake.services().fileManager, &other);
}

TEST(FakePlatform, LogKeepsKindSubsystemCategoryAndLevel) {
    FakePlatform fake;
    ScopedInstall installed(fake.services());
    os_log_debug(os_log_create("com.example", "Cat"), "value %d", {3});
    NSLog("plain %@", {"text"});
    EXPECT_THAT(fake.log.entries,
                ElementsAre(FakeLog::Entry{false, "com.example", "Cat", LogLevel::Debug, "value 3"},
                            FakeLog::Entry{true, "", "", LogLevel::Default, "plain text"}));
    EXPECT_THAT(fake.log.unified(), ElementsAre("value 3"));
    EXPECT_THAT(fake.log.console(), ElementsAre("plain text"));
}

TEST(FakeBundles, BundleWithURLFindsAddedBundlesByPath) {
    FakeBundles bundles;
    auto copy = std::make_shared<FakeBundle>("/Users/user/Desktop/Helper Copy.app", "com.x.y");
    bundles.addBundle(copy);
    EXPECT_EQ(bundles.bundleWithURL(URL::fileURLWithPath("/Users/user/Desktop/Helper Copy.app/")),
              copy);
    EXPECT_FALSE(bundles.bundleWithURL(URL::fileURLWithPath("/Users/user/Desktop/Other.app")));
    EXPECT_EQ(copy->objectForInfoDictionaryKey("CFBundleIdentifier"), PropertyList("com.x.y"));

    copy->resources["Scripts/Connector.scpt"] = "/r/Connector.scpt";
    EXPECT_EQ(copy->pathForResource("Connector", "scpt", std::string("Scripts")),
              "/r/Connector.scpt");
    EXPECT_FALSE(copy->pathForResource("Connector", "scpt", std::nullopt));
}

}  // namespace
}  // namespace platform::fake
