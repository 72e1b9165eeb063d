#include <gtest/gtest.h>

#include "request_fixture.h"

namespace pendra::testing {
namespace {

const std::string kGotCall = "Got service call in the Helper";
const std::string kCalledDirectly =
    "Service has been called directly, we'll talk to the preferred Pendra app bundle found: "
    "com.orvano.PendraMac";
const std::string kResponded = "Call has been responded";

class QuickEntryTest : public RequestFixture {
  protected:
    void SetUp() override {
        scriptResults["browser script"] = list({"Front page", "https://example.com/front"});
        scriptResults["mail script"] = list({"Re: lunch", "message://%3c42@example.com%3e"});
        startHelper();
    }
    // Runs the Services entry; the error text must stay as it was.
    void service(const platform::Pasteboard& pasteboard) {
        std::string error = "untouched";
        helper->quickEntryWithAutofill(pasteboard, "", &error);
        EXPECT_EQ(error, "untouched");
    }
    static platform::Pasteboard pasteboardWithText(const std::string& text, std::size_t types) {
        platform::Pasteboard pasteboard;
        pasteboard.types = {platform::NSStringPboardType, "public.rtf", "com.apple.mail.message"};
        pasteboard.types.resize(types);
        pasteboard.strings[platform::NSStringPboardType] = text;
        return pasteboard;
    }
    std::string sentNotes() {
        EXPECT_EQ(fake.appleEvents.sent.size(), 1u);
        if (fake.appleEvents.sent.empty()) {
            return "<nothing sent>";
        }
        const auto properties =
            fake.appleEvents.sent[0].event.paramDescriptorForKeyword(kQuickEntryPropertiesKeyword);
        const auto notes =
            properties ? properties->descriptorForKeyword(kNoteKeyword) : std::nullopt;
        return notes ? notes->stringValue().value_or("<no text>") : "<no notes>";
    }
};

TEST_F(QuickEntryTest, InvokeAnswersWithTheLinkAloneAsNotes) {
    setFrontmost(kBrowserPid);
    helper->invokeQuickEntryWithAutofillWithPropertiesDescriptor(
        std::nullopt, kPendraDevelopmentBundleIdentifier);
    ASSERT_EQ(fake.appleEvents.sent.size(), 1u);
    expectReply(fake.appleEvents.sent[0].event, kPendraDevelopmentBundleIdentifier,
                {{kNoteKeyword, "https://example.com/front"}, {kTitleKeyword, "Front page"}});
    EXPECT_EQ(debugLines(), std::vector<std::string>{"Responding to caller app with identifier "
                                                     "com.orvano.PendraMac.development"});
}

TEST_F(QuickEntryTest, ACaptureThatDefersToACallbackURLAnswersNothing) {
    setFrontmost(kReaderPid);
    helper->invokeQuickEntryWithAutofillWithPropertiesDescriptor(std::nullopt,
                                                                 kPendraBundleIdentifier);
    service(pasteboardWithText("selected", 1));
    EXPECT_TRUE(fake.appleEvents.sent.empty());
    EXPECT_EQ(fake.workspace.openedURLs.size(), 2u);
    EXPECT_EQ(debugLines(), (std::vector<std::string>{kGotCall, kCalledDirectly}));
}

TEST_F(QuickEntryTest, ServicesPutsTheTrimmedSelectionAheadOfTheLink) {
    setFrontmost(kBrowserPid);
    // Only newline characters go from the ends: spaces, tabs and inner blank lines stay.
    service(pasteboardWithText("\r\n\xE2\x80\xA9\n  first\n\n\tsecond \xC2\x85\x0B\n", 3));
    ASSERT_EQ(fake.appleEvents.sent.size(), 1u);
    expectReply(fake.appleEvents.sent[0].event, kPendraBundleIdentifier,
                {{kNoteKeyword, "  first\n\n\tsecond \n\nhttps://example.com/front\n\n"},
                 {kTitleKeyword, "Front page"}});
    EXPECT_EQ(debugLines(), (std::vector<std::string>{kGotCall, kCalledDirectly, kResponded}));
}

TEST_F(QuickEntryTest, ServicesWithoutTextStillFramesTheLink) {
    setFrontmost(kBrowserPid);
    platform::Pasteboard pasteboard;
    pasteboard.types = {"public.png"};
    service(pasteboard);
    EXPECT_EQ(sentNotes(), "\n\nhttps://example.com/front\n\n");
}

TEST_F(QuickEntryTest, ServicesLeavesOutAWholeMailMessage) {
    setFrontmost(kMailPid);
    service(pasteboardWithText("Dear all", 3));
    EXPECT_EQ(sentNotes(), "message://%3c42@example.com%3e\n\n");
}

TEST_F(QuickEntryTest, ServicesKeepsAMailSelectionWithTwoTypes) {
    setFrontmost(kMailPid);
    service(pasteboardWithText("Dear all", 2));
    EXPECT_EQ(sentNotes(), "Dear all\n\nmessage://%3c42@example.com%3e\n\n");
}

TEST_F(QuickEntryTest, ServicesKeepsTheMailSelectionBeforeTheVersionThatNeedsTheRule) {
    fake.processInfo.version = {10, 12, 6};
    setFrontmost(kMailPid);
    service(pasteboardWithText("Dear all", 3));
    EXPECT_EQ(sentNotes(), "Dear all\n\nmessage://%3c42@example.com%3e\n\n");
}

TEST_F(QuickEntryTest, ServicesKeepsTheSelectionWhenMailGaveNothing) {
    scriptResults["mail script"] = list({"Re: lunch"});
    setFrontmost(kMailPid);
    service(pasteboardWithText("Dear all\n", 3));
    ASSERT_EQ(fake.appleEvents.sent.size(), 1u);
    expectReply(fake.appleEvents.sent[0].event, kPendraBundleIdentifier,
                {{kNoteKeyword, "Dear all\n\n\n\n"}, {kTitleKeyword, ""}});
}

}  // namespace
}  // namespace pendra::testing
