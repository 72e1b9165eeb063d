#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "helper/constants.h"
#include "helper/requests/quick_entry_with_autofill_call.h"
#include "platform/fake/fake_platform.h"
#include "platform/platform.h"

namespace pendra {
namespace {

using platform::AppleEventDescriptor;
using platform::fourCharCode;

AppleEventDescriptor text(const std::string& value) {
    return AppleEventDescriptor::descriptorWithString(value);
}

// The record's keywords in their order, and each entry's descriptor type.
std::vector<std::pair<std::string, std::string>> layout(const AppleEventDescriptor& record) {
    std::vector<std::pair<std::string, std::string>> result;
    for (std::int64_t index = 1; index <= record.numberOfItems(); ++index) {
        result.emplace_back(
            platform::fourCharCodeString(record.keywordForDescriptorAtIndex(index)),
            platform::fourCharCodeString(record.descriptorAtIndex(index)->descriptorType()));
    }
    return result;
}

using Layout = std::vector<std::pair<std::string, std::string>>;

class ReplyCallTest : public ::testing::Test {
  protected:
    // Sends one reply and answers the one event that went out.
    AppleEventDescriptor respond(
        const std::optional<std::string>& title, const std::optional<std::string>& notes,
        const std::optional<AppleEventDescriptor>& properties = std::nullopt,
        const std::optional<std::string>& caller = "com.orvano.PendraMac") {
        PendraSandboxHelperQuickEntryWithAutofillCall::callWithCallerAppBundleIdentifier(caller,
                                                                                         properties)
            .respondWithTitle(title, notes);
        EXPECT_EQ(fake.appleEvents.sent.size(), 1u);
        return fake.appleEvents.sent.back().event;
    }

    AppleEventDescriptor record(const AppleEventDescriptor& event) {
        std::optional<AppleEventDescriptor> properties =
            event.paramDescriptorForKeyword(kQuickEntryPropertiesKeyword);
        EXPECT_TRUE(properties.has_value());
        return properties.value_or(AppleEventDescriptor());
    }

    platform::fake::FakePlatform fake;
    platform::ScopedInstall installed{fake.services()};
};

TEST_F(ReplyCallTest, EventIsAddressedAndSentAsTheCallerExpects) {
    const AppleEventDescriptor event = respond("Title", "Notes");

    EXPECT_TRUE(event.isAppleEvent());
    EXPECT_EQ(event.eventClass(), fourCharCode("PNDR"));
    EXPECT_EQ(event.eventID(), fourCharCode("sqep"));
    EXPECT_EQ(event.returnID(), -1);
    EXPECT_EQ(event.transactionID(), 0);
    ASSERT_TRUE(event.targetDescriptor().has_value());
    EXPECT_EQ(event.targetDescriptor()->descriptorType(), fourCharCode("bund"));
    const std::string identifier = "com.orvano.PendraMac";
    const auto target = event.targetDescriptor()->data();
    EXPECT_EQ(std::string(target.begin(), target.end()), identifier);
    // Only the properties parameter, nothing else of the helper's own.
    ASSERT_EQ(event.entries().size(), 1u);
    EXPECT_EQ(event.entries()[0].first, fourCharCode("qepp"));
    EXPECT_TRUE(event.attributes().empty());

    const auto& sent = fake.appleEvents.sent.back();
    EXPECT_EQ(sent.sendMode, platform::kAEWaitReply);
    EXPECT_EQ(sent.timeout, 0);
    EXPECT_FALSE(sent.replyRequested);
    EXPECT_TRUE(fake.log.console().empty());
}

TEST_F(ReplyCallTest, CallerAddressFollowsTheIdentifierAndIsEmptyWithoutOne) {
    auto call = PendraSandboxHelperQuickEntryWithAutofillCall::callWithCallerAppBundleIdentifier(
        "com.orvano.PendraMac", std::nullopt);
    EXPECT_EQ(call.callerAppDescriptor().data().size(), std::string("com.orvano.PendraMac").size());

    call.setCallerAppBundleIdentifier("com.orvano.PendraMac.development");
    const AppleEventDescriptor target = call.callerAppDescriptor();
    EXPECT_EQ(target.descriptorType(), fourCharCode("bund"));
    EXPECT_EQ(std::string(target.data().begin(), target.data().end()),
              "com.orvano.PendraMac.development");

    call.setCallerAppBundleIdentifier(std::nullopt);
    EXPECT_EQ(call.callerAppDescriptor().descriptorType(), fourCharCode("bund"));
    EXPECT_TRUE(call.callerAppDescriptor().data().empty());
}

TEST_F(ReplyCallTest, MissingCallerIsStillSentAndAFailedSendIsLogged) {
    fake.appleEvents.sendStatus = platform::procNotFound;
    const AppleEventDescriptor event = respond("T", "N", std::nullopt, std::nullopt);

    EXPECT_EQ(event.targetDescriptor()->descriptorType(), fourCharCode("bund"));
    EXPECT_TRUE(event.targetDescriptor()->data().empty());
    EXPECT_EQ(fake.log.console(),
              std::vector<std::string>{"Error sending AppleScript message to the caller: -600"});
    EXPECT_TRUE(fake.log.unified().empty());
}

TEST_F(ReplyCallTest, EachResponseSendsItsOwnEvent) {
    auto call = PendraSandboxHelperQuickEntryWithAutofillCall::callWithCallerAppBundleIdentifier(
        "com.orvano.PendraMac", std::nullopt);
    call.respondWithTitle("first", std::nullopt);
    call.respondWithTitle("second", std::nullopt);
    ASSERT_EQ(fake.appleEvents.sent.size(), 2u);
    EXPECT_EQ(
        record(fake.appleEvents.sent[0].event).descriptorForKeyword(kTitleKeyword)->stringValue(),
        "first");
    EXPECT_EQ(
        record(fake.appleEvents.sent[1].event).descriptorForKeyword(kTitleKeyword)->stringValue(),
        "second");
}

TEST_F(ReplyCallTest, TitleAndNotesAloneMakeNoteThenTitle) {
    const AppleEventDescriptor properties = record(respond("Page title", "https://example.org/a"));
    EXPECT_EQ(layout(properties), (Layout{{"note", "utxt"}, {"pnam", "utxt"}}));
    EXPECT_EQ(properties.descriptorForKeyword(kNoteKeyword)->stringValue(),
              "https://example.org/a");
    EXPECT_EQ(properties.descriptorForKeyword(kTitleKeyword)->stringValue(), "Page title");
}

TEST_F(ReplyCallTest, NewNotesComeFirstThenTheCallersNote) {
    AppleEventDescriptor caller = AppleEventDescriptor::recordDescriptor();
    caller.setDescriptor(text("caller's own"), kNoteKeyword);
    // Notes with format specifiers and BBCode pass through as they are.
    const AppleEventDescriptor properties =
        record(respond(std::nullopt, "[url]https://x.org/%20[/url] 100% %@ %d", caller));

    EXPECT_EQ(layout(properties), (Layout{{"note", "utxt"}}));
    EXPECT_EQ(properties.descriptorForKeyword(kNoteKeyword)->stringValue(),
              "[url]https://x.org/%20[/url] 100% %@ %d\n\ncaller's own");
}

TEST_F(ReplyCallTest, TitleReplacesTheCallersTitleAndTagsComeBackUnchanged) {
    AppleEventDescriptor tags = AppleEventDescriptor::listDescriptor();
    tags.insertDescriptor(text("work"), 0);
    tags.insertDescriptor(text("later"), 0);
    AppleEventDescriptor caller = AppleEventDescriptor::recordDescriptor();
    caller.setDescriptor(tags, kTagNamesKeyword);
    caller.setDescriptor(text("caller's title"), kTitleKeyword);

    const AppleEventDescriptor properties = record(respond("new title", "link", caller));
    EXPECT_EQ(layout(properties), (Layout{{"note", "utxt"}, {"pnam", "utxt"}, {"tnam", "list"}}));
    EXPECT_EQ(properties.descriptorForKeyword(kTitleKeyword)->stringValue(), "new title");
    EXPECT_EQ(*properties.descriptorForKeyword(kTagNamesKeyword), tags);
}

TEST_F(ReplyCallTest, WithoutTitleAndNotesTheKnownCallerEntriesAreEchoedInOrder) {
    // The caller's own order and types; its fourth keyword is not passed back.
    const AppleEventDescriptor tags = AppleEventDescriptor::descriptorWithDescriptorType(
        platform::typeUTF8Text, std::string_view("a,b"));
    const AppleEventDescriptor title = AppleEventDescriptor::descriptorWithInt32(7);
    const AppleEventDescriptor note = AppleEventDescriptor::descriptorWithDescriptorType(
        platform::typeUTF8Text, std::string_view("kept"));
    AppleEventDescriptor caller = AppleEventDescriptor::recordDescriptor();
    caller.setDescriptor(tags, kTagNamesKeyword);
    caller.setDescriptor(text("dropped"), fourCharCode("xtra"));
    caller.setDescriptor(title, kTitleKeyword);
    caller.setDescriptor(note, kNoteKeyword);

    const AppleEventDescriptor properties = record(respond(std::nullopt, std::nullopt, caller));
    EXPECT_EQ(layout(properties), (Layout{{"note", "utf8"}, {"pnam", "long"}, {"tnam", "utf8"}}));
    EXPECT_EQ(*properties.descriptorForKeyword(kNoteKeyword), note);
    EXPECT_EQ(*properties.descriptorForKeyword(kTitleKeyword), title);
    EXPECT_EQ(*properties.descriptorForKeyword(kTagNamesKeyword), tags);
}

TEST_F(ReplyCallTest, RecordIsAttachedByWhatIsGiven) {
    // Nothing given at all: the event goes without the parameter.
    EXPECT_TRUE(respond(std::nullopt, std::nullopt).entries().empty());

    // Caller properties without any known keyword: an empty record.
    fake.appleEvents.sent.clear();
    AppleEventDescriptor caller = AppleEventDescriptor::recordDescriptor();
    caller.setDescriptor(text("ignored"), fourCharCode("xtra"));
    AppleEventDescriptor properties = record(respond(std::nullopt, std::nullopt, caller));
    EXPECT_TRUE(properties.isRecord());
    EXPECT_EQ(properties.numberOfItems(), 0);

    // Empty strings count as given.
    fake.appleEvents.sent.clear();
    properties = record(respond("", ""));
    EXPECT_EQ(layout(properties), (Layout{{"note", "utxt"}, {"pnam", "utxt"}}));
    EXPECT_EQ(properties.descriptorForKeyword(kNoteKeyword)->stringValue(), "");
    EXPECT_EQ(properties.descriptorForKeyword(kTitleKeyword)->stringValue(), "");

    // Only a title: no 'note' entry is made up.
    fake.appleEvents.sent.clear();
    EXPECT_EQ(layout(record(respond("t", std::nullopt))), (Layout{{"pnam", "utxt"}}));
}

TEST_F(ReplyCallTest, TagsComeBackWhateverElseIsGiven) {
    AppleEventDescriptor caller = AppleEventDescriptor::recordDescriptor();
    caller.setDescriptor(text("tag"), kTagNamesKeyword);
    const std::vector<std::pair<std::optional<std::string>, std::optional<std::string>>> cases = {
        {std::nullopt, std::nullopt}, {"t", std::nullopt}, {std::nullopt, "n"}, {"t", "n"}};
    for (const auto& [title, notes] : cases) {
        fake.appleEvents.sent.clear();
        const AppleEventDescriptor properties = record(respond(title, notes, caller));
        ASSERT_GE(properties.numberOfItems(), 1);
        EXPECT_EQ(properties.keywordForDescriptorAtIndex(properties.numberOfItems()),
                  kTagNamesKeyword);
        EXPECT_EQ(properties.descriptorForKeyword(kTagNamesKeyword)->stringValue(), "tag");
    }
}

TEST_F(ReplyCallTest, CallersNoteWithoutTextFormGivesWayToTheNewNotes) {
    AppleEventDescriptor list = AppleEventDescriptor::listDescriptor();
    list.insertDescriptor(text("inner"), 0);
    AppleEventDescriptor caller = AppleEventDescriptor::recordDescriptor();
    caller.setDescriptor(list, kNoteKeyword);

    AppleEventDescriptor properties = record(respond("t", "new notes", caller));
    EXPECT_EQ(layout(properties), (Layout{{"note", "utxt"}, {"pnam", "utxt"}}));
    EXPECT_EQ(properties.descriptorForKeyword(kNoteKeyword)->stringValue(), "new notes");
    ASSERT_EQ(fake.log.console().size(), 1u);
    EXPECT_EQ(fake.log.console()[0],
              "The caller's note has no text form and is not appended: " + list.description());

    // Without new notes it travels back unchanged, and nothing is logged.
    fake.appleEvents.sent.clear();
    fake.log.entries.clear();
    properties = record(respond("t", std::nullopt, caller));
    EXPECT_EQ(*properties.descriptorForKeyword(kNoteKeyword), list);
    EXPECT_TRUE(fake.log.console().empty());
}

TEST_F(ReplyCallTest, CallersNumericNoteIsAppendedAsText) {
    AppleEventDescriptor caller = AppleEventDescriptor::recordDescriptor();
    caller.setDescriptor(AppleEventDescriptor::descriptorWithInt32(42), kNoteKeyword);
    const AppleEventDescriptor properties = record(respond(std::nullopt, "n", caller));
    EXPECT_EQ(properties.descriptorForKeyword(kNoteKeyword)->stringValue(), "n\n\n42");
}

TEST_F(ReplyCallTest, PropertiesThatAreNoRecordContributeNothing) {
    const AppleEventDescriptor properties =
        record(respond(std::nullopt, std::nullopt, text("not a record")));
    EXPECT_EQ(properties.numberOfItems(), 0);
}

// The caller's note is the caller's data: it comes back whole however large, and an answer
// larger than the transport carries goes again without it, then without note and title, each
// step logged, never shortened.
TEST_F(ReplyCallTest, TheCallersNoteComesBackWholeOrNotAtAll) {
    const std::string largeNote(10 << 20, 'n');  // far over the 4 MiB that once was kept
    AppleEventDescriptor caller = AppleEventDescriptor::recordDescriptor();
    caller.setDescriptor(text(largeNote), kNoteKeyword);
    caller.setDescriptor(text("tag"), kTagNamesKeyword);
    // Each limit lets through one step of the answer: whole, without the caller's note,
    // without any note, the tags alone.
    const struct {
        const char* what;
        std::size_t limit;  // the most bytes the transport carries
        std::optional<std::string> note;
        std::optional<std::string> title;
        std::vector<std::string> console;
    } cases[] = {
        {"whole", 32 << 20, "[url]link[/url]\n\n" + largeNote, "Title", {}},
        {"without the caller's note",
         1 << 20,
         "[url]link[/url]",
         "Title",
         {"The answer takes 20971685 bytes, more than one event may carry: it goes again without "
          "the caller's note (161 bytes)"}},
        {"without any note",
         140,
         std::nullopt,
         "Title",
         {"The answer takes 20971685 bytes, more than one event may carry: it goes again without "
          "the caller's note (161 bytes)",
          "The answer takes 161 bytes, more than one event may carry: it goes again without its "
          "note (118 bytes)"}},
        {"tags alone",
         100,
         std::nullopt,
         std::nullopt,
         {"The answer takes 20971685 bytes, more than one event may carry: it goes again without "
          "the caller's note (161 bytes)",
          "The answer takes 161 bytes, more than one event may carry: it goes again without its "
          "note (118 bytes)",
          "The answer takes 118 bytes, more than one event may carry: it goes again without its "
          "note and title (95 bytes)"}},
        {"nothing at all",
         50,
         std::nullopt,
         std::nullopt,
         {"The answer takes 20971685 bytes, more than one event may carry: it goes again without "
          "the caller's note (161 bytes)",
          "The answer takes 161 bytes, more than one event may carry: it goes again without its "
          "note (118 bytes)",
          "The answer takes 118 bytes, more than one event may carry: it goes again without its "
          "note and title (95 bytes)",
          "Error sending AppleScript message to the caller: -10000"}},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.what);
        fake.appleEvents.sent.clear();
        fake.log.entries.clear();
        fake.appleEvents.responder = [&each](const AppleEventDescriptor& event,
                                             AppleEventDescriptor*) {
            return event.flattenedSize() > each.limit ? platform::errAEEventFailed
                                                      : platform::noErr;
        };
        PendraSandboxHelperQuickEntryWithAutofillCall::callWithCallerAppBundleIdentifier(
            "com.orvano.PendraMac", caller)
            .respondWithTitle("Title", "[url]link[/url]");
        ASSERT_FALSE(fake.appleEvents.sent.empty());
        const AppleEventDescriptor properties = record(fake.appleEvents.sent.back().event);
        const auto note = properties.descriptorForKeyword(kNoteKeyword);
        EXPECT_EQ(note ? note->stringValue() : std::nullopt, each.note);
        const auto title = properties.descriptorForKeyword(kTitleKeyword);
        EXPECT_EQ(title ? title->stringValue() : std::nullopt, each.title);
        EXPECT_EQ(properties.descriptorForKeyword(kTagNamesKeyword)->stringValue(), "tag");
        EXPECT_EQ(fake.log.console(), each.console);
    }
}

}  // namespace
}  // namespace pendra
