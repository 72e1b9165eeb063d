// The helper itself on the desktop: with each real application in front, an invoke request
// from the stand-in main application is answered with its page's or file's title and link; a
// stopped application in front ends the capture at the script's timeout with nothing.
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "desktop/desktop_session.h"
#include "linux/test_support.h"

namespace desktop_test {
namespace {

namespace fs = std::filesystem;

const std::string kHelperBundle = std::string(PENDRA_BUNDLE_DIR) + "/PendraMacSandboxHelper.app";
const std::string kMainBundle = std::string(PENDRA_DEVTOOLS_BUNDLE_DIR) + "/PendraMac.app";

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// The entries of the n-th reply (from 1) the listener printed.
std::vector<std::string> reply(const std::string& output, int wanted) {
    std::vector<std::string> entries;
    int seen = 0;
    for (const auto& line : linesOf(output)) {
        seen += line == "reply PNDR/sqep" ? 1 : 0;
        if (seen == wanted && line.rfind("qepp ", 0) == 0) {
            entries.push_back(line);
        }
        if (seen == wanted && line == "reply end") {
            return entries;
        }
    }
    return {};
}

class HelperCaptureTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (!RealApplications::available() || !fs::exists(kHelperBundle) ||
            !fs::exists(kMainBundle)) {
            return;
        }
        const std::string root = std::getenv("PENDRA_DESKTOP_ROOT");
        const std::string data = std::getenv("XDG_DATA_HOME");
        fs::create_directories(root + "/Applications");
        fs::copy(kMainBundle, root + "/Applications/PendraMac.app", fs::copy_options::recursive);
        fs::create_directories(data + "/Pendra Sandbox Helper");
        fs::copy(kHelperBundle, data + "/Pendra Sandbox Helper/PendraMacSandboxHelper.app",
                 fs::copy_options::recursive);
        ::setenv("PENDRA_APPLICATIONS_PATH", (root + "/Applications").c_str(), 1);
        ::setenv("PENDRA_LOG_TO_STDERR", "1", 1);
        main_ = root + "/Applications/PendraMac.app/Contents/MacOS/PendraMac";
        listenerLog_ = root + "/logs/listener";
        helperLog_ = root + "/logs/helper";
        helper_ = applications->start(
            {data + "/Pendra Sandbox Helper/PendraMacSandboxHelper.app/Contents/"
                    "MacOS/PendraMacSandboxHelper"},
            helperLog_);
        ready_ = linux_test::eventually(
            [] {
                return std::system(
                           ("'" + main_ + "' version --timeout 2 >/dev/null 2>&1").c_str()) == 0;
            },
            30s);
        applications->start({main_, "--listen-seconds", "400"}, listenerLog_);
        ready_ =
            ready_ && linux_test::eventually(
                          [] {
                              return linux_test::readFile(listenerLog_).find("arguments end") !=
                                     std::string::npos;
                          },
                          15s);
    }

    void SetUp() override {
        if (!RealApplications::available() || main_.empty()) {
            GTEST_SKIP() << "no desktop session, or the bundles have not been built";
        }
        ASSERT_TRUE(ready_) << linux_test::readFile(helperLog_);
    }

    // Sends an invoke request and answers the entries of the reply it brings.
    std::vector<std::string> invoke() {
        const int number = ++replies_;
        std::system(("'" + main_ + "' invoke >/dev/null 2>&1").c_str());
        std::vector<std::string> entries;
        linux_test::eventually(
            [&] {
                entries = reply(linux_test::readFile(listenerLog_), number);
                return !entries.empty();
            },
            30s);
        return entries;
    }

    static inline std::string main_;
    static inline pid_t helper_ = -1;
    static inline std::string listenerLog_;
    static inline std::string helperLog_;
    static inline bool ready_ = false;
    static inline int replies_ = 0;
};

std::string entry(const std::string& keyword, const std::string& value) {
    return "qepp " + keyword + " 'utxt' \"" + value + "\"";
}

bool contains(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

TEST_F(HelperCaptureTest, EachApplicationInFrontGivesItsTitleAndLink) {
    for (const auto& each : applications->applications) {
        SCOPED_TRACE(each.label);
        ASSERT_TRUE(RealApplications::activate(each));
        const auto entries = invoke();
        EXPECT_TRUE(contains(entries, entry("pnam", each.documentName)))
            << ::testing::PrintToString(entries) << linux_test::readFile(helperLog_);
        EXPECT_TRUE(contains(entries, entry("note", each.documentURL)))
            << ::testing::PrintToString(entries);
    }
}

TEST_F(HelperCaptureTest, AStoppedApplicationInFrontGivesAnEmptyAnswerAtTheTimeout) {
    const auto& gedit = applications->named("gedit");
    ASSERT_TRUE(RealApplications::activate(gedit));
    ::kill(gedit.pid, SIGSTOP);
    const auto start = std::chrono::steady_clock::now();
    const auto entries = invoke();
    const auto took = std::chrono::steady_clock::now() - start;
    ::kill(gedit.pid, SIGCONT);
    ASSERT_FALSE(entries.empty()) << "no answer";
    // At the connector's timeout of 10 seconds: not before (the question waited for the
    // application), and not long after it (allowing for a busy machine).
    EXPECT_GE(took, 10s);
    EXPECT_LE(took, 20s);
    EXPECT_FALSE(contains(entries, entry("pnam", gedit.documentName)))
        << ::testing::PrintToString(entries);
    for (const auto& line : entries) {
        EXPECT_EQ(line.find(gedit.documentURL), std::string::npos) << line;
    }
}

// Entries named like desktop entries that are none (a FIFO, a link to a device) and 450 links
// to the folder above, beside the real ones: the capture that reads them again still answers,
// and the helper's memory stays bounded.
TEST_F(HelperCaptureTest, EntriesThatAreNoFilesAndFolderCyclesLeaveTheCaptureAnswering) {
    const std::string applicationsFolder =
        std::string(std::getenv("XDG_DATA_HOME")) + "/applications";
    fs::create_directories(applicationsFolder);
    const std::string fifo = applicationsFolder + "/fifo.desktop";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    fs::create_symlink("/dev/zero", applicationsFolder + "/zero.desktop");
    for (int i = 0; i < 450; ++i) {
        fs::create_directory_symlink("..", applicationsFolder + "/up" + std::to_string(i));
    }
    const auto& gedit = applications->named("gedit");
    ASSERT_TRUE(RealApplications::activate(gedit));
    const auto entries = invoke();
    EXPECT_TRUE(contains(entries, entry("pnam", gedit.documentName)))
        << ::testing::PrintToString(entries) << linux_test::readFile(helperLog_);
    EXPECT_LT(linux_test::peakKilobytes(helper_), 512 * 1024) << "kB at the peak";
    EXPECT_NE(linux_test::readFile(helperLog_)
                  .find("Ignoring the desktop entry " + fifo + ": it is a FIFO"),
              std::string::npos);
    fs::remove(fifo);
    fs::remove(applicationsFolder + "/zero.desktop");
    for (int i = 0; i < 450; ++i) {
        fs::remove(applicationsFolder + "/up" + std::to_string(i));
    }
}

}  // namespace
}  // namespace desktop_test
