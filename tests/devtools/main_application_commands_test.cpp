#include "devtools/main_application_commands.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "helper/constants.h"

namespace {

using devtools::MainApplicationCommand;
using devtools::parseMainApplicationCommandLine;
using platform::AppleEventDescriptor;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

TEST(MainApplicationCommandLineTest, WithoutACommandItListensAndKeepsItsLaunchArguments) {
    auto parsed = parseMainApplicationCommandLine(
        {"--pendra-sandbox-helper-installed", "--listen-seconds", "2.5", "extra"});
    ASSERT_TRUE(parsed.options) << parsed.error;
    EXPECT_EQ(parsed.options->command, MainApplicationCommand::Listen);
    EXPECT_DOUBLE_EQ(parsed.options->listenSeconds, 2.5);
    EXPECT_THAT(parsed.options->launchArguments,
                ElementsAre("--pendra-sandbox-helper-installed", "extra"));

    auto bare = parseMainApplicationCommandLine({});
    ASSERT_TRUE(bare.options);
    EXPECT_EQ(bare.options->command, MainApplicationCommand::Listen);
    EXPECT_TRUE(bare.options->launchArguments.empty());
    EXPECT_EQ(bare.options->helper, pendra::kHelperBundleIdentifier);
}

TEST(MainApplicationCommandLineTest, InvokeTakesItsRecipientRecordAndWait) {
    auto parsed = parseMainApplicationCommandLine(
        {"--timeout", "3", "invoke", "--reply-to", "com.orvano.PendraMac.development", "--note",
         "mine", "--title", "T", "--tags", "a, b", "--wait", "--count", "2", "--helper", "x.y"});
    ASSERT_TRUE(parsed.options) << parsed.error;
    const auto& options = *parsed.options;
    EXPECT_EQ(options.command, MainApplicationCommand::Invoke);
    EXPECT_DOUBLE_EQ(options.timeoutSeconds, 3);
    EXPECT_EQ(options.replyRecipient, "com.orvano.PendraMac.development");
    EXPECT_EQ(options.note, "mine");
    EXPECT_EQ(options.title, "T");
    EXPECT_EQ(options.tags, "a, b");
    EXPECT_TRUE(options.waitForReply);
    EXPECT_EQ(options.replyCount, 2);
    EXPECT_EQ(options.helper, "x.y");
}

TEST(MainApplicationCommandLineTest, ANoteFileGivesTheNoteWhole) {
    char path[] = "/tmp/pendra-note-XXXXXX";
    const int descriptor = mkstemp(path);
    ASSERT_GE(descriptor, 0);
    close(descriptor);
    const std::string note = "[b]large[/b]\n" + std::string(300 * 1024, 'x') + '\0' + "end";
    std::ofstream(path, std::ios::binary) << note;
    const auto parsed = parseMainApplicationCommandLine({"invoke", "--note-file", path});
    std::remove(path);
    ASSERT_TRUE(parsed.options) << parsed.error;
    EXPECT_EQ(parsed.options->note, note);

    const auto missing =
        parseMainApplicationCommandLine({"invoke", "--note-file", "/nonexistent/note"});
    EXPECT_FALSE(missing.options);
    EXPECT_EQ(missing.error, "cannot read the note from /nonexistent/note");
}

TEST(MainApplicationCommandLineTest, CommandsRefuseWhatDoesNotBelongToThem) {
    struct Case {
        std::vector<std::string> arguments;
        std::string reason;
    };
    const std::vector<Case> cases{
        {{"update"}, "exactly one bundle path"},
        {{"update", "a", "b"}, "exactly one bundle path"},
        {{"version", "--note", "x"}, "belongs to the invoke command"},
        {{"disable", "--wait"}, "belongs to the invoke command"},
        {{"version", "--frobnicate"}, "unknown option --frobnicate"},
        {{"version", "stray"}, "unexpected argument stray"},
        {{"wait-reply", "--timeout", "0"}, "seconds above 0"},
        {{"wait-reply", "--timeout", "soon"}, "seconds above 0"},
        {{"wait-reply", "--count", "0"}, "from 1 to 1000"},
        {{"invoke", "--reply-to"}, "needs a value"},
        {{"--listen-seconds"}, "seconds above 0"},
        {{"open-url"}, "exactly one URL"},
    };
    for (const auto& c : cases) {
        auto parsed = parseMainApplicationCommandLine(c.arguments);
        EXPECT_FALSE(parsed.options) << c.arguments[0];
        EXPECT_THAT(parsed.error, HasSubstr(c.reason)) << c.arguments[0];
    }
}

TEST(MainApplicationCommandLineTest, OpenURLTakesItsURL) {
    auto parsed = parseMainApplicationCommandLine({"open-url", "pendrasample://open?x=1"});
    ASSERT_TRUE(parsed.options) << parsed.error;
    EXPECT_EQ(parsed.options->command, MainApplicationCommand::OpenURL);
    EXPECT_EQ(parsed.options->url, "pendrasample://open?x=1");
    EXPECT_EQ(parsed.options->lingerSeconds, 0);

    auto lingering = parseMainApplicationCommandLine({"open-url", "x:y", "--linger", "3"});
    ASSERT_TRUE(lingering.options) << lingering.error;
    EXPECT_DOUBLE_EQ(lingering.options->lingerSeconds, 3);
    EXPECT_FALSE(parseMainApplicationCommandLine({"version", "--linger", "3"}).options);
}

TEST(MainApplicationCommandLineTest, HelpWinsAndExplainsEveryCommand) {
    auto parsed = parseMainApplicationCommandLine({"version", "--help"});
    ASSERT_TRUE(parsed.options);
    EXPECT_EQ(parsed.options->command, MainApplicationCommand::Help);
    const std::string usage = devtools::mainApplicationUsage("PendraMac");
    for (const char* word :
         {"version", "update", "invoke", "disable", "wait-reply", "watch", "launch-arguments",
          "--pendra-sandbox-helper-installed", "--timeout", "'pdrr'", "'pdap'", "'qepp'"}) {
        EXPECT_THAT(usage, HasSubstr(word));
    }
}

TEST(MainApplicationEventsTest, EveryEventGoesToTheHelperByBundleIdentifier) {
    devtools::MainApplicationOptions options;
    options.helper = "com.orvano.PendraMacSandboxHelper";
    for (auto [command, id] : {std::pair{MainApplicationCommand::Version, "pdvn"},
                               std::pair{MainApplicationCommand::Disable, "pdds"},
                               std::pair{MainApplicationCommand::Invoke, "pdiv"},
                               std::pair{MainApplicationCommand::Update, "pdup"}}) {
        options.command = command;
        auto event = devtools::eventForCommand(options);
        ASSERT_TRUE(event);
        EXPECT_EQ(platform::fourCharCodeString(event->eventClass()), "pdqe");
        EXPECT_EQ(platform::fourCharCodeString(event->eventID()), id);
        auto target = event->targetDescriptor();
        ASSERT_TRUE(target);
        EXPECT_EQ(target->descriptorType(), platform::typeApplicationBundleID);
        EXPECT_EQ(std::string(target->data().begin(), target->data().end()), options.helper);
    }
    options.command = MainApplicationCommand::WaitReply;
    EXPECT_FALSE(devtools::eventForCommand(options));
}

TEST(MainApplicationEventsTest, InvokeCarriesRecipientAndPropertiesOnlyWhenGiven) {
    devtools::MainApplicationOptions options;
    options.command = MainApplicationCommand::Invoke;
    auto plain = devtools::eventForCommand(options);
    ASSERT_TRUE(plain);
    EXPECT_FALSE(plain->paramDescriptorForKeyword(pendra::kReplyRecipientKeyword));
    EXPECT_FALSE(plain->paramDescriptorForKeyword(pendra::kAdditionalPropertiesKeyword));

    options.replyRecipient = "com.orvano.PendraMac.development";
    options.tags = "t";
    options.note = "n";
    auto full = devtools::eventForCommand(options);
    ASSERT_TRUE(full);
    auto recipient = full->paramDescriptorForKeyword(pendra::kReplyRecipientKeyword);
    ASSERT_TRUE(recipient);
    EXPECT_EQ(recipient->descriptorType(), platform::typeUnicodeText);
    EXPECT_EQ(recipient->stringValue(), "com.orvano.PendraMac.development");
    auto record = full->paramDescriptorForKeyword(pendra::kAdditionalPropertiesKeyword);
    ASSERT_TRUE(record);
    ASSERT_TRUE(record->isRecord());
    ASSERT_EQ(record->numberOfItems(), 2);
    EXPECT_EQ(record->keywordForDescriptorAtIndex(1), pendra::kNoteKeyword);
    EXPECT_EQ(record->keywordForDescriptorAtIndex(2), pendra::kTagNamesKeyword);
    EXPECT_EQ(record->descriptorForKeyword(pendra::kTagNamesKeyword)->stringValue(), "t");
    EXPECT_FALSE(record->descriptorForKeyword(pendra::kTitleKeyword));
}

TEST(MainApplicationEventsTest, UpdateCarriesThePathAsItsDirectObject) {
    auto parsed = parseMainApplicationCommandLine({"update", "/tmp/New Helper.app"});
    ASSERT_TRUE(parsed.options);
    auto event = devtools::eventForCommand(*parsed.options);
    ASSERT_TRUE(event);
    auto path = event->paramDescriptorForKeyword(platform::keyDirectObject);
    ASSERT_TRUE(path);
    EXPECT_EQ(path->stringValue(), "/tmp/New Helper.app");
}

TEST(MainApplicationEventsTest, AnswersReportStatusAndTheVersionParts) {
    auto reply = AppleEventDescriptor::appleEventWithEventClass(
        platform::fourCharCode("aevt"), platform::fourCharCode("ansr"),
        AppleEventDescriptor::nullDescriptor(), 0, 0);
    reply.setParamDescriptor(AppleEventDescriptor::descriptorWithInt32(12),
                             pendra::kMajorVersionKeyword);
    reply.setParamDescriptor(AppleEventDescriptor::descriptorWithInt32(7),
                             pendra::kMinorVersionKeyword);
    EXPECT_THAT(devtools::answerLines(pendra::kGetVersionEventID, platform::noErr, reply),
                ElementsAre("answer pdvn status 0", "pdmj 'long' 12", "pdmi 'long' 7"));

    reply.removeDescriptorWithKeyword(pendra::kMinorVersionKeyword);
    EXPECT_THAT(devtools::answerLines(pendra::kGetVersionEventID, platform::noErr, reply),
                ElementsAre("answer pdvn status 0", "pdmj 'long' 12", "pdmi absent"));

    EXPECT_THAT(devtools::answerLines(pendra::kGetVersionEventID, platform::procNotFound, reply),
                ElementsAre("answer pdvn status -600"));

    auto refused = AppleEventDescriptor::appleEventWithEventClass(
        platform::fourCharCode("aevt"), platform::fourCharCode("ansr"),
        AppleEventDescriptor::nullDescriptor(), 0, 0);
    refused.setParamDescriptor(AppleEventDescriptor::descriptorWithInt32(-1708),
                               platform::keyErrorNumber);
    EXPECT_THAT(devtools::answerLines(pendra::kDisableEventID, platform::noErr, refused),
                ElementsAre("answer pdds status 0", "errn 'long' -1708"));
}

}  // namespace
