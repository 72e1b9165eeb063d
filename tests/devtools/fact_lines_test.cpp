#include "devtools/fact_lines.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "helper/constants.h"

namespace {

using platform::AppleEventDescriptor;
using ::testing::ElementsAre;

AppleEventDescriptor reply() {
    return AppleEventDescriptor::appleEventWithEventClass(
        pendra::kAutofillReplyEventClass, pendra::kAutofillReplyEventID,
        AppleEventDescriptor::descriptorWithApplicationBundleIdentifier("com.orvano.PendraMac"),
        platform::kAutoGenerateReturnID, platform::kAnyTransactionID);
}

TEST(FactLinesTest, QuotedTextNeverSpansLinesAndKeepsEveryCharacterReadable) {
    EXPECT_EQ(devtools::quoted("plain"), "\"plain\"");
    EXPECT_EQ(devtools::quoted("a\n\nb"), "\"a\\n\\nb\"");
    EXPECT_EQ(devtools::quoted("say \"hi\" \\ now"), "\"say \\\"hi\\\" \\\\ now\"");
    EXPECT_EQ(devtools::quoted(std::string("t\tr\r\x01", 5)), "\"t\\tr\\r\\x01\"");
    EXPECT_EQ(devtools::quoted("Zoë"), "\"Zoë\"");
}

TEST(FactLinesTest, EachValueShowsItsDescriptorType) {
    EXPECT_EQ(devtools::descriptorLine("pdmj", AppleEventDescriptor::descriptorWithInt32(12)),
              "pdmj 'long' 12");
    EXPECT_EQ(devtools::descriptorLine("x", AppleEventDescriptor::descriptorWithString("a\nb")),
              "x 'utxt' \"a\\nb\"");
    EXPECT_EQ(devtools::descriptorLine("x", AppleEventDescriptor::descriptorWithTypeCode(
                                                platform::fourCharCode("pnam"))),
              "x 'type' 'pnam'");
    EXPECT_EQ(devtools::descriptorLine(
                  "to", AppleEventDescriptor::descriptorWithApplicationBundleIdentifier("a.b")),
              "to 'bund' \"a.b\"");
    EXPECT_EQ(devtools::descriptorLine("x", AppleEventDescriptor::nullDescriptor()),
              "x 'null' null");
}

TEST(FactLinesTest, AReplyRecordIsPrintedEntryByEntryInItsOwnOrder) {
    auto record = AppleEventDescriptor::recordDescriptor();
    record.setDescriptor(AppleEventDescriptor::descriptorWithString("https://x.test/\n\nmine"),
                         pendra::kNoteKeyword);
    record.setDescriptor(AppleEventDescriptor::descriptorWithString("Title"),
                         pendra::kTitleKeyword);
    auto tags = AppleEventDescriptor::listDescriptor();
    tags.insertDescriptor(AppleEventDescriptor::descriptorWithString("work"), 0);
    record.setDescriptor(tags, pendra::kTagNamesKeyword);
    auto event = reply();
    event.setParamDescriptor(record, pendra::kQuickEntryPropertiesKeyword);

    const auto lines = devtools::autofillReplyLines(event);

    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], "reply PNDR/sqep");
    EXPECT_EQ(lines[1], "qepp note 'utxt' \"https://x.test/\\n\\nmine\"");
    EXPECT_EQ(lines[2], "qepp pnam 'utxt' \"Title\"");
    EXPECT_EQ(lines[3].rfind("qepp tnam 'list' ", 0), 0u) << lines[3];
    EXPECT_NE(lines[3].find("work"), std::string::npos) << lines[3];
    EXPECT_EQ(lines[4], "reply end");
}

TEST(FactLinesTest, AReplyWithoutRecordOrWithAnEmptyOneSaysSo) {
    EXPECT_THAT(devtools::autofillReplyLines(reply()),
                ElementsAre("reply PNDR/sqep", "qepp absent", "reply end"));

    auto empty = reply();
    empty.setParamDescriptor(AppleEventDescriptor::recordDescriptor(),
                             pendra::kQuickEntryPropertiesKeyword);
    EXPECT_THAT(devtools::autofillReplyLines(empty),
                ElementsAre("reply PNDR/sqep", "qepp empty", "reply end"));

    auto text = reply();
    text.setParamDescriptor(AppleEventDescriptor::descriptorWithString("odd"),
                            pendra::kQuickEntryPropertiesKeyword);
    EXPECT_THAT(devtools::autofillReplyLines(text),
                ElementsAre("reply PNDR/sqep", "qepp 'utxt' \"odd\"", "reply end"));
}

TEST(FactLinesTest, NotificationsShowTheirObjectAndUserInfoInKeyOrder) {
    EXPECT_THAT(devtools::notificationLines("PendraMacSandboxHelperDidLaunchNotification",
                                            std::nullopt, {}),
                ElementsAre("notification PendraMacSandboxHelperDidLaunchNotification"));
    EXPECT_THAT(
        devtools::notificationLines("N", std::string("obj"),
                                    {{"Zeta", "last"}, {"ApplicationName", "Sample \"Doc\""}}),
        ElementsAre("notification N", "notification-object N \"obj\"",
                    "notification-info N ApplicationName \"Sample \\\"Doc\\\"\"",
                    "notification-info N Zeta \"last\""));
}

TEST(FactLinesTest, OnlyTheHelpersNotificationsCount) {
    EXPECT_TRUE(devtools::isHelperNotification("PendraMacSandboxHelperDidInstallNotification"));
    EXPECT_TRUE(devtools::isHelperNotification(
        pendra::PendraMacSandboxHelperDidFailDueToMissingPermissionsNotification));
    EXPECT_FALSE(devtools::isHelperNotification("SomethingElseDidLaunchNotification"));
    EXPECT_FALSE(devtools::isHelperNotification("XPendraMacSandboxHelperDidLaunchNotification"));
}

}  // namespace
