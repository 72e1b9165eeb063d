#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "applications.h"
#include "parser.h"
#include "platform/fake/fake_bundles.h"
#include "script_test_support.h"

namespace {

using platform::AppleEventDescriptor;
using platform::fourCharCode;
using platform::NSAppleScriptErrorAppName;
using platform::NSAppleScriptErrorMessage;
using platform::PropertyList;
using script_test::FakeScriptableApplication;
using script_test::runScript;
using script_test::ScriptRun;
using script_test::specifierPath;
using script_test::subroutineCall;
using ::testing::ElementsAre;

const std::string kEditor = "com.example.editor";

AppleEventDescriptor text(const std::string& value) {
    return AppleEventDescriptor::descriptorWithString(value);
}

// An object specifier as an application hands it back: element `index` of class `want`.
AppleEventDescriptor element(const char (&want)[5], std::int32_t index,
                             const AppleEventDescriptor& from = AppleEventDescriptor()) {
    return AppleEventDescriptor::objectSpecifierWithDesiredClass(
        fourCharCode(want), from, fourCharCode("indx"),
        AppleEventDescriptor::descriptorWithInt32(index));
}

class ScriptApplicationsTest : public ::testing::Test {
  protected:
    platform::fake::FakePlatform fake;
    platform::ScopedInstall installed{fake.services()};
    FakeScriptableApplication editor{fake, kEditor};
};

TEST_F(ScriptApplicationsTest, SpecifiersAreResolvedWithGetDataEvents) {
    editor.answers["pnam of docu 1"] = text("Notes.txt");
    editor.answers["pURL of docu 1"] = text("file:///home/user/Notes.txt");
    const ScriptRun run = runScript(
        "with timeout of 10 seconds\n"
        "  tell application id \"com.example.editor\"\n"
        "    set theTitle to name of front document\n"
        "    set theLink to URL of document 1\n"
        "  end tell\n"
        "end timeout\n"
        "return {theTitle, theLink}");
    ASSERT_TRUE(run.result.has_value()) << run.errorText(NSAppleScriptErrorMessage);
    EXPECT_EQ(run.result->description(),
              "['utxt'(\"Notes.txt\"), 'utxt'(\"file:///home/user/Notes.txt\")]");
    EXPECT_THAT(editor.asked, ElementsAre("pnam of docu 1", "pURL of docu 1"));

    ASSERT_EQ(fake.appleEvents.sent.size(), 2u);
    const auto& sent = fake.appleEvents.sent[0];
    EXPECT_EQ(sent.event.eventClass(), platform::kAECoreSuite);
    EXPECT_EQ(sent.event.eventID(), platform::kAEGetData);
    EXPECT_EQ(sent.sendMode, platform::kAEWaitReply);
    EXPECT_EQ(sent.timeout, 600);
    EXPECT_EQ(sent.event.targetDescriptor()->descriptorType(), platform::typeApplicationBundleID);
    const auto direct = sent.event.paramDescriptorForKeyword(platform::keyDirectObject);
    ASSERT_TRUE(direct.has_value());
    EXPECT_EQ(direct->descriptorType(), platform::typeObjectSpecifier);
    EXPECT_EQ(direct->descriptorForKeyword(platform::keyAEDesiredClass)->typeCodeValue(),
              fourCharCode("prop"));

    // Outside the timeout block the default of two minutes applies.
    fake.appleEvents.sent.clear();
    runScript("tell application id \"com.example.editor\" to get name of front document");
    ASSERT_EQ(fake.appleEvents.sent.size(), 1u);
    EXPECT_EQ(fake.appleEvents.sent[0].timeout, 120 * 60);

    // A timeout that is no number of seconds keeps the default; a tiny one is one tick.
    fake.appleEvents.sent.clear();
    runScript(
        "with timeout of (\"inf\" as real) seconds\n"
        "  tell application id \"com.example.editor\" to get name of front document\n"
        "end timeout\n"
        "with timeout of 0 seconds\n"
        "  tell application id \"com.example.editor\" to get name of front document\n"
        "end timeout");
    ASSERT_EQ(fake.appleEvents.sent.size(), 2u);
    EXPECT_EQ(fake.appleEvents.sent[0].timeout, 120 * 60);
    EXPECT_EQ(fake.appleEvents.sent[1].timeout, 1);
}

TEST_F(ScriptApplicationsTest, ReferencesFromRepliesAddressFurtherEvents) {
    const AppleEventDescriptor tab = element("bTab", 3, element("cwin", 1));
    editor.answers["acTa of cwin 1"] = tab;
    editor.answers["titl of bTab 3 of cwin 1"] = text("Start page");
    AppleEventDescriptor selection = AppleEventDescriptor::listDescriptor();
    selection.insertDescriptor(element("cobj", 7), 0);
    editor.answers["sele"] = selection;
    editor.answers["pnam of cobj 7"] = text("Seven");
    editor.answers["ID   of cobj 7"] = AppleEventDescriptor::descriptorWithInt32(77);

    const ScriptRun run = runScript(
        "tell application id \"com.example.editor\"\n"
        "  set theTab to active tab of front window\n"
        "  set theTitle to title of theTab\n"
        "  set theItems to selection\n"
        "  if theItems is {} then return {\"\", \"\"}\n"
        "  set theItem to item 1 of theItems\n"
        "  set theLink to \"x://\" & id of theItem & \"/\" & name of theItem\n"
        "end tell\n"
        "return {theTitle, theLink}");
    ASSERT_TRUE(run.result.has_value()) << run.errorText(NSAppleScriptErrorMessage);
    EXPECT_EQ(run.result->description(), "['utxt'(\"Start page\"), 'utxt'(\"x://77/Seven\")]");
    // One event per specifier, however long its chain; list items are taken locally.
    EXPECT_THAT(editor.asked, ElementsAre("acTa of cwin 1", "titl of bTab 3 of cwin 1", "sele",
                                          "ID   of cobj 7", "pnam of cobj 7"));

    editor.asked.clear();
    editor.answers["pnam of ditm \"/tmp/x\""] = text("x");
    editor.answers["psxp of file"] = text("/tmp/x");
    const ScriptRun named = runScript(
        "tell application id \"com.example.editor\"\n"
        "  return name of disk item (POSIX path of file)\n"
        "end tell");
    EXPECT_EQ(named.text(), "x");
    EXPECT_THAT(editor.asked, ElementsAre("psxp of file", "pnam of ditm \"/tmp/x\""));

    // Parentheses get the inner specifier first; the path is then taken from its value here.
    editor.asked.clear();
    editor.answers["FNam of acwb"] = text("file:///home/user/Book%201.xlsx");
    const ScriptRun path = runScript(
        "tell application id \"com.example.editor\"\n"
        "  return POSIX path of (full name of active workbook)\n"
        "end tell");
    EXPECT_EQ(path.text(), "/home/user/Book 1.xlsx");
    EXPECT_THAT(editor.asked, ElementsAre("FNam of acwb"));
}

TEST_F(ScriptApplicationsTest, FailuresOfTheTargetBecomeScriptErrors) {
    const std::string script =
        "tell application id \"com.example.editor\" to return name of front document";
    const ScriptRun missing = runScript(script);
    EXPECT_FALSE(missing.result.has_value());
    EXPECT_EQ(missing.errorNumber(), -1728);
    EXPECT_EQ(missing.errorText(NSAppleScriptErrorAppName), kEditor);
    EXPECT_THAT(missing.errorText(NSAppleScriptErrorMessage),
                ::testing::HasSubstr("Can’t get name of document 1"));
    // The range covers the failing specifier.
    EXPECT_EQ(missing.errorText(platform::NSAppleScriptErrorRange), "NSRange: {51, 22}");

    editor.refuseWith = platform::errAEEventNotPermitted;
    const ScriptRun refused = runScript(script);
    EXPECT_EQ(refused.errorNumber(), -1743);
    EXPECT_THAT(refused.errorText(NSAppleScriptErrorMessage),
                ::testing::HasSubstr("Not authorized"));

    const ScriptRun notRunning =
        runScript("tell application id \"com.example.other\" to get name of window 1");
    EXPECT_EQ(notRunning.errorNumber(), -600);
    EXPECT_EQ(notRunning.errorText(NSAppleScriptErrorAppName), "com.example.other");

    fake.appleEvents.responder = nullptr;
    fake.appleEvents.sendStatus = platform::errAETimeout;
    EXPECT_EQ(runScript(script).errorNumber(), -1712);

    // A reply with no value cannot be got.
    fake.appleEvents.sendStatus = platform::noErr;
    EXPECT_EQ(runScript(script).errorNumber(), -1728);

    // A script can catch what the application answered.
    fake.appleEvents.sendStatus = platform::errAEEventNotPermitted;
    EXPECT_EQ(runScript("try\n  " + script + "\non error m number n\n  return n\nend try")
                  .result->int32Value(),
              -1743);
}

TEST_F(ScriptApplicationsTest, ApplicationsAreFoundByName) {
    fake.workspace.frontmost = platform::RunningApplication{77, kEditor, "Editor", std::nullopt};
    editor.answers["pnam of cwin 1"] = text("Main");
    EXPECT_EQ(runScript("tell application \"editor\" to return name of window 1").text(), "Main");

    const ScriptRun unknown = runScript("tell application \"Nowhere\" to return 1");
    EXPECT_EQ(unknown.errorNumber(), -1728);
    EXPECT_EQ(unknown.errorText(NSAppleScriptErrorAppName), "Nowhere");

    // The name lookup can be given by the caller.
    platform::applescript::Options options;
    std::vector<std::string> looked;
    options.applicationNamed = [&](const std::string& name) -> std::optional<std::string> {
        looked.push_back(name);
        return kEditor;
    };
    EXPECT_EQ(runScript("tell application \"Writer\" to get name of window 1", options).text(),
              "Main");
    EXPECT_THAT(looked, ElementsAre("Writer"));

    // An identifier in another case reaches the application under its own spelling.
    editor.answers["pnam of docu 1"] = text("Notes.txt");
    EXPECT_EQ(
        runScript("tell application id \"COM.example.Editor\" to return name of document 1").text(),
        "Notes.txt");
    EXPECT_EQ(runScript("tell application id \"com.example.nobody\" to return name of document 1")
                  .errorNumber(),
              -600);

    // Without a tell, a specifier has nothing to ask.
    EXPECT_EQ(runScript("return name of front document").errorNumber(), -1728);
}

TEST_F(ScriptApplicationsTest, RunningApplicationsAreFoundThroughTheWorkspace) {
    // Neither frontmost nor named by its identifier: only the workspace's list of running
    // applications knows it, under its declared spelling.
    fake.workspace.addRunningApplication({41, kEditor, "Writer", std::nullopt});
    editor.answers["pnam of cwin 1"] = text("Draft");
    EXPECT_EQ(runScript("tell application \"writer\" to return name of window 1").text(), "Draft");
    EXPECT_EQ(
        runScript("tell application id \"COM.EXAMPLE.EDITOR\" to return name of window 1").text(),
        "Draft");
}

TEST_F(ScriptApplicationsTest, WaitingForRepliesCountsAgainstTheBudget) {
    // A silent application: every event waits out its timeout, then times out.
    long waited = 0;
    fake.appleEvents.responder = [&](const AppleEventDescriptor&, AppleEventDescriptor*) {
        const long ticks = fake.appleEvents.sent.back().timeout;
        waited += ticks;
        std::this_thread::sleep_for(std::chrono::milliseconds(ticks * 1000 / 60));
        return platform::errAETimeout;
    };
    platform::applescript::Options options;
    options.maximumSeconds = 0.5;  // 30 ticks
    const std::string get = "tell application id \"com.example.editor\" to get name of document 1";
    for (const std::string& source :
         {"with timeout of 200 seconds\n  " + get + "\nend timeout",
          "with timeout of 0.1 seconds\n  repeat 1000 times\n    try\n      " + get +
              "\n    end try\n  end repeat\nend timeout"}) {
        SCOPED_TRACE(source);
        waited = 0;
        fake.appleEvents.sent.clear();
        const ScriptRun run = runScript(source, options);
        EXPECT_EQ(run.errorNumber(), platform::errAETimeout);
        EXPECT_EQ(run.errorText(NSAppleScriptErrorMessage),
                  "The script ran too long and was stopped.");
        // All waits together stay within the budget, give or take a tick of rounding each.
        EXPECT_LE(waited, 30 + static_cast<long>(fake.appleEvents.sent.size()));
    }
}

TEST(ScriptApplicationNamesTest, InstalledApplicationsAreFoundByTheirNames) {
    platform::fake::FakePlatform fake;
    platform::ScopedInstall installed(fake.services());
    const std::string path = "/home/user/Applications/Sample Editor.app";
    fake.workspace.addInstalledApplication("com.example.sample", path);
    auto bundle = std::make_shared<platform::fake::FakeBundle>(path, "com.example.sample");
    bundle->info["CFBundleName"] = PropertyList(std::string("Sampler"));
    fake.bundles.addBundle(bundle);

    using platform::applescript::bundleIdentifierForApplicationNamed;
    EXPECT_EQ(bundleIdentifierForApplicationNamed("Sample Editor"), "com.example.sample");
    EXPECT_EQ(bundleIdentifierForApplicationNamed("sampler"), "com.example.sample");
    EXPECT_EQ(bundleIdentifierForApplicationNamed("com.example.sample"), "com.example.sample");
    EXPECT_EQ(bundleIdentifierForApplicationNamed("Sample"), std::nullopt);
    EXPECT_EQ(bundleIdentifierForApplicationNamed("Nothing Like It"), std::nullopt);

    // A script names it the same way; the event goes to the identifier found.
    const ScriptRun run = runScript("tell application \"Sample Editor\" to get name of window 1");
    EXPECT_EQ(run.errorNumber(), -1728);
    ASSERT_EQ(fake.appleEvents.sent.size(), 1u);
    const auto target = fake.appleEvents.sent[0].event.targetDescriptor();
    EXPECT_EQ(std::string(target->data().begin(), target->data().end()), "com.example.sample");
    EXPECT_EQ(run.errorText(NSAppleScriptErrorAppName), "Sample Editor");
}

// --- The shipped connector table ---------------------------------------------------------

class ShippedScriptsTest : public ScriptApplicationsTest {
  protected:
    // The table is read from the source tree, beside the fake file manager the scripts see.
    void SetUp() override {
        std::ifstream file(PENDRA_SOURCE_DIR "/helper/resources/ApplicationConnectors.plist",
                           std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(file)),
                                std::istreambuf_iterator<char>());
        const auto table = PropertyList::readFromBytes(
            {reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
        ASSERT_TRUE(table && table->isDictionary());
        connectors = *table->dictionaryValue();
    }

    std::string scriptOf(const std::string& key, const std::string& kind) {
        const PropertyList* script = connectors.at(key).objectForKey(kind);
        return script != nullptr && script->stringValue() != nullptr ? *script->stringValue() : "";
    }

    // The generic script as the helper prepares it for a frontmost application.
    std::string genericScript(const std::string& name, const std::string& identifier) {
        std::string source = scriptOf(".unknown", "AppleScript");
        for (const auto& [placeholder, value] :
             {std::pair<std::string, std::string>{"CURRENTAPPNAME", name},
              std::pair<std::string, std::string>{"CURRENTBUNDLEID", identifier}}) {
            for (std::size_t at = source.find(placeholder); at != std::string::npos;
                 at = source.find(placeholder, at + value.size())) {
                source.replace(at, placeholder.size(), value);
            }
        }
        return source;
    }

    PropertyList::Dictionary connectors;
};

TEST_F(ShippedScriptsTest, EveryScriptCompilesAndAddressesItsApplication) {
    int scripts = 0;
    for (const auto& [key, connector] : connectors) {
        for (const char* kind : {"AppleScript", "AppleScriptUsingBundleID", "CallbackHandler"}) {
            const std::string source = scriptOf(key, kind);
            if (source.empty()) {
                continue;
            }
            SCOPED_TRACE(key + " " + kind);
            ++scripts;
            const auto parsed = platform::applescript::parse(source);
            if (const auto* error = std::get_if<platform::applescript::SyntaxError>(&parsed)) {
                ADD_FAILURE() << error->message << " at " << error->offset << ": "
                              << source.substr(error->offset, 40);
                continue;
            }
            if (std::string(kind) != "AppleScriptUsingBundleID") {
                continue;
            }
            // Run against an application that knows nothing: the first event goes to the
            // connector's application and the run ends in a “can't get” error, not a crash.
            fake.appleEvents.sent.clear();
            fake.appleEvents.responder = [&](const AppleEventDescriptor& event,
                                             AppleEventDescriptor* reply) {
                *reply = platform::fake::FakeAppleEventManager::emptyReply(event);
                reply->setParamDescriptor(
                    AppleEventDescriptor::descriptorWithInt32(platform::errAENoSuchObject),
                    platform::keyErrorNumber);
                return platform::noErr;
            };
            const ScriptRun run = runScript(source);
            EXPECT_EQ(run.errorNumber(), -1728);
            ASSERT_FALSE(fake.appleEvents.sent.empty());
            const auto target = fake.appleEvents.sent[0].event.targetDescriptor();
            EXPECT_EQ(platform::applescript::lowercased(
                          std::string(target->data().begin(), target->data().end())),
                      key);
            EXPECT_EQ(fake.appleEvents.sent[0].timeout, 600);
        }
    }
    EXPECT_GT(scripts, 25);
}

TEST_F(ShippedScriptsTest, DamagedScriptsFailCleanly) {
    // Every cut-off and every script with a stray character either runs or answers an error;
    // none crashes or hangs.
    platform::applescript::Options options;
    options.maximumSteps = 5'000;
    int failures = 0;
    const auto check = [&](const std::string& source) {
        const ScriptRun run = runScript(source, options);
        if (!run.result) {
            ++failures;
            EXPECT_NE(run.errorNumber(), 0) << source;
            EXPECT_FALSE(run.errorText(NSAppleScriptErrorMessage).empty()) << source;
        }
    };
    for (const std::string key : {".unknown", "com.microsoft.outlook", "com.apple.mail"}) {
        const std::string kind = key == ".unknown" ? "AppleScript" : "AppleScriptUsingBundleID";
        const std::string source = scriptOf(key, kind);
        ASSERT_FALSE(source.empty());
        for (std::size_t cut = 0; cut < source.size(); cut += 3) {
            check(source.substr(0, cut));
        }
        for (std::size_t at = 0; at < source.size(); at += 5) {
            for (const char stray : {'(', '"', '{', '|', ')', '-'}) {
                std::string damaged = source;
                damaged[at] = stray;
                check(damaged);
            }
        }
    }
    EXPECT_GT(failures, 100);
}

TEST_F(ShippedScriptsTest, ConnectorScriptsCaptureFromAnAnsweringApplication) {
    // The mail connector strips the angle brackets of a message id.
    FakeScriptableApplication mail(fake, "com.apple.mail");
    AppleEventDescriptor selection = AppleEventDescriptor::listDescriptor();
    selection.insertDescriptor(element("mssg", 1), 0);
    mail.answers["sele"] = selection;
    mail.answers["subj of mssg 1"] = text("Hello");
    mail.answers["meid of mssg 1"] = text("<abc@host>");
    const ScriptRun run = runScript(scriptOf("com.apple.mail", "AppleScriptUsingBundleID"));
    ASSERT_TRUE(run.result.has_value()) << run.errorText(NSAppleScriptErrorMessage);
    EXPECT_EQ(run.result->description(),
              "['utxt'(\"Hello\"), 'utxt'(\"message://%3Cabc@host%3E\")]");

    // An empty selection answers two empty texts.
    mail.answers["sele"] = AppleEventDescriptor::listDescriptor();
    EXPECT_EQ(
        runScript(scriptOf("com.apple.mail", "AppleScriptUsingBundleID")).result->description(),
        "['utxt'(\"\"), 'utxt'(\"\")]");

    // The other mail client's connector looks for the Message-ID header line.
    FakeScriptableApplication outlook(fake, "com.microsoft.Outlook");
    outlook.answers["selO"] = selection;
    outlook.answers["subj of mssg 1"] = text("Re: plan");
    outlook.answers["hdrs of mssg 1"] = text("From: a@b\r\nMessage-ID:  <id-9@host>\r\nTo: c@d");
    const ScriptRun headers =
        runScript(scriptOf("com.microsoft.outlook", "AppleScriptUsingBundleID"));
    ASSERT_TRUE(headers.result.has_value()) << headers.errorText(NSAppleScriptErrorMessage);
    EXPECT_EQ(headers.result->description(),
              "['utxt'(\"Re: plan\"), 'utxt'(\"message://%3Cid-9@host%3E\")]");
}

TEST_F(ShippedScriptsTest, CallbackHandlerBuildsTitleAndNotesWithWhatItSplicesEscaped) {
    auto script = platform::applescript::makeScript(
        scriptOf("com.agiletortoise.drafts-osx", "CallbackHandler"));
    const auto call = [&script](const std::string& uuid, const std::string& body) {
        AppleEventDescriptor params = AppleEventDescriptor::recordDescriptor();
        AppleEventDescriptor fields = AppleEventDescriptor::listDescriptor();
        for (const std::string& item : {std::string("uuid"), uuid, std::string("text"), body}) {
            fields.insertDescriptor(text(item), 0);
        }
        params.setDescriptor(fields, platform::keyASUserRecordFields);
        platform::ScriptErrorInfo error;
        const auto result =
            script->executeAppleEvent(subroutineCall("handle_callback", {params}), &error);
        EXPECT_TRUE(result.has_value()) << error[platform::NSAppleScriptErrorMessage].description();
        return result ? result->description() : std::string();
    };
    EXPECT_EQ(call("U-1", "Shopping\nmilk"),
              "['utxt'(\"Shopping\"), 'utxt'(\"[url=drafts://open?uuid=U-1]Shopping[/url]\")]");
    // What the application sends cannot end the link token or add one of its own.
    EXPECT_EQ(call("x][/url][url=http://evil.example/]", "[/url] a&b #1"),
              "['utxt'(\"[/url] a&b #1\"), 'utxt'(\"[url=drafts://open?uuid=x%5D%5B/"
              "url%5D%5Burl=http://evil.example/%5D](/url) a&b #1[/url]\")]");
    // Nor can NUL (a decoded "%00"), line breaks, quotes or spaces: the link encodes them, and
    // the title keeps no control characters.
    const char uuid[] = "1 \0\r\n\"<#?%";
    const char body[] = "Ti[t]le\x01\0x\nsecond";
    EXPECT_EQ(
        call(std::string(uuid, sizeof uuid - 1), std::string(body, sizeof body - 1)),
        "['utxt'(\"Ti[t]lex\"), 'utxt'(\"[url=drafts://open?uuid=1%20%00%0D%0A%22%3C%23%3F%25]"
        "Ti(t)lex[/url]\")]");
}

// A browser whose page is not on the accessibility bus, or an editor whose title names no
// file, still gives its window's title, with the application as the link; a refusal and a
// timeout still reach the helper.
TEST_F(ShippedScriptsTest, DesktopApplicationsWithoutTheirDocumentGiveTheWindowTitle) {
    for (const std::string identifier :
         {"chromium", "firefox-esr", "org.gnome.gedit", "org.xfce.mousepad"}) {
        SCOPED_TRACE(identifier);
        FakeScriptableApplication browser{fake, identifier};
        const std::string source = scriptOf(identifier, "AppleScriptUsingBundleID");
        browser.answers["pnam of docu 1"] = text("Page");
        browser.answers["pURL of docu 1"] = text("https://example.org/");
        EXPECT_EQ(runScript(source).result->description(),
                  "['utxt'(\"Page\"), 'utxt'(\"https://example.org/\")]");
        browser.answers.clear();
        browser.answers["pnam of cwin 1"] = text("Page - Browser");
        browser.answers["pURL"] = text("file:///usr/share/applications/" + identifier + ".desktop");
        EXPECT_EQ(runScript(source).result->description(),
                  "['utxt'(\"Page - Browser\"), 'utxt'(\"file:///usr/share/applications/" +
                      identifier + ".desktop\")]");
        for (const platform::OSStatus status :
             {platform::errAEEventNotPermitted, platform::errAETimeout}) {
            browser.refuseWith = status;
            EXPECT_EQ(runScript(source).errorNumber(), status);
        }
    }
}

TEST_F(ShippedScriptsTest, GenericScriptAsksTheFrontmostApplicationItself) {
    editor.answers["pnam of docu 1"] = text("Report.odt");
    editor.answers["pURL of docu 1"] = text("file:///home/user/Report.odt");
    const std::string source = genericScript("Editor", kEditor);
    const ScriptRun run = runScript(source);
    ASSERT_TRUE(run.result.has_value()) << run.errorText(NSAppleScriptErrorMessage);
    EXPECT_EQ(run.result->description(),
              "['utxt'(\"Report.odt\"), 'utxt'(\"file:///home/user/Report.odt\")]");
    for (const auto& sent : fake.appleEvents.sent) {
        EXPECT_EQ(sent.timeout, 600);
    }

    // A path stands in for a missing URL, encoded so that nothing in it ends the link or
    // begins mark-up in the notes.
    editor.answers["pURL of docu 1"] = text("");
    editor.answers["ppth of docu 1"] = text("/home/me/a]b [url=x]%\"<q>#?\n\t.txt/ä");
    EXPECT_EQ(runScript(source).result->description(),
              "['utxt'(\"Report.odt\"), 'utxt'(\"file:///home/me/a%5Db%20%5Burl=x%5D%25%22%3Cq%3E"
              "%23%3F%0A%09.txt/ä\")]");
    editor.answers.erase("ppth of docu 1");

    // A document without a link still gives its name.
    editor.answers.erase("pURL of docu 1");
    EXPECT_EQ(runScript(source).result->description(), "['utxt'(\"Report.odt\"), 'utxt'(\"\")]");

    // Without documents the front window's name serves, and without that the application's.
    editor.answers.clear();
    editor.answers["pnam of cwin 1"] = text("Inbox");
    EXPECT_EQ(runScript(source).result->description(), "['utxt'(\"Inbox\"), 'utxt'(\"\")]");
    editor.answers.clear();
    EXPECT_EQ(runScript(source).result->description(), "['utxt'(\"Editor\"), 'utxt'(\"\")]");

    // An application that gives its own address is the link, so that the title is kept; a
    // document's address comes first.
    const auto own = text("file:///usr/share/applications/editor.desktop");
    editor.answers["pURL"] = own;
    editor.answers["pnam of cwin 1"] = text("Inbox");
    EXPECT_EQ(runScript(source).result->description(),
              "['utxt'(\"Inbox\"), 'utxt'(\"file:///usr/share/applications/editor.desktop\")]");
    editor.answers["pnam of docu 1"] = text("Report.odt");
    editor.answers["pURL of docu 1"] = text("file:///home/user/Report.odt");
    EXPECT_EQ(runScript(source).result->description(),
              "['utxt'(\"Report.odt\"), 'utxt'(\"file:///home/user/Report.odt\")]");
    editor.answers.clear();

    // A refusal reaches the caller, so that it can ask for permission.
    editor.refuseWith = platform::errAEEventNotPermitted;
    const ScriptRun refused = runScript(source);
    EXPECT_FALSE(refused.result.has_value());
    EXPECT_EQ(refused.errorNumber(), -1743);

    // A name with quotes arrives escaped from the helper and stays one string literal.
    editor.refuseWith.reset();
    EXPECT_EQ(runScript(genericScript("Say \\\"Hi\\\"", kEditor)).result->description(),
              "['utxt'(\"Say \\\"Hi\\\"\"), 'utxt'(\"\")]");
}

// Terminals and the mail client: the window's title always, and the link of the document in
// front where there is one (a terminal's folder that cannot be told, a mail folder's list).
TEST_F(ShippedScriptsTest, TerminalAndMailConnectorsGiveTheTitleWithOrWithoutADocument) {
    struct Case {
        const char* key;
        const char* identifier;
        const char* window;
        const char* document;  // null: no document in front
        const char* url;
        const char* answer;
    };
    const Case cases[] = {
        {"org.gnome.terminal", "org.gnome.Terminal", "ana@host: ~/docs", "ana@host: ~/docs",
         "file:///home/ana/docs/",
         R"(['utxt'("ana@host: ~/docs"), 'utxt'("file:///home/ana/docs/")])"},
        {"xfce4-terminal", "xfce4-terminal", "Terminal - vim", nullptr, nullptr,
         R"(['utxt'("Terminal - vim"), 'utxt'("")])"},
        {"thunderbird", "thunderbird", "Plans - Mozilla Thunderbird", "Plans",
         "mailbox:///p/Inbox?number=1",
         R"(['utxt'("Plans"), 'utxt'("mailbox:///p/Inbox?number=1")])"},
        {"thunderbird", "thunderbird", "Inbox - Local Folders - Mozilla Thunderbird", nullptr,
         nullptr, R"(['utxt'("Inbox - Local Folders - Mozilla Thunderbird"), 'utxt'("")])"},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(std::string(each.key) + ": " + each.window);
        FakeScriptableApplication application(fake, each.identifier);
        application.answers["pnam of cwin 1"] = text(each.window);
        if (each.document != nullptr) {
            application.answers["pnam of docu 1"] = text(each.document);
            application.answers["pURL of docu 1"] = text(each.url);
        }
        const ScriptRun run = runScript(scriptOf(each.key, "AppleScriptUsingBundleID"));
        ASSERT_TRUE(run.result.has_value()) << run.errorText(NSAppleScriptErrorMessage);
        EXPECT_EQ(run.result->description(), each.answer);
    }
}

}  // namespace
