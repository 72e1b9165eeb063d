// The Services command against a desktop of scripted selections and a recording sender: which
// selection goes, when nothing is sent, what the pasteboard holds, and what the person reads.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <deque>

#include "helper/constants.h"
#include "platform/fake/fake_platform.h"
#include "tools/services/services_tool.h"

namespace {

using services_tool::Selection;
using services_tool::SelectionText;
using Outcome = services_tool::SelectionText::Outcome;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

class ScriptedDesktop : public services_tool::Desktop {
  public:
    SelectionText readSelection(Selection which, std::chrono::milliseconds timeout,
                                std::size_t limit) override {
        asked.push_back(which);
        timeouts.push_back(timeout);
        limits.push_back(limit);
        const auto found = selections.find(which);
        return found == selections.end() ? SelectionText{Outcome::none, {}, "nothing"}
                                         : found->second;
    }

    platform::OSStatus sendServicesRequest(const std::string& provider, const std::string& message,
                                           const platform::Pasteboard& pasteboard,
                                           std::string* error) override {
        sent.push_back({provider, message, pasteboard});
        if (error != nullptr) {
            *error = refusal;
        }
        return status;
    }

    struct Request {
        std::string provider;
        std::string message;
        platform::Pasteboard pasteboard;
    };
    std::map<Selection, SelectionText> selections;
    std::vector<Selection> asked;
    std::vector<std::chrono::milliseconds> timeouts;
    std::vector<std::size_t> limits;
    std::vector<Request> sent;
    platform::OSStatus status = platform::noErr;
    std::string refusal;
};

class ServicesToolTest : public ::testing::Test {
  protected:
    int run(const std::vector<std::string>& arguments = {}) {
        return services_tool::servicesToolMain(arguments, "tool", desktop);
    }

    platform::fake::FakePlatform fake;
    platform::ScopedInstall installed{fake.services()};
    ScriptedDesktop desktop;
};

struct SelectionCase {
    const char* name;
    std::map<Selection, SelectionText> selections;
    std::vector<std::string> arguments;
    int exitStatus;
    std::vector<Selection> asked;
    std::optional<std::string> sentText;  // absent: not sent; "": sent without a selection
    const char* logged;                   // a part of the one console line, or "" for none
};

TEST_F(ServicesToolTest, SendsTheFirstSelectionThatHoldsTextAndNothingWhenItsOwnerFails) {
    const SelectionText primary{Outcome::text, "chosen words", "the X11 PRIMARY selection"};
    const SelectionText copied{Outcome::text, "copied words", "the X11 CLIPBOARD selection"};
    const SelectionText stuck{Outcome::noAnswer, {}, "the owner did not answer in time"};
    const SelectionText huge{Outcome::tooLarge, {}, "it holds more than 16777216 bytes"};
    const SelectionText empty{Outcome::text, "", "the X11 PRIMARY selection"};
    const SelectionText none{Outcome::none, {}, "the X11 PRIMARY selection has no owner"};
    const SelectionText noCopy{Outcome::none, {}, "the X11 CLIPBOARD selection has no owner"};
    const SelectionText noDisplay{Outcome::unavailable, {}, "no X11 display"};
    const std::vector<SelectionCase> cases{
        {"the primary selection first",
         {{Selection::primary, primary}, {Selection::clipboard, copied}},
         {},
         0,
         {Selection::primary},
         "chosen words",
         ""},
        {"the clipboard when nothing is selected",
         {{Selection::primary, none}, {Selection::clipboard, copied}},
         {},
         0,
         {Selection::primary, Selection::clipboard},
         "copied words",
         ""},
        {"the clipboard when the selection is empty",
         {{Selection::primary, empty}, {Selection::clipboard, copied}},
         {},
         0,
         {Selection::primary, Selection::clipboard},
         "copied words",
         ""},
        {"only the selections asked for, in their order",
         {{Selection::primary, primary}, {Selection::clipboard, copied}},
         {"--selection", "clipboard"},
         0,
         {Selection::clipboard},
         "copied words",
         ""},
        {"an owner that does not answer stops the command",
         {{Selection::primary, stuck}, {Selection::clipboard, copied}},
         {},
         2,
         {Selection::primary},
         std::nullopt,
         "Not sending the primary selection: the owner did not answer in time. Nothing was sent"},
        {"a text too large stops the command",
         {{Selection::primary, huge}},
         {},
         2,
         {Selection::primary},
         std::nullopt,
         "Not sending the primary selection: it holds more than 16777216 bytes"},
        {"nothing selected anywhere asks for the context alone",
         {{Selection::primary, empty}, {Selection::clipboard, noCopy}},
         {},
         0,
         {Selection::primary, Selection::clipboard},
         "",
         "Nothing is selected (the X11 PRIMARY selection is empty; the X11 CLIPBOARD selection "
         "has no owner); asking for a quick entry with the context alone"},
        {"no desktop at all sends nothing, its reason said once",
         {{Selection::primary, noDisplay}, {Selection::clipboard, noDisplay}},
         {},
         2,
         {Selection::primary, Selection::clipboard},
         std::nullopt,
         "Cannot read a selection: no X11 display. Nothing was sent"},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.name);
        fake.log.entries.clear();
        desktop = ScriptedDesktop();
        desktop.selections = each.selections;
        EXPECT_EQ(run(each.arguments), each.exitStatus);
        EXPECT_EQ(desktop.asked, each.asked);
        if (!each.sentText) {
            EXPECT_THAT(desktop.sent, IsEmpty());
        } else {
            ASSERT_EQ(desktop.sent.size(), 1u);
            const auto& pasteboard = desktop.sent[0].pasteboard;
            EXPECT_EQ(desktop.sent[0].provider, pendra::kHelperBundleIdentifier);
            EXPECT_EQ(desktop.sent[0].message, "quickEntryWithAutofill");
            if (each.sentText->empty()) {
                EXPECT_THAT(pasteboard.types, IsEmpty());
            } else {
                EXPECT_THAT(pasteboard.types,
                            ElementsAre("public.utf8-plain-text", "NSStringPboardType"));
                EXPECT_EQ(pasteboard.stringForType("NSStringPboardType"), *each.sentText);
                EXPECT_EQ(pasteboard.stringForType("public.utf8-plain-text"), *each.sentText);
            }
        }
        if (each.logged[0] == '\0') {
            EXPECT_THAT(fake.log.console(), IsEmpty());
        } else {
            EXPECT_THAT(fake.log.console(), ElementsAre(HasSubstr(each.logged)));
        }
    }
}

TEST_F(ServicesToolTest, AHelperThatDoesNotRunOrRefusesIsNamedWithExitStatusOne) {
    desktop.selections[Selection::primary] = {Outcome::text, "words", "PRIMARY"};
    desktop.status = platform::procNotFound;
    EXPECT_EQ(run({"--provider", "org.example.Provider"}), 1);
    ASSERT_EQ(desktop.sent.size(), 1u);
    EXPECT_EQ(desktop.sent[0].provider, "org.example.Provider");
    EXPECT_THAT(fake.log.console(),
                ElementsAre(HasSubstr("The helper (org.example.Provider) does not run in this "
                                      "session, so nothing was sent")));

    fake.log.entries.clear();
    desktop.status = platform::paramErr;
    desktop.refusal = "The service quickEntryWithAutofill is not offered by this application";
    EXPECT_EQ(run(), 1);
    EXPECT_THAT(fake.log.console(),
                ElementsAre(HasSubstr("refused the selection: The service quickEntryWithAutofill "
                                      "is not offered by this application (status -50)")));
}

TEST_F(ServicesToolTest, ReadsEachSelectionWithTheTimeoutAndLimitItIsGiven) {
    EXPECT_EQ(run({"--timeout", "0.25", "--selection", "clipboard", "--selection", "primary"}), 0);
    EXPECT_THAT(desktop.asked, ElementsAre(Selection::clipboard, Selection::primary));
    EXPECT_THAT(desktop.timeouts,
                ElementsAre(std::chrono::milliseconds(250), std::chrono::milliseconds(250)));
    EXPECT_THAT(desktop.limits,
                ElementsAre(services_tool::kSelectionLimit, services_tool::kSelectionLimit));
}

TEST_F(ServicesToolTest, AWrongCommandLineSendsNothingAndSaysWhy) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
        {{"--selection", "secondary"}, "--selection takes primary or clipboard, not secondary"},
        {{"--timeout", "0"}, "--timeout takes seconds above 0 and at most 60, not 0"},
        {{"--timeout", "nan"}, "--timeout takes seconds above 0 and at most 60, not nan"},
        {{"--timeout", "2s"}, "--timeout takes seconds above 0 and at most 60, not 2s"},
        {{"--timeout"}, "--timeout needs a value"},
        {{"--provider", ""}, "--provider needs a bundle identifier"},
        {{"words"}, "unknown argument words"},
    };
    for (const auto& [arguments, reason] : cases) {
        SCOPED_TRACE(reason);
        fake.log.entries.clear();
        EXPECT_EQ(run(arguments), services_tool::kExitUsage);
        EXPECT_THAT(fake.log.console(), ElementsAre(reason + " (see tool --help)"));
    }
    EXPECT_THAT(desktop.asked, IsEmpty());
    EXPECT_THAT(desktop.sent, IsEmpty());
}

// The bus carries UTF-8 without null characters; what else a selection holds goes as U+FFFD,
// and the person is told how much.
TEST_F(ServicesToolTest, TextTheBusCannotCarryIsReplacedAndCounted) {
    const std::vector<std::tuple<std::string, std::string, std::size_t>> cases{
        {"plain words\n\twith blank lines\n\n", "plain words\n\twith blank lines\n\n", 0},
        {"caf\xC3\xA9 \xF0\x9F\x93\x9D", "caf\xC3\xA9 \xF0\x9F\x93\x9D", 0},
        {std::string("a\0b\0", 4), "ab", 2},
        {"bad \xFF byte", "bad \xEF\xBF\xBD byte", 1},
        {"kept \xEF\xBF\xBD and \xC3", "kept \xEF\xBF\xBD and \xEF\xBF\xBD", 1},
    };
    for (const auto& [text, carried, replaced] : cases) {
        SCOPED_TRACE(::testing::PrintToString(text));
        std::size_t count = 99;
        EXPECT_EQ(services_tool::transportableText(text, &count), carried);
        EXPECT_EQ(count, replaced);
    }

    desktop.selections[Selection::primary] = {Outcome::text, std::string("x\0y", 3), "PRIMARY"};
    EXPECT_EQ(run(), 0);
    ASSERT_EQ(desktop.sent.size(), 1u);
    EXPECT_EQ(desktop.sent[0].pasteboard.stringForType("NSStringPboardType"), "xy");
    EXPECT_THAT(fake.log.console(),
                ElementsAre(HasSubstr("The selection from PRIMARY held 1 characters that are no "
                                      "text")));
}

}  // namespace
