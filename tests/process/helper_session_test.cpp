// The helper with its counterparts in one session: the stand-in main applications send the
// custom events and receive the answers, the sample document application stands for the
// frontmost application and makes Services requests and callback URLs.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "process/session_fixture.h"

namespace process_test {
namespace {

using ::testing::HasSubstr;

std::vector<std::string> firstReply(const std::string& output) {
    return replyNumber(output, 1);
}

using HelperSessionTest = SessionTest;

TEST_F(HelperSessionTest, GetVersionAnswersTheBundleVersionInTwoParts) {
    ASSERT_TRUE(startInstalledHelper()) << errorsOf("helper");
    Finished version = run(mainApplication(), {"version"});
    EXPECT_EQ(version.exitStatus, 0) << version.errors;
    EXPECT_TRUE(version.printed("answer pdvn status 0")) << version.output;
    EXPECT_TRUE(version.printed("pdmj 'long' " + std::to_string(PENDRA_BUNDLE_VERSION / 100)))
        << version.output;
    EXPECT_TRUE(version.printed("pdmi 'long' " + std::to_string(PENDRA_BUNDLE_VERSION % 100)))
        << version.output;
}

TEST_F(HelperSessionTest, InvokeAnswersTheSenderOrTheNamedVariantOncePerEvent) {
    ASSERT_TRUE(startInstalledHelper(kSampleConnector)) << errorsOf("helper");
    startSample();

    // Without 'pdrr' the answer goes to the application that sent the event.
    Finished own = run(mainApplication(), {"invoke", "--wait", "--timeout", "10"});
    EXPECT_EQ(own.exitStatus, 0) << own.output << own.errors << errorsOf("helper");
    EXPECT_TRUE(own.printed("answer pdiv status 0")) << own.output;
    EXPECT_TRUE(own.printed(kReplyLine)) << own.output;

    // With 'pdrr' naming the development variant, that variant gets it, twice for two events.
    listen(true, "development");
    Finished first =
        run(mainApplication(), {"invoke", "--reply-to", "com.orvano.PendraMac.development"});
    Finished second =
        run(mainApplication(), {"invoke", "--reply-to", "com.orvano.PendraMac.development"});
    EXPECT_EQ(first.exitStatus, 0) << first.output << first.errors;
    EXPECT_EQ(second.exitStatus, 0) << second.output << second.errors;
    EXPECT_TRUE(waitForLine("development", kReplyEnd, 15s, 2))
        << outputOf("development") << errorsOf("helper");
    EXPECT_FALSE(first.printed(kReplyLine));
}

TEST_F(HelperSessionTest, TheCallersPropertiesComeBackMergedWithTheCapture) {
    ASSERT_TRUE(startInstalledHelper(kSampleConnector)) << errorsOf("helper");
    startSample();

    Finished invoke =
        run(mainApplication(), {"invoke", "--note", "my own note", "--title", "Caller", "--tags",
                                "work, later", "--wait", "--timeout", "10"});
    ASSERT_EQ(invoke.exitStatus, 0) << invoke.output << invoke.errors << errorsOf("helper");
    const auto reply = firstReply(invoke.output);
    ASSERT_FALSE(reply.empty()) << invoke.output;
    EXPECT_TRUE(contains(reply, "qepp tnam 'utxt' \"work, later\"")) << invoke.output;
    // The title the sample's own connector captured replaces the caller's; the captured link
    // goes ahead of the caller's note, two line feeds between.
    EXPECT_TRUE(contains(reply, "qepp pnam 'utxt' \"" + std::string(kWindowName) + "\""))
        << invoke.output << errorsOf("helper");
    EXPECT_TRUE(
        contains(reply, "qepp note 'utxt' \"" + std::string(kDocumentURL) + "\\n\\nmy own note\""))
        << invoke.output;
    // Entries stand in the order note, pnam, tnam.
    ASSERT_EQ(reply.size(), 5u) << invoke.output;
    EXPECT_EQ(reply[1].rfind("qepp note ", 0), 0u);
    EXPECT_EQ(reply[2].rfind("qepp pnam ", 0), 0u);
    EXPECT_EQ(reply[3].rfind("qepp tnam ", 0), 0u);
}

TEST_F(HelperSessionTest, AServicesRequestAnswersThePreferredVariantAndUndeclaredOnesAreRefused) {
    ASSERT_TRUE(startInstalledHelper(kSampleConnector)) << errorsOf("helper");
    listen(false, "standard");
    startSample();

    Finished refused = run(sampleApplication(),
                           {"services", "--message", "somethingUndeclared", "--selection", "x"});
    EXPECT_EQ(refused.exitStatus, 1) << refused.output << refused.errors;
    EXPECT_THAT(refused.output, HasSubstr("services-error ")) << refused.output;
    EXPECT_FALSE(refused.printed("services somethingUndeclared status 0"));

    Finished request =
        run(sampleApplication(), {"services", "--selection", "\n  chosen words  \n\n", "--types",
                                  "public.html,NSStringPboardType"});
    EXPECT_EQ(request.exitStatus, 0) << request.output << request.errors << errorsOf("helper");
    EXPECT_TRUE(request.printed("services quickEntryWithAutofill status 0")) << request.output;

    ASSERT_TRUE(waitForLine("standard", kReplyEnd)) << outputOf("standard") << errorsOf("helper");
    const auto reply = firstReply(outputOf("standard"));
    ASSERT_GE(reply.size(), 3u);
    // The selection without its surrounding line feeds, two line feeds, the link, two more.
    EXPECT_EQ(reply[1],
              "qepp note 'utxt' \"  chosen words  \\n\\n" + std::string(kDocumentURL) + "\\n\\n\"")
        << errorsOf("helper");
    EXPECT_EQ(reply[2], "qepp pnam 'utxt' \"" + std::string(kWindowName) + "\"");
    // Only the declared request led to an answer.
    EXPECT_EQ(countLines(outputOf("standard"), kReplyLine), 1);
}

// A 40 MB selection would make a note of 80 MB as UTF-16, more than one message on the bus
// may carry: the note is cut to the size the answer allows, and the helper stays on the bus.
TEST_F(HelperSessionTest, AnAnswerTooLargeForTheBusIsCutAndTheHelperStaysReachable) {
    constexpr std::size_t kAnswerTextLimit = 4 * 1024 * 1024;  // as the answer documents it
    ASSERT_TRUE(startInstalledHelper(kSampleConnector)) << errorsOf("helper");
    listen(false, "standard");
    startSample();
    const std::string selection = path("tmp/selection.txt");
    linux_test::writeFile(selection, std::string(40'000'000, 'w'));

    Finished request = run(sampleApplication(), {"services", "--selection-file", selection}, 60s);
    EXPECT_EQ(request.exitStatus, 0) << request.output << request.errors << errorsOf("helper");
    ASSERT_TRUE(waitForLine("standard", kReplyEnd, 60s)) << errorsOf("helper");
    const auto reply = firstReply(outputOf("standard"));
    ASSERT_GE(reply.size(), 2u);
    EXPECT_EQ(reply[1], "qepp note 'utxt' \"" + std::string(kAnswerTextLimit, 'w') + "\"");
    EXPECT_THAT(errorsOf("helper"), HasSubstr("The note of the answer is cut from 400000"));

    Finished version = run(mainApplication(), {"version"});
    EXPECT_EQ(version.exitStatus, 0) << version.errors << errorsOf("helper");
    EXPECT_FALSE(linux_test::processGone(helperPid()));
}

TEST_F(HelperSessionTest, AnUpdateEndsTheHelperAndTheNewVersionAnswers) {
    ASSERT_TRUE(startInstalledHelper()) << errorsOf("helper");
    const std::string newer = path("Downloads/PendraMacSandboxHelper.app");
    fs::copy(kHelperBundle, newer, fs::copy_options::recursive);
    const int newVersion = PENDRA_BUNDLE_VERSION + 101;
    setInfo(newer, "CFBundleVersion", std::to_string(newVersion));

    Finished update = run(mainApplication(), {"update", newer});
    EXPECT_EQ(update.exitStatus, 0) << update.output << update.errors;
    EXPECT_TRUE(linux_test::eventually([&] { return linux_test::processGone(helperPid()); }, 10s))
        << errorsOf("helper");

    bool answered = false;
    Finished version;
    for (int attempt = 0; attempt < 100 && !answered; ++attempt) {
        version = run(mainApplication(), {"version", "--timeout", "2"}, 5s);
        answered = version.printed("pdmj 'long' " + std::to_string(newVersion / 100)) &&
                   version.printed("pdmi 'long' " + std::to_string(newVersion % 100));
        if (!answered) {
            std::this_thread::sleep_for(100ms);
        }
    }
    EXPECT_TRUE(answered) << version.output << errorsOf("helper");
    EXPECT_FALSE(fs::exists(newer)) << "the new bundle was moved into place";
    auto installed = linux_test::readPropertyListFile(installedHelper() + "/Contents/Info.plist");
    ASSERT_TRUE(installed);
    const platform::PropertyList* bundleVersion = installed->objectForKey("CFBundleVersion");
    ASSERT_TRUE(bundleVersion && bundleVersion->stringValue());
    EXPECT_EQ(*bundleVersion->stringValue(), std::to_string(newVersion));
}

TEST_F(HelperSessionTest, FirstInstallationLaunchesTheMainApplicationWithTheInstalledFlag) {
    const std::string downloaded = path("Downloads/PendraMacSandboxHelper.app");
    fs::copy(kHelperBundle, downloaded, fs::copy_options::recursive);
    start(downloaded + "/" + kHelperExecutable, {}, "helper");

    const std::string record = path("tmp/pendra-devtools/com.orvano.PendraMac.arguments");
    ASSERT_TRUE(linux_test::eventually(
        [&] { return linux_test::readFile(record).find('\n') != std::string::npos; }, 20s))
        << errorsOf("helper");
    EXPECT_EQ(linux_test::readFile(record), "--pendra-sandbox-helper-installed\n");
    Finished arguments = run(mainApplication(), {"launch-arguments"});
    EXPECT_TRUE(arguments.printed("argument \"--pendra-sandbox-helper-installed\""))
        << arguments.output;
    // The installed copy runs and answers.
    EXPECT_TRUE(waitForHelper()) << errorsOf("helper");
    EXPECT_TRUE(fs::exists(installedHelper() + "/" + kHelperExecutable));
}

TEST_F(HelperSessionTest, FirstInstallationWithTheMainApplicationRunningNotifiesIt) {
    listen(false, "standard");
    const std::string downloaded = path("Downloads/PendraMacSandboxHelper.app");
    fs::copy(kHelperBundle, downloaded, fs::copy_options::recursive);
    start(downloaded + "/" + kHelperExecutable, {}, "helper");

    const std::string installed = "notification PendraMacSandboxHelperDidInstallNotification";
    const std::string launched = "notification PendraMacSandboxHelperDidLaunchNotification";
    ASSERT_TRUE(waitForLine("standard", launched, 20s))
        << outputOf("standard") << errorsOf("helper");
    const auto lines = linesOf(outputOf("standard"));
    const auto install = std::find(lines.begin(), lines.end(), installed);
    const auto launch = std::find(lines.begin(), lines.end(), launched);
    ASSERT_NE(install, lines.end()) << outputOf("standard");
    EXPECT_LT(install - lines.begin(), launch - lines.begin());
    // Not launched again: it was running.
    EXPECT_EQ(linux_test::readFile(path("tmp/pendra-devtools/com.orvano.PendraMac.arguments")), "");
}

TEST_F(HelperSessionTest, ACallbackURLFromTheSampleApplicationGivesExactlyOneAnswer) {
    ASSERT_TRUE(startInstalledHelper(kSampleConnector)) << errorsOf("helper");
    listen(false, "standard");
    startSample();

    Finished open = run(mainApplication(), {"open-url", "pendrasample://quickentry-please"});
    EXPECT_EQ(open.exitStatus, 0) << open.output << open.errors;
    ASSERT_TRUE(linux_test::eventually([&] {
        return outputOf("sample").find("opened \"pendrahelper://quickentry?title=") !=
               std::string::npos;
    })) << outputOf("sample")
        << errorsOf("sample");
    ASSERT_TRUE(waitForLine("standard", kReplyEnd)) << outputOf("standard") << errorsOf("helper");

    // The helper knew the sender: it ran the sample application's callback handler on the
    // URL's query.
    const auto reply = firstReply(outputOf("standard"));
    EXPECT_TRUE(contains(reply, "qepp pnam 'utxt' \"" + std::string(kDocumentName) + "\""))
        << outputOf("standard") << errorsOf("helper");
    EXPECT_TRUE(contains(reply, "qepp note 'utxt' \"" + std::string(kDocumentURL) + "\""))
        << outputOf("standard");

    // A later answer marks the end: nothing else came between.
    Finished marker = run(mainApplication(),
                          {"invoke", "--reply-to", "com.orvano.PendraMac", "--tags", "marker"});
    EXPECT_EQ(marker.exitStatus, 0);
    ASSERT_TRUE(waitForLine("standard", "qepp tnam 'utxt' \"marker\""))
        << outputOf("standard") << errorsOf("helper");
    EXPECT_EQ(countLines(outputOf("standard"), kReplyLine), 2) << outputOf("standard");
}

TEST_F(HelperSessionTest, ACaptureRefusedBySampleApplicationPostsTheMissingPermission) {
    ASSERT_TRUE(startInstalledHelper(kSampleConnector)) << errorsOf("helper");
    startSample({"--refuse-sender", "com.orvano.PendraMacSandboxHelper"});
    listen(false, "standard");

    Finished invoke = run(mainApplication(), {"invoke", "--reply-to", "com.orvano.PendraMac"});
    EXPECT_EQ(invoke.exitStatus, 0);
    // The capture asks the sample application, which refuses the helper.
    ASSERT_TRUE(linux_test::eventually([&] {
        return outputOf("sample").find("refused core/getd") != std::string::npos;
    })) << outputOf("sample")
        << errorsOf("helper");
    ASSERT_TRUE(waitForLine(
        "standard",
        "notification PendraMacSandboxHelperDidFailDueToMissingPermissionsNotification"))
        << outputOf("standard") << errorsOf("helper");
    EXPECT_TRUE(waitForLine("standard",
                            "notification-info "
                            "PendraMacSandboxHelperDidFailDueToMissingPermissionsNotification "
                            "ApplicationName \"Sample Document\""))
        << outputOf("standard");
    EXPECT_EQ(countLines(outputOf("standard"), kReplyLine), 0);
}

}  // namespace
}  // namespace process_test
