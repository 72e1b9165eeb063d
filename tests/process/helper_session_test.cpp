// The helper with its counterparts in one session: the stand-in main applications send the
// custom events and receive the answers, the sample document application stands for the
// frontmost application and makes Services requests and callback URLs.
#include <signal.h>
#include <sys/stat.h>

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
    Finished own = run(mainApplication(), {"invoke", "--wait", "--timeout", "60"});
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
    EXPECT_TRUE(waitForLine("development", kReplyEnd, 60s, 2))
        << outputOf("development") << errorsOf("helper");
    EXPECT_FALSE(first.printed(kReplyLine));
}

TEST_F(HelperSessionTest, TheCallersPropertiesComeBackMergedWithTheCapture) {
    ASSERT_TRUE(startInstalledHelper(kSampleConnector)) << errorsOf("helper");
    startSample();

    Finished invoke =
        run(mainApplication(), {"invoke", "--note", "my own note", "--title", "Caller", "--tags",
                                "work, later", "--wait", "--timeout", "60"});
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

// Autostart entries that are no files, read as the helper starts and keeps its login item: a
// FIFO, a link to a device, a link to the folder above. The helper answers, with its memory
// bounded, and says what it left out.
TEST_F(HelperSessionTest, AutostartEntriesThatAreNoFilesLeaveTheHelperAnswering) {
    const std::string autostart = path("config/autostart");
    fs::create_directories(autostart);
    ASSERT_EQ(::mkfifo((autostart + "/fifo.desktop").c_str(), 0600), 0);
    fs::create_symlink("/dev/zero", autostart + "/zero.desktop");
    fs::create_directory_symlink("..", autostart + "/up.desktop");

    ASSERT_TRUE(startInstalledHelper(kSampleConnector)) << errorsOf("helper");
    startSample();
    Finished invoke = run(mainApplication(), {"invoke", "--wait", "--timeout", "60"}, 120s);
    EXPECT_EQ(invoke.exitStatus, 0) << invoke.errors << errorsOf("helper");
    EXPECT_TRUE(contains(firstReply(invoke.output),
                         "qepp pnam 'utxt' \"" + std::string(kWindowName) + "\""))
        << invoke.output << errorsOf("helper");
    EXPECT_LT(linux_test::peakKilobytes(helperPid()), 512 * 1024) << "kB at the peak";
    for (const char* line : {"Ignoring the autostart entry fifo.desktop: it is a FIFO",
                             "Ignoring the autostart entry zero.desktop: it is a link",
                             "Ignoring the autostart entry up.desktop: it is a link"}) {
        EXPECT_THAT(errorsOf("helper"), HasSubstr(line));
    }
}

// A caller's note is the caller's data: one of 10 MiB, far over what once was cut, comes back
// whole behind the captured link.
TEST_F(HelperSessionTest, ACallersNoteOfTenMebibytesComesBackWhole) {
    ASSERT_TRUE(startInstalledHelper(kSampleConnector)) << errorsOf("helper");
    startSample();
    std::string note(10 << 20, 'n');
    for (std::size_t at = 0; at < note.size(); at += 4096) {
        note[at] = 'o';  // so that a piece lost or moved shows
    }
    const std::string noteFile = path("tmp/note.txt");
    linux_test::writeFile(noteFile, note);

    Finished invoke = run(mainApplication(),
                          {"invoke", "--note-file", noteFile, "--wait", "--timeout", "240"}, 300s);
    ASSERT_EQ(invoke.exitStatus, 0) << invoke.errors << errorsOf("helper");
    const auto reply = firstReply(invoke.output);
    ASSERT_GE(reply.size(), 2u) << errorsOf("helper");
    EXPECT_TRUE(reply[1] ==
                "qepp note 'utxt' \"" + std::string(kDocumentURL) + "\\n\\n" + note + "\"")
        << reply[1].size() << " characters: " << reply[1].substr(0, 200) << errorsOf("helper");
    EXPECT_EQ(reply[2], "qepp pnam 'utxt' \"" + std::string(kWindowName) + "\"");
}

// A 16 MB selection makes a note of 32 MB as UTF-16, more than one event on the bus may carry:
// the answer goes without the note, says so in the log, and the helper stays on the bus. The
// bounds are generous: on a busy machine under the sanitizers the request alone can take
// half a minute to cross the bus.
TEST_F(HelperSessionTest, AnAnswerTooLargeForTheBusGoesWithoutItsNoteAndTheHelperStaysReachable) {
    ASSERT_TRUE(startInstalledHelper(kSampleConnector)) << errorsOf("helper");
    listen(false, "standard", 600);
    startSample();
    const std::string selection = path("tmp/selection.txt");
    linux_test::writeFile(selection, std::string(16'000'000, 'w'));

    Finished request = run(sampleApplication(), {"services", "--selection-file", selection}, 300s);
    EXPECT_EQ(request.exitStatus, 0) << request.output << request.errors << errorsOf("helper");
    ASSERT_TRUE(waitForLine("standard", kReplyEnd, 300s)) << errorsOf("helper");
    const auto reply = firstReply(outputOf("standard"));
    // Neither a shortened note nor any other: the title alone.
    EXPECT_EQ(reply,
              (std::vector<std::string>{
                  kReplyLine, "qepp pnam 'utxt' \"" + std::string(kWindowName) + "\"", kReplyEnd}))
        << errorsOf("helper");
    EXPECT_THAT(errorsOf("helper"),
                HasSubstr("more than one event may carry: it goes again without its note"));

    Finished version = run(mainApplication(), {"version", "--timeout", "60"}, 120s);
    EXPECT_EQ(version.exitStatus, 0) << version.errors << errorsOf("helper");
    EXPECT_FALSE(linux_test::processGone(helperPid()));
}

// A helper that nobody can reach any more ends with status 1, so that the next start takes
// its place: here its session's bus goes away under it.
TEST_F(HelperSessionTest, AHelperThatCannotBeReachedEndsWithStatusOne) {
    ASSERT_TRUE(startInstalledHelper()) << errorsOf("helper");
    const pid_t daemon = busDaemon();
    ASSERT_GT(daemon, 0);
    ASSERT_EQ(::kill(daemon, SIGTERM), 0);
    // The exit status, or 128 + the signal that ended it.
    const auto status = linux_test::waitForExitOrKill(helperPid(), 60s);
    ASSERT_TRUE(status.has_value()) << "the helper did not end" << errorsOf("helper");
    EXPECT_EQ(*status, 1) << errorsOf("helper");
    EXPECT_THAT(errorsOf("helper"), HasSubstr("Lost the connection to the session bus"));
}

TEST_F(HelperSessionTest, AnUpdateEndsTheHelperAndTheNewVersionAnswers) {
    ASSERT_TRUE(startInstalledHelper()) << errorsOf("helper");
    const std::string newer = path("Downloads/PendraMacSandboxHelper.app");
    fs::copy(kHelperBundle, newer, fs::copy_options::recursive);
    const int newVersion = PENDRA_BUNDLE_VERSION + 101;
    setInfo(newer, "CFBundleVersion", std::to_string(newVersion));

    Finished update = run(mainApplication(), {"update", newer});
    EXPECT_EQ(update.exitStatus, 0) << update.output << update.errors;
    EXPECT_TRUE(linux_test::eventually([&] { return linux_test::processGone(helperPid()); }, 60s))
        << errorsOf("helper");

    bool answered = false;
    Finished version;
    for (const auto deadline = std::chrono::steady_clock::now() + 120s;
         !answered && std::chrono::steady_clock::now() < deadline;) {
        version = run(mainApplication(), {"version", "--timeout", "5"}, 15s);
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
        [&] { return linux_test::readFile(record).find('\n') != std::string::npos; }, 60s))
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
    ASSERT_TRUE(waitForLine("standard", launched, 60s))
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
    ASSERT_TRUE(linux_test::eventually(
        [&] {
            return outputOf("sample").find("opened \"pendrahelper://quickentry?title=") !=
                   std::string::npos;
        },
        60s))
        << outputOf("sample") << errorsOf("sample");
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
    ASSERT_TRUE(linux_test::eventually(
        [&] { return outputOf("sample").find("refused core/getd") != std::string::npos; }, 60s))
        << outputOf("sample") << errorsOf("helper");
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
