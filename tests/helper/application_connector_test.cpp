// Capturing the frontmost application's context: script choice, the generic script's
// placeholders, and every outcome of running a connector.
#include "helper/context/application_connector.h"

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "helper_test_support.h"

namespace pendra {
namespace {

using platform::AppleEventDescriptor;
using platform::PropertyList;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr const char* kGenericScript =
    "tell application \"CURRENTAPPNAME\" to return {\"CURRENTAPPNAME\", \"CURRENTBUNDLEID\"} -- "
    "currentappname";

AppleEventDescriptor listOf(const std::vector<AppleEventDescriptor>& items) {
    AppleEventDescriptor list = AppleEventDescriptor::listDescriptor();
    for (const AppleEventDescriptor& item : items) {
        list.insertDescriptor(item, 0);
    }
    return list;
}

AppleEventDescriptor text(const std::string& value) {
    return AppleEventDescriptor::descriptorWithString(value);
}

class ApplicationConnectorTest : public testing::HelperTest {
  protected:
    ApplicationConnectorTest() {
        useConnectorTable({
            {".unknown", PropertyList::Dictionary{{"AppleScript", kGenericScript}}},
            {"com.example.editor",
             PropertyList::Dictionary{{"AppleScriptUsingBundleID", "editor"}}},
            {"com.example.lab",
             PropertyList::Dictionary{{"AppleScript", "lab"}, {"IsExperimental", true}}},
            {"com.example.callback",
             PropertyList::Dictionary{{"URL", "example://x-callback-url/current"}}},
            {"com.example.lab.callback",
             PropertyList::Dictionary{{"URL", "example://lab"}, {"IsExperimental", true}}},
            {"com.example.nothing", PropertyList::Dictionary{{"IsExperimental", false}}},
            {"com.Example.Upper", PropertyList::Dictionary{{"AppleScript", "upper"}}},
        });
        // Every script answers what the test put under its source; unknown sources fail.
        fake.scripting.behaviour =
            [this](const std::string& source, const AppleEventDescriptor*,
                   platform::ScriptErrorInfo* error) -> std::optional<AppleEventDescriptor> {
            if (const auto failure = failures.find(source); failure != failures.end()) {
                if (error != nullptr) {
                    *error = failure->second;
                }
                return std::nullopt;
            }
            if (const auto result = results.find(source); result != results.end()) {
                return result->second;
            }
            if (error != nullptr) {
                (*error)[platform::NSAppleScriptErrorNumber] = PropertyList(-2753);
            }
            return std::nullopt;
        };
    }

    void bringToFront(const std::string& bundleIdentifier, const std::string& name) {
        workspace.frontmost = testing::runningApplication(777, bundleIdentifier, name);
    }

    std::vector<std::string> executedSources() const {
        std::vector<std::string> sources;
        for (const auto& execution : fake.scripting.executions) {
            sources.push_back(execution.source);
        }
        return sources;
    }

    std::map<std::string, AppleEventDescriptor> results;
    std::map<std::string, platform::ScriptErrorInfo> failures;
};

TEST_F(ApplicationConnectorTest, ScriptsAreMadeOnceAtConstructionAndNotRun) {
    ApplicationConnector connector;

    EXPECT_EQ(fake.scripting.createdSources.size(), 4u);
    EXPECT_THAT(fake.scripting.executions, IsEmpty());
    std::vector<std::string> keys;
    for (const auto& [key, script] : connector.compiledScripts()) {
        keys.push_back(key);
        ASSERT_NE(script, nullptr);
    }
    EXPECT_THAT(keys, ElementsAre(".unknown", "com.Example.Upper", "com.example.editor",
                                  "com.example.lab"));
    EXPECT_EQ(connector.compiledScripts().at("com.example.editor")->source(), "editor");
    EXPECT_EQ(connector.bundleIdentifiersWithoutAppleScriptSupport(),
              (std::set<std::string>{"com.example.callback", "com.example.lab.callback",
                                     "com.example.nothing"}));
}

TEST_F(ApplicationConnectorTest, ConnectorScriptFillsTheContextAndIsReused) {
    ApplicationConnector connector;
    bringToFront("Com.Example.Editor", "Editor");
    results["editor"] = listOf({text("Draft"), text("file:///Users/me/Draft.txt")});
    const std::size_t made = fake.scripting.createdSources.size();

    EXPECT_TRUE(connector.updateCurrentApplicationContext());
    EXPECT_TRUE(connector.updateCurrentApplicationContext());

    EXPECT_EQ(connector.currentApplicationContextBundleIdentifier(), "com.example.editor");
    EXPECT_EQ(connector.currentApplicationContextTitle(), "Draft");
    EXPECT_EQ(connector.currentApplicationContextLink(), "file:///Users/me/Draft.txt");
    EXPECT_THAT(executedSources(), ElementsAre("editor", "editor"));
    EXPECT_EQ(fake.scripting.createdSources.size(), made);
    EXPECT_THAT(fake.log.console(), IsEmpty());
    EXPECT_THAT(fake.notifications.posted, IsEmpty());
}

TEST_F(ApplicationConnectorTest, URLConnectorOpensItsURLAndDefersTheAnswer) {
    ApplicationConnector connector;
    bringToFront("com.example.callback", "Callback App");

    EXPECT_FALSE(connector.updateCurrentApplicationContext());

    EXPECT_THAT(
        fake.log.console(),
        ElementsAre("No AppleScript to run for application connector com.example.callback"));
    ASSERT_EQ(workspace.openedURLs.size(), 1u);
    EXPECT_EQ(workspace.openedURLs[0].absoluteString(), "example://x-callback-url/current");
    EXPECT_THAT(connector.currentApplicationContext(), IsEmpty());
    EXPECT_THAT(fake.scripting.executions, IsEmpty());
}

TEST_F(ApplicationConnectorTest, ConnectorWithNeitherScriptNorURLEndsTheRequest) {
    ApplicationConnector connector;
    bringToFront("com.example.nothing", "Nothing");

    EXPECT_FALSE(connector.updateCurrentApplicationContext());

    EXPECT_THAT(fake.log.console(),
                ElementsAre("No AppleScript to run for application connector com.example.nothing",
                            "No URL to open for application connector com.example.nothing"));
    EXPECT_THAT(workspace.openedURLs, IsEmpty());
    EXPECT_THAT(fake.scripting.executions, IsEmpty());
}

TEST_F(ApplicationConnectorTest, ExperimentalConnectorFollowsTheUserDefaultAtEachCapture) {
    ApplicationConnector connector;
    bringToFront("com.example.lab", "Lab");
    results["lab"] = listOf({text("own"), text("lab://1")});
    results["tell application \"Lab\" to return {\"Lab\", \"com.example.lab\"} -- currentappname"] =
        listOf({text("generic"), text("lab://generic")});

    EXPECT_TRUE(connector.updateCurrentApplicationContext());
    EXPECT_EQ(connector.currentApplicationContextTitle(), "generic");

    fake.defaults.values["ExperimentalIntegrationsEnabled"] = true;
    EXPECT_TRUE(connector.updateCurrentApplicationContext());
    EXPECT_EQ(connector.currentApplicationContextTitle(), "own");

    fake.defaults.values["ExperimentalIntegrationsEnabled"] = false;
    EXPECT_TRUE(connector.updateCurrentApplicationContext());
    EXPECT_EQ(connector.currentApplicationContextTitle(), "generic");
    EXPECT_EQ(connector.currentApplicationContextLink(), "lab://generic");
}

TEST_F(ApplicationConnectorTest, ExperimentalMarkDoesNotTurnAURLConnectorIntoTheGenericScript) {
    ApplicationConnector connector;
    bringToFront("com.example.lab.callback", "Lab Callback");

    EXPECT_FALSE(connector.updateCurrentApplicationContext());

    ASSERT_EQ(workspace.openedURLs.size(), 1u);
    EXPECT_EQ(workspace.openedURLs[0].absoluteString(), "example://lab");
    EXPECT_THAT(fake.scripting.executions, IsEmpty());
}

TEST_F(ApplicationConnectorTest, UnknownAndUpperCaseKeyedApplicationsGetAFreshGenericScript) {
    ApplicationConnector connector;
    const std::size_t made = fake.scripting.createdSources.size();

    bringToFront("org.example.Unlisted", "Unlisted");
    connector.updateCurrentApplicationContext();
    bringToFront("com.Example.Upper", "Upper");
    connector.updateCurrentApplicationContext();

    EXPECT_THAT(
        executedSources(),
        ElementsAre(
            "tell application \"Unlisted\" to return {\"Unlisted\", \"org.example.unlisted\"} -- "
            "currentappname",
            "tell application \"Upper\" to return {\"Upper\", \"com.example.upper\"} -- "
            "currentappname"));
    EXPECT_EQ(fake.scripting.createdSources.size(), made + 2);
}

struct ResultCase {
    const char* name;
    AppleEventDescriptor result;
    std::optional<std::string> bundleIdentifier;
    std::optional<std::string> titleEntry;
    std::string link;
};

AppleEventDescriptor missingValue() {
    return AppleEventDescriptor::descriptorWithTypeCode(platform::fourCharCode("msng"));
}

TEST_F(ApplicationConnectorTest, OnlyANonEmptyLinkFillsTheContext) {
    const std::vector<ResultCase> cases = {
        {"single item", listOf({text("Title")}), std::nullopt, std::nullopt, ""},
        {"empty link", listOf({text("Title"), text("")}), std::nullopt, std::nullopt, ""},
        {"link without text form", listOf({text("Title"), AppleEventDescriptor::listDescriptor()}),
         std::nullopt, std::nullopt, ""},
        {"empty title", listOf({text(""), text("https://example.com/")}), "com.example.editor", "",
         "https://example.com/"},
        {"title without text form",
         listOf({AppleEventDescriptor::listDescriptor(), text("https://example.com/")}),
         "com.example.editor", std::nullopt, "https://example.com/"},
        {"numbers", listOf({AppleEventDescriptor::descriptorWithInt32(7), text("x://7")}),
         "com.example.editor", "7", "x://7"},
        {"empty list", AppleEventDescriptor::listDescriptor(), std::nullopt, std::nullopt, ""},
        // `missing value` is a type code: no text, so no title and no link.
        {"missing title", listOf({missingValue(), text("https://example.com/")}),
         "com.example.editor", std::nullopt, "https://example.com/"},
        {"missing link", listOf({text("Title"), missingValue()}), std::nullopt, std::nullopt, ""},
    };
    ApplicationConnector connector;
    bringToFront("com.example.editor", "Editor");
    for (const ResultCase& resultCase : cases) {
        SCOPED_TRACE(resultCase.name);
        results["editor"] = resultCase.result;

        EXPECT_TRUE(connector.updateCurrentApplicationContext());

        EXPECT_EQ(connector.currentApplicationContextBundleIdentifier(),
                  resultCase.bundleIdentifier);
        EXPECT_EQ(connector.currentApplicationContext().contains("title"),
                  resultCase.titleEntry.has_value());
        EXPECT_EQ(connector.currentApplicationContextTitle(), resultCase.titleEntry.value_or(""));
        EXPECT_EQ(connector.currentApplicationContextLink(), resultCase.link);
    }
    EXPECT_THAT(fake.log.console(), IsEmpty());
}

TEST_F(ApplicationConnectorTest, MissingPermissionIsReportedToTheMainApplication) {
    ApplicationConnector connector;
    bringToFront("com.example.editor", "Example Editor");
    failures["editor"] = {
        {platform::NSAppleScriptErrorNumber, PropertyList(-1743)},
        {platform::NSAppleScriptErrorMessage, PropertyList("Not authorized to send Apple events.")},
    };

    EXPECT_FALSE(connector.updateCurrentApplicationContext());

    EXPECT_THAT(
        fake.log.console(),
        ElementsAre(
            "AppleScript execution error: NSAppleScriptErrorMessage = Not authorized to send Apple "
            "events.",
            "AppleScript execution error: NSAppleScriptErrorNumber = -1743"));
    ASSERT_EQ(fake.notifications.posted.size(), 1u);
    EXPECT_EQ(fake.notifications.posted[0].name,
              "PendraMacSandboxHelperDidFailDueToMissingPermissionsNotification");
    EXPECT_FALSE(fake.notifications.posted[0].object.has_value());
    EXPECT_EQ(fake.notifications.posted[0].userInfo,
              (platform::NotificationUserInfo{{"ApplicationName", "Example Editor"}}));
    EXPECT_THAT(connector.currentApplicationContext(), IsEmpty());
}

TEST_F(ApplicationConnectorTest, OtherScriptErrorsStillAnswerWithAnEmptyContext) {
    ApplicationConnector connector;
    bringToFront("com.example.editor", "Editor");
    results["editor"] = listOf({text("Before"), text("x://before")});
    ASSERT_TRUE(connector.updateCurrentApplicationContext());
    ASSERT_EQ(connector.currentApplicationContextLink(), "x://before");

    failures["editor"] = {{platform::NSAppleScriptErrorNumber, PropertyList(-1712)},
                          {platform::NSAppleScriptErrorBriefMessage, PropertyList("timeout")}};
    EXPECT_TRUE(connector.updateCurrentApplicationContext());

    EXPECT_THAT(fake.log.console(),
                ElementsAre("AppleScript execution error: NSAppleScriptErrorBriefMessage = timeout",
                            "AppleScript execution error: NSAppleScriptErrorNumber = -1712"));
    EXPECT_THAT(fake.notifications.posted, IsEmpty());
    EXPECT_THAT(connector.currentApplicationContext(), IsEmpty());
    EXPECT_EQ(connector.currentApplicationContextTitle(), "");
    EXPECT_EQ(connector.currentApplicationContextBundleIdentifier(), std::nullopt);
}

TEST_F(ApplicationConnectorTest, PlaceholdersAreEscapedForTheStringLiteral) {
    const std::vector<std::pair<std::string, std::string>> names = {
        {"My \"Quoted\" App", "My \\\"Quoted\\\" App"},
        {"\" & (do shell script \"x\") & \"", "\\\" & (do shell script \\\"x\\\") & \\\""},
        {"Back\\slash", "Back\\\\slash"},
        {"Ends with \\\"", "Ends with \\\\\\\""},
    };
    for (const auto& [name, escaped] : names) {
        SCOPED_TRACE(name);
        bringToFront("com.example.\"quoted\"", name);
        std::string script =
            "tell application \"CURRENTAPPNAME\" -- \"CURRENTAPPNAME\" CURRENTBUNDLEID";

        ApplicationConnector::_replacePlaceholdersInScript(script);

        EXPECT_EQ(script, "tell application \"" + escaped + "\" -- \"" + escaped +
                              "\" com.example.\\\"quoted\\\"");
    }
}

TEST_F(ApplicationConnectorTest, PlaceholdersAreCaseSensitiveAndNameComesFirst) {
    // A name that holds the other placeholder: the identifier replaces it too.
    bringToFront("COM.EXAMPLE.App", "CURRENTBUNDLEID");
    std::string script = "CURRENTAPPNAME currentbundleid CurrentAppName CURRENTBUNDLEID";

    ApplicationConnector::_replacePlaceholdersInScript(script);

    EXPECT_EQ(script, "com.example.app currentbundleid CurrentAppName com.example.app");
}

TEST_F(ApplicationConnectorTest, NoFrontmostApplicationStillRunsTheGenericScript) {
    ApplicationConnector connector;
    workspace.frontmost.reset();
    results["tell application \"\" to return {\"\", \"\"} -- currentappname"] =
        listOf({text("t"), text("x://t")});

    EXPECT_TRUE(connector.updateCurrentApplicationContext());

    EXPECT_EQ(connector.currentApplicationContextBundleIdentifier(), std::nullopt);
    EXPECT_EQ(connector.currentApplicationContextLink(), "x://t");
    EXPECT_EQ(fake.log.console().size(), 1u);
}

TEST_F(ApplicationConnectorTest, TableWithoutGenericScriptEndsTheRequestWithoutFailing) {
    useConnectorTable(
        {{"com.example.editor", PropertyList::Dictionary{{"AppleScript", "editor"}}}});
    ApplicationConnector connector;
    bringToFront("org.example.unlisted", "Unlisted");

    EXPECT_FALSE(connector.updateCurrentApplicationContext());

    EXPECT_THAT(fake.log.console(),
                ElementsAre("No AppleScript for the generic application connector .unknown",
                            "No AppleScript to run for application connector org.example.unlisted",
                            "No URL to open for application connector org.example.unlisted"));
    EXPECT_THAT(fake.scripting.executions, IsEmpty());
    EXPECT_THAT(connector.currentApplicationContext(), IsEmpty());
}

TEST_F(ApplicationConnectorTest, ConnectorScriptThatCannotBeMadeLeavesTheGenericScript) {
    fake.scripting.unmakeable.insert("editor");
    results
        ["tell application \"Editor\" to return {\"Editor\", \"com.example.editor\"} -- "
         "currentappname"] = listOf({text("t"), text("x://t")});
    ApplicationConnector connector;
    bringToFront("com.example.editor", "Editor");

    EXPECT_FALSE(connector.compiledScripts().contains("com.example.editor"));
    connector.updateCurrentApplicationContext();

    EXPECT_THAT(executedSources(), ElementsAre("tell application \"Editor\" to return {\"Editor\", "
                                               "\"com.example.editor\"} -- currentappname"));
    EXPECT_THAT(fake.log.console(),
                ElementsAre("Could not make the AppleScript of application connector "
                            "com.example.editor"));
}

}  // namespace
}  // namespace pendra
