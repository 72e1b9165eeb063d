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

constexpr platform::pid_t kPendraPid = 3400;
constexpr platform::pid_t kPendraDevelopmentPid = 3500;

// The installed variants of the main application as bundles with their executables, and a
// running process of each: the senders that may replace or remove the helper.
class AppleEventsTest : public RequestFixture {
  protected:
    AppleEventsTest() {
        installMainApplication("/Applications/PendraMac.app", kPendraBundleIdentifier, kPendraPid);
        installMainApplication("/Applications/PendraMac Dev.app",
                               kPendraDevelopmentBundleIdentifier, kPendraDevelopmentPid);
    }
    void installMainApplication(const std::string& path, const std::string& identifier,
                                platform::pid_t pid) {
        auto bundle = std::make_shared<platform::fake::FakeBundle>(path, identifier);
        bundle->info["CFBundleExecutable"] = "PendraMac";
        bundle->auxiliaryExecutables["PendraMac"] = path + "/Contents/MacOS/PendraMac";
        fake.bundles.addBundle(bundle);
        fake.files.addFile(path + "/Contents/MacOS/PendraMac");
        fake.processes.executablePaths[pid] = path + "/Contents/MacOS/PendraMac";
    }
    AppleEventDescriptor fromPendra(AppleEventDescriptor event) {
        return sentBy(std::move(event), kPendraPid);
    }
};

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

TEST_F(InvokeTest, ANamedRecipientWinsAndOnlyAPendraApplicationGetsACapture) {
    auto named = sentBy(helperEvent(kInvokeQuickEntryAutofillServiceItemEventID), 4400);
    named.setParamDescriptor(
        AppleEventDescriptor::descriptorWithString(kPendraDevelopmentBundleIdentifier),
        kReplyRecipientKeyword);
    auto stranger = named;
    stranger.setParamDescriptor(AppleEventDescriptor::descriptorWithString("com.example.spy"),
                                kReplyRecipientKeyword);
    auto unreadable = named;
    unreadable.setParamDescriptor(AppleEventDescriptor::recordDescriptor(), kReplyRecipientKeyword);
    auto unknownSender = sentBy(helperEvent(kInvokeQuickEntryAutofillServiceItemEventID), 9999);
    addApplication(5500, "com.example.spy", "Spy");
    auto strangeSender = sentBy(helperEvent(kInvokeQuickEntryAutofillServiceItemEventID), 5500);

    invoke(named);
    for (const auto& refused : {stranger, unreadable, unknownSender, strangeSender}) {
        fake.appleEvents.dispatch(refused);
    }
    fake.application.runDelayedPerforms();

    // Only the named variant is answered; nothing of the capture reaches anyone else, and the
    // frontmost application is not even asked for them.
    EXPECT_EQ(fake.scripting.executions.size(), 1u);
    ASSERT_EQ(fake.appleEvents.sent.size(), 1u);
    expectReply(fake.appleEvents.sent[0].event, kPendraDevelopmentBundleIdentifier,
                {{kNoteKeyword, "https://example.com/front"}, {kTitleKeyword, "Front page"}});
    const std::string refusal = "Refusing the invoke Apple Event: its answer would go to ";
    const std::string notPendra = ", which is not a Pendra application";
    EXPECT_EQ(
        fake.log.console(),
        (std::vector<std::string>{
            refusal + "com.example.spy" + notPendra, refusal + "an unknown process" + notPendra,
            refusal + "an unknown process" + notPendra, refusal + "com.example.spy" + notPendra}));
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
    const auto emptyReply = fake.appleEvents.dispatch(fromPendra(helperEvent(kUpdateEventID)));
    const auto missingReply = fake.appleEvents.dispatch(fromPendra(missing));
    // Each refusal says so, so that the sender does not wait for a helper that never comes.
    for (const auto& reply : {emptyReply, missingReply}) {
        ASSERT_TRUE(reply.paramDescriptorForKeyword(platform::keyErrorNumber).has_value());
        EXPECT_EQ(reply.paramDescriptorForKeyword(platform::keyErrorNumber)->int32Value(),
                  platform::errAEEventFailed);
        EXPECT_TRUE(reply.paramDescriptorForKeyword(platform::keyErrorString).has_value());
    }
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
        fake.appleEvents.dispatch(fromPendra(event));
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
    const auto reply = fake.appleEvents.dispatch(fromPendra(helperEvent(kDisableEventID)));
    EXPECT_TRUE(reply.entries().empty());
    const auto lines = debugLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "Received disable Apple Event.");
    EXPECT_EQ(lines[1], "Disabling the helper...");
    EXPECT_EQ(fake.application.terminateRequests, 1);
}

// Who may replace or remove the helper is judged from the process the event came from: the
// executable it runs must be that of an installed variant of the main application.
TEST_F(AppleEventsTest, OnlyAnInstalledMainApplicationMayUpdateOrDisable) {
    // A second name for the development variant's executable (a hard link) is the same file.
    const std::string linked = "/Users/me/Links/PendraMac";
    fake.files.addFile(linked);
    fake.files.setFileNumber(linked, fake.files
                                         .item("/Applications/PendraMac Dev.app/Contents/"
                                               "MacOS/PendraMac")
                                         ->fileNumber);
    constexpr platform::pid_t kLinkedPid = 3600, kCopyPid = 3700, kVanishedPid = 3800;
    fake.processes.executablePaths[kLinkedPid] = linked;
    // A copy of the main application that is not the installed one, under the same identifier.
    fake.files.addFile("/Users/me/Downloads/PendraMac.app/Contents/MacOS/PendraMac");
    fake.processes.executablePaths[kCopyPid] =
        "/Users/me/Downloads/PendraMac.app/Contents/MacOS/PendraMac";
    fake.processes.executablePaths[kMailPid] = "/Applications/Mail.app/Contents/MacOS/Mail";

    const struct {
        const char* sender;
        std::optional<platform::pid_t> pid;
        bool allowed;
    } cases[] = {
        {"standard variant", kPendraPid, true},
        {"development variant", kPendraDevelopmentPid, true},
        {"installed executable by another name", kLinkedPid, true},
        {"another application", kMailPid, false},
        {"a copy outside the applications folders", kCopyPid, false},
        {"a process that cannot be inspected", kVanishedPid, false},
        {"no address", std::nullopt, false},
    };
    startHelper();
    for (const auto& each : cases) {
        SCOPED_TRACE(each.sender);
        fake.log.entries.clear();
        fake.application.terminateRequests = 0;
        auto disable = helperEvent(kDisableEventID);
        auto update = helperEvent(kUpdateEventID);
        update.setParamDescriptor(AppleEventDescriptor::descriptorWithString("/nowhere/New.app"),
                                  platform::keyDirectObject);
        if (each.pid) {
            disable = sentBy(disable, *each.pid);
            update = sentBy(update, *each.pid);
        }
        for (const auto& [event, name] : {std::pair{update, "update"}, {disable, "disable"}}) {
            const auto reply = fake.appleEvents.dispatch(event);
            const auto error = reply.paramDescriptorForKeyword(platform::keyErrorNumber);
            if (each.allowed) {
                // Allowed, the update from a path where nothing lies does not start, and says so.
                if (std::string(name) == "update") {
                    ASSERT_TRUE(error);
                    EXPECT_EQ(error->int32Value(), platform::errAEEventFailed);
                } else {
                    EXPECT_FALSE(error) << name;
                }
            } else {
                ASSERT_TRUE(error) << name;
                EXPECT_EQ(error->int32Value(), platform::errAEPrivilegeError);
                EXPECT_EQ(reply.paramDescriptorForKeyword(platform::keyErrorString)->stringValue(),
                          std::string("Only an installed Pendra application may send the ") + name +
                              " event");
            }
        }
        EXPECT_EQ(fake.application.terminateRequests, each.allowed ? 1 : 0);
        const auto lines = debugLines();
        const bool updateTried =
            std::find(lines.begin(), lines.end(),
                      "Source bundle does not exist at path /nowhere/New.app") != lines.end();
        EXPECT_EQ(updateTried, each.allowed);
        int refusals = 0;
        for (const auto& entry : fake.log.entries) {
            refusals += entry.console && entry.message.starts_with("Refusing the ");
        }
        EXPECT_EQ(refusals, each.allowed ? 0 : 2);
    }
    EXPECT_EQ(fake.processes.exitStatus, std::nullopt);
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
