#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "helper/requests/apple_events_handler.h"
#include "helper/requests/sender.h"
#include "request_fixture.h"

namespace pendra::testing {
namespace {

AppleEventDescriptor helperEvent(platform::AEEventID eventID) {
    return AppleEventDescriptor::appleEventWithEventClass(
        kPendraHelperEventClass, eventID,
        AppleEventDescriptor::descriptorWithApplicationBundleIdentifier(kHelperBundleIdentifier),
        platform::kAutoGenerateReturnID, platform::kAnyTransactionID);
}

AppleEventDescriptor sentBy(AppleEventDescriptor event, platform::pid_t pid) {
    event.setAttributeDescriptor(AppleEventDescriptor::descriptorWithProcessSerialNumber(
                                     {0, static_cast<std::uint32_t>(pid)}),
                                 platform::keyAddressAttr);
    return event;
}

using AppleEventsTest = RequestFixture;

TEST_F(AppleEventsTest, StartUpRegistersTheFourEventsInOrderBeforeTheURLHandler) {
    startHelper();
    using Code = std::pair<platform::AEEventClass, platform::AEEventID>;
    const std::vector<Code> expected = {
        {kPendraHelperEventClass, kGetVersionEventID},
        {kPendraHelperEventClass, kUpdateEventID},
        {kPendraHelperEventClass, kInvokeQuickEntryAutofillServiceItemEventID},
        {kPendraHelperEventClass, kDisableEventID},
        {platform::kInternetEventClass, platform::kAEGetURL},
    };
    EXPECT_EQ(fake.appleEvents.registrationOrder, expected);
    EXPECT_EQ(helper->appleEventsHandler().pendraSandboxHelper(), helper.get());
}

TEST_F(AppleEventsTest, HandlersWithoutTheirHelperDoNothing) {
    AppleEventsHandler handler;
    const auto reply = fake.appleEvents.dispatch(helperEvent(kGetVersionEventID));
    fake.appleEvents.dispatch(helperEvent(kInvokeQuickEntryAutofillServiceItemEventID));
    EXPECT_EQ(reply.paramDescriptorForKeyword(kMajorVersionKeyword), std::nullopt);
    EXPECT_TRUE(fake.application.delayedPerforms.empty());
    EXPECT_TRUE(fake.log.entries.empty());
}

struct VersionCase {
    const char* bundleVersion;
    std::int32_t major;
    std::int32_t minor;
};

// A stable name for each case, so that the test list does not depend on where its text lies.
void PrintTo(const VersionCase& versionCase, std::ostream* out) {
    *out << "version " << versionCase.bundleVersion;
}

class GetVersionTest : public RequestFixture, public ::testing::WithParamInterface<VersionCase> {};

TEST_P(GetVersionTest, AnswersMajorThenMinorAsSigned32BitIntegers) {
    fake.bundles.main->info["CFBundleVersion"] = GetParam().bundleVersion;
    startHelper();
    const auto reply = fake.appleEvents.dispatch(helperEvent(kGetVersionEventID));
    EXPECT_EQ(debugLines(), std::vector<std::string>{"Received getVersion Apple Event."});
    ASSERT_EQ(reply.entries().size(), 2u);
    EXPECT_EQ(reply.entries()[0].first, kMajorVersionKeyword);
    EXPECT_EQ(reply.entries()[1].first, kMinorVersionKeyword);
    for (const auto& [keyword, value] : reply.entries()) {
        EXPECT_EQ(value.descriptorType(), platform::typeSInt32);
    }
    EXPECT_EQ(reply.entries()[0].second.int32Value(), GetParam().major);
    EXPECT_EQ(reply.entries()[1].second.int32Value(), GetParam().minor);
}

INSTANTIATE_TEST_SUITE_P(BundleVersions, GetVersionTest,
                         ::testing::Values(VersionCase{"304", 3, 4}, VersionCase{"1207", 12, 7},
                                           VersionCase{"99", 0, 99}),
                         [](const ::testing::TestParamInfo<VersionCase>& info) {
                             return std::string("Version") + info.param.bundleVersion;
                         });

class InvokeTest : public RequestFixture {
  protected:
    void SetUp() override {
        setFrontmost(kBrowserPid);
        scriptResults["browser script"] = list({"Front page", "https://example.com/front"});
        addApplication(4400, kPendraBundleIdentifier, "Pendra");
        startHelper();
    }
    // Delivers the event, checks its own reply is empty and runs the deferred quick entry.
    void invoke(const AppleEventDescriptor& event) {
        const auto reply = fake.appleEvents.dispatch(event);
        EXPECT_TRUE(reply.entries().empty());
        EXPECT_TRUE(fake.appleEvents.sent.empty());
        ASSERT_FALSE(fake.application.delayedPerforms.empty());
        EXPECT_DOUBLE_EQ(fake.application.delayedPerforms.back().delay, 0.1);
    }
};

TEST_F(InvokeTest, AnswersTheSenderWhenNoRecipientIsNamed) {
    invoke(sentBy(helperEvent(kInvokeQuickEntryAutofillServiceItemEventID), 4400));
    fake.application.runDelayedPerforms();
    EXPECT_EQ(debugLines(), (std::vector<std::string>{
                                "Received invoke Quick Entry Autofill service item Apple Event.",
                                "Responding to caller app with identifier com.orvano.PendraMac"}));
    ASSERT_EQ(fake.appleEvents.sent.size(), 1u);
    expectReply(fake.appleEvents.sent[0].event, kPendraBundleIdentifier,
                {{kNoteKeyword, "https://example.com/front"}, {kTitleKeyword, "Front page"}});
}

TEST_F(InvokeTest, ANamedRecipientWinsEvenWhenItIsNotText) {
    auto named = sentBy(helperEvent(kInvokeQuickEntryAutofillServiceItemEventID), 4400);
    named.setParamDescriptor(
        AppleEventDescriptor::descriptorWithString(kPendraDevelopmentBundleIdentifier),
        kReplyRecipientKeyword);
    auto unreadable = named;
    unreadable.setParamDescriptor(AppleEventDescriptor::recordDescriptor(), kReplyRecipientKeyword);
    auto unknownSender = sentBy(helperEvent(kInvokeQuickEntryAutofillServiceItemEventID), 9999);

    // Each event gets its own quick entry, in order.
    invoke(named);
    invoke(unreadable);
    invoke(unknownSender);
    fake.application.runDelayedPerforms();

    ASSERT_EQ(fake.appleEvents.sent.size(), 3u);
    const std::vector<std::pair<platform::AEKeyword, std::string>> record = {
        {kNoteKeyword, "https://example.com/front"}, {kTitleKeyword, "Front page"}};
    expectReply(fake.appleEvents.sent[0].event, kPendraDevelopmentBundleIdentifier, record);
    expectReply(fake.appleEvents.sent[1].event, "", record);
    expectReply(fake.appleEvents.sent[2].event, "", record);
    const std::string received = "Received invoke Quick Entry Autofill service item Apple Event.";
    EXPECT_EQ(debugLines(),
              (std::vector<std::string>{
                  received, received, received,
                  "Responding to caller app with identifier com.orvano.PendraMac.development",
                  "Responding to caller app with identifier (null)",
                  "Responding to caller app with identifier (null)"}));
}

TEST_F(InvokeTest, AdditionalPropertiesTravelUnchangedWithTheAnswer) {
    auto properties = AppleEventDescriptor::recordDescriptor();
    properties.setDescriptor(AppleEventDescriptor::descriptorWithString("tagged"),
                             kTagNamesKeyword);
    auto event = helperEvent(kInvokeQuickEntryAutofillServiceItemEventID);
    event.setParamDescriptor(AppleEventDescriptor::descriptorWithString(kPendraBundleIdentifier),
                             kReplyRecipientKeyword);
    event.setParamDescriptor(properties, kAdditionalPropertiesKeyword);
    invoke(event);
    fake.application.runDelayedPerforms();
    ASSERT_EQ(fake.appleEvents.sent.size(), 1u);
    expectReply(fake.appleEvents.sent[0].event, kPendraBundleIdentifier,
                {{kNoteKeyword, "https://example.com/front"},
                 {kTitleKeyword, "Front page"},
                 {kTagNamesKeyword, "tagged"}});
}

TEST_F(AppleEventsTest, AnUpdateThatDoesNotStartLeavesTheHelperRunning) {
    startHelper();
    auto missing = helperEvent(kUpdateEventID);
    missing.setParamDescriptor(AppleEventDescriptor::descriptorWithString("/nowhere/New.app"),
                               platform::keyDirectObject);
    const auto emptyReply = fake.appleEvents.dispatch(helperEvent(kUpdateEventID));
    const auto missingReply = fake.appleEvents.dispatch(missing);
    EXPECT_TRUE(emptyReply.entries().empty());
    EXPECT_TRUE(missingReply.entries().empty());
    EXPECT_EQ(fake.processes.exitStatus, std::nullopt);
    EXPECT_EQ(debugLines(), (std::vector<std::string>{
                                "Received update Apple Event.", "Received update Apple Event.",
                                "Source bundle does not exist at path /nowhere/New.app"}));
}

TEST_F(AppleEventsTest, AnUpdateThatStartsEndsTheProcessAtOnce) {
    const std::string toolPath =
        "/Applications/PendraMacSandboxHelper.app/Contents/MacOS/" + std::string(kRelaunchToolName);
    fake.files.addDirectory(toolPath);
    fake.files.addDirectory(fake.paths.temporaryDirectory);
    fake.bundles.main->auxiliaryExecutables[kRelaunchToolName] = toolPath;
    // Another copy of this helper, as only such a bundle may take its place.
    const std::string source = "/Users/me/Downloads/PendraMacSandboxHelper.app";
    auto bundle = std::make_shared<platform::fake::FakeBundle>(source, kHelperBundleIdentifier);
    bundle->info["CFBundleExecutable"] = platform::PropertyList("PendraMacSandboxHelper");
    fake.bundles.addBundle(bundle);
    fake.files.addFile(source + "/Contents/MacOS/PendraMacSandboxHelper");
    startHelper();
    auto event = helperEvent(kUpdateEventID);
    event.setParamDescriptor(AppleEventDescriptor::descriptorWithString(
                                 "/Users/me/Downloads/PendraMacSandboxHelper.app"),
                             platform::keyDirectObject);
    try {
        fake.appleEvents.dispatch(event);
        ADD_FAILURE() << "the process did not end";
    } catch (const platform::ProcessExit& exit) {
        EXPECT_EQ(exit.status, 0);
    }
    ASSERT_EQ(fake.workspace.launches.size(), 1u);
    EXPECT_EQ(fake.workspace.launches[0].configuration.arguments.at(0),
              "/Users/me/Downloads/PendraMacSandboxHelper.app");
    EXPECT_TRUE(fake.notifications.posted.empty());
}

TEST_F(AppleEventsTest, DisableAsksTheApplicationToQuit) {
    startHelper();
    const auto reply = fake.appleEvents.dispatch(helperEvent(kDisableEventID));
    EXPECT_TRUE(reply.entries().empty());
    const auto lines = debugLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "Received disable Apple Event.");
    EXPECT_EQ(lines[1], "Disabling the helper...");
    EXPECT_EQ(fake.application.terminateRequests, 1);
}

TEST_F(AppleEventsTest, TheSenderIsTheRunningApplicationOfTheAddressedProcess) {
    const auto event = helperEvent(kGetVersionEventID);
    EXPECT_EQ(senderBundleIdentifier(sentBy(event, kMailPid)), "com.apple.Mail");
    EXPECT_EQ(senderApplication(sentBy(event, kMailPid))->processIdentifier, kMailPid);
    // No address, an address that is no process, a process that is no application.
    auto textAddress = event;
    textAddress.setAttributeDescriptor(AppleEventDescriptor::descriptorWithString("Mail"),
                                       platform::keyAddressAttr);
    EXPECT_EQ(senderApplication(event), std::nullopt);
    EXPECT_EQ(senderApplication(textAddress), std::nullopt);
    EXPECT_EQ(senderApplication(sentBy(event, 9999)), std::nullopt);
    EXPECT_EQ(senderBundleIdentifier(sentBy(event, 9999)), std::nullopt);
}

}  // namespace
}  // namespace pendra::testing
