// Which connector a capture runs against the sample application, and what comes of it: the
// generic script, an experimental connector as the user default switches it, a script that
// fails, and connectors that answer through the callback URL with handlers of every kind.
#include <gtest/gtest.h>

#include "process/session_fixture.h"

namespace process_test {
namespace {

using ConnectorSessionTest = SessionTest;

std::string textEntry(const std::string& keyword, const std::string& value) {
    return "qepp " + keyword + " 'utxt' \"" + value + "\"";
}

// A connector for the sample application under the given key, with the given inner XML.
std::string connector(const std::string& key, const std::string& entries) {
    return "\n\t<key>" + key + "</key>\n\t<dict>\n" + entries + "\n\t</dict>\n";
}

// Asks the front window's name, where the generic script asks the document's.
constexpr const char* kWindowScript = R"(		<key>AppleScriptUsingBundleID</key>
		<string>tell application id "com.orvano.SampleDocument"
	return {name of front window, URL of front document}
end tell</string>)";

constexpr const char* kCallbackURL =
    "pendrasample://x-callback-url/getCurrentDocument?x-success=pendrahelper%3A%2F%2Fquickentry";

std::string urlConnector(const std::string& key, const std::string& handlerBody) {
    return connector(key, std::string("\t\t<key>URL</key>\n\t\t<string>") + kCallbackURL +
                              "</string>\n\t\t<key>CallbackHandler</key>\n"
                              "\t\t<string>on handle_callback(params)\n" +
                              handlerBody + "\nend handle_callback</string>");
}

TEST_F(ConnectorSessionTest, TheGenericScriptCapturesTheFrontDocumentForInvokeAndServices) {
    ASSERT_TRUE(startInstalledHelper()) << errorsOf("helper");
    listen(false, "standard");
    startSample();

    Finished invoke = run(mainApplication(), {"invoke", "--note", "later", "--tags", "work"});
    ASSERT_EQ(invoke.exitStatus, 0) << invoke.output << invoke.errors;
    ASSERT_TRUE(waitForLine("standard", kReplyEnd)) << outputOf("standard") << errorsOf("helper");
    auto reply = replyNumber(outputOf("standard"), 1);
    EXPECT_TRUE(contains(reply, textEntry("pnam", kDocumentName))) << outputOf("standard");
    EXPECT_TRUE(contains(reply, textEntry("note", std::string(kDocumentURL) + "\\n\\nlater")))
        << outputOf("standard");
    EXPECT_TRUE(contains(reply, textEntry("tnam", "work"))) << outputOf("standard");

    Finished services = run(sampleApplication(), {"services", "--selection", "picked"});
    ASSERT_EQ(services.exitStatus, 0) << services.output << services.errors;
    ASSERT_TRUE(waitForLine("standard", kReplyEnd, 15s, 2)) << outputOf("standard");
    reply = replyNumber(outputOf("standard"), 2);
    EXPECT_TRUE(contains(reply, textEntry("pnam", kDocumentName))) << outputOf("standard");
    EXPECT_TRUE(
        contains(reply, textEntry("note", "picked\\n\\n" + std::string(kDocumentURL) + "\\n\\n")))
        << outputOf("standard");
    // The helper itself asked the sample application.
    EXPECT_NE(outputOf("sample").find("get-data from com.orvano.PendraMacSandboxHelper answer "
                                      "'utxt' \"" +
                                      std::string(kDocumentName) + "\""),
              std::string::npos)
        << outputOf("sample");
}

TEST_F(ConnectorSessionTest, AnExperimentalConnectorRunsOnlyWhileTheUserDefaultAllowsIt) {
    std::string entries = kWindowScript;
    entries += "\n\t\t<key>IsExperimental</key>\n\t\t<true/>";
    ASSERT_TRUE(startInstalledHelper(connector("com.orvano.sampledocument", entries)))
        << errorsOf("helper");
    listen(false, "standard");
    startSample();
    auto setDefault = [&](const char* value) {
        Finished written = run(kWriteDefault, {"com.orvano.PendraMacSandboxHelper",
                                               "ExperimentalIntegrationsEnabled", value});
        ASSERT_EQ(written.exitStatus, 0) << written.errors;
    };
    auto titleOfReply = [&](int number) {
        EXPECT_TRUE(waitForLine("standard", kReplyEnd, 15s, number))
            << outputOf("standard") << errorsOf("helper");
        for (const auto& line : replyNumber(outputOf("standard"), number)) {
            if (line.rfind("qepp pnam ", 0) == 0) {
                return line;
            }
        }
        return std::string("no title");
    };

    // Without the default the generic script asks for the document.
    run(mainApplication(), {"invoke"});
    EXPECT_EQ(titleOfReply(1), textEntry("pnam", kDocumentName));

    setDefault("YES");
    run(mainApplication(), {"invoke"});
    EXPECT_EQ(titleOfReply(2), textEntry("pnam", kWindowName));
    run(sampleApplication(), {"services", "--selection", "picked"});
    EXPECT_EQ(titleOfReply(3), textEntry("pnam", kWindowName));

    // Switched off again, the next capture is the generic one at once.
    setDefault("NO");
    run(sampleApplication(), {"services", "--selection", "picked"});
    EXPECT_EQ(titleOfReply(4), textEntry("pnam", kDocumentName));
}

TEST_F(ConnectorSessionTest, AScriptErrorGivesAnAnswerWithoutCapture) {
    ASSERT_TRUE(startInstalledHelper(
        connector("com.orvano.sampledocument", R"(		<key>AppleScript</key>
		<string>tell application id "com.orvano.SampleDocument"
	set theTitle to name of document 7
end tell
return {theTitle, ""}</string>)")))
        << errorsOf("helper");
    listen(false, "standard");
    startSample();

    run(mainApplication(), {"invoke", "--note", "mine", "--title", "Kept?", "--tags", "t"});
    ASSERT_TRUE(waitForLine("standard", kReplyEnd)) << outputOf("standard") << errorsOf("helper");
    const auto reply = replyNumber(outputOf("standard"), 1);
    EXPECT_TRUE(contains(reply, textEntry("pnam", ""))) << outputOf("standard");
    EXPECT_TRUE(contains(reply, textEntry("note", "\\n\\nmine"))) << outputOf("standard");
    EXPECT_TRUE(contains(reply, textEntry("tnam", "t"))) << outputOf("standard");
    // The failure is in the log with the number the sample application answered.
    EXPECT_TRUE(linux_test::eventually([&] {
        return errorsOf("helper").find("NSAppleScriptErrorNumber = -1728") != std::string::npos;
    })) << errorsOf("helper");

    run(sampleApplication(), {"services", "--selection", "picked"});
    ASSERT_TRUE(waitForLine("standard", kReplyEnd, 15s, 2)) << outputOf("standard");
    EXPECT_TRUE(contains(replyNumber(outputOf("standard"), 2), textEntry("pnam", "")))
        << outputOf("standard");
}

// Four applications made from the sample application answer the helper's URL through the
// callback URL; their handlers return a list, one item, plain text and an error.
TEST_F(ConnectorSessionTest, CallbackHandlersOfEveryKindGiveExactlyOneAnswerEach) {
    struct Case {
        std::string name;
        std::string identifier;
        std::string handler;
        std::string title;
        std::string notes;
    } cases[] = {
        {"Sample List", "com.orvano.SampleList",
         "\treturn {|title| of params, \"[url=\" &amp; |url| of params &amp; \"]\" &amp; |title| "
         "of params &amp; \"[/url]\"}",
         kDocumentName, "[url=" + std::string(kDocumentURL) + "]" + kDocumentName + "[/url]"},
        {"Sample Item", "com.orvano.SampleItem", "\treturn {|title| of params}", kDocumentName, ""},
        {"Sample Text", "com.orvano.SampleText", "\treturn |title| of params", "", ""},
        {"Sample Error", "com.orvano.SampleError", "\terror \"No quick entry today\" number 1002",
         "", ""},
    };
    std::string table;
    for (const auto& each : cases) {
        std::string key = each.identifier;
        std::transform(key.begin(), key.end(), key.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        table += urlConnector(key, each.handler);
    }
    ASSERT_TRUE(startInstalledHelper(table)) << errorsOf("helper");
    listen(false, "standard");

    int number = 0;
    for (const auto& each : cases) {
        SCOPED_TRACE(each.name);
        ++number;
        const std::string program = installSampleCopy(each.name, each.identifier);
        const std::string log = "copy" + std::to_string(number);
        const pid_t copy = startSample({}, log, program);

        Finished invoke = run(mainApplication(), {"invoke", "--note", "not passed on"});
        EXPECT_EQ(invoke.exitStatus, 0) << invoke.output << invoke.errors;
        ASSERT_TRUE(waitForLine("standard", kReplyEnd, 15s, number))
            << outputOf("standard") << outputOf(log) << errorsOf("helper");
        EXPECT_TRUE(waitForLine(log, "url-received \"" + std::string(kCallbackURL) + "\""))
            << outputOf(log);
        const auto reply = replyNumber(outputOf("standard"), number);
        EXPECT_TRUE(contains(reply, textEntry("pnam", each.title))) << outputOf("standard");
        EXPECT_TRUE(contains(reply, textEntry("note", each.notes))) << outputOf("standard");
        stop(copy);
    }
    EXPECT_NE(errorsOf("helper").find("Error: "), std::string::npos) << errorsOf("helper");
    EXPECT_NE(errorsOf("helper").find("No quick entry today"), std::string::npos);
    // Nothing more came than one answer per callback.
    Finished marker = run(mainApplication(), {"invoke", "--tags", "marker"});
    EXPECT_EQ(marker.exitStatus, 0);
    EXPECT_TRUE(waitForLine("standard", textEntry("tnam", "marker")));
    EXPECT_EQ(countLines(outputOf("standard"), kReplyLine), number + 1) << outputOf("standard");
}

}  // namespace
}  // namespace process_test
