// The helper itself on the desktop: with each real application in front, an invoke request
// from the stand-in main application is answered with its page's or file's title and link; a
// stopped application in front ends the capture at the script's timeout with nothing.
#include <signal.h>

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
        applications->start({data + "/Pendra Sandbox Helper/PendraMacSandboxHelper.app/Contents/"
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
    const auto entries = invoke();
    ::kill(gedit.pid, SIGCONT);
    ASSERT_FALSE(entries.empty()) << "no answer";
    EXPECT_FALSE(contains(entries, entry("pnam", gedit.documentName)))
        << ::testing::PrintToString(entries);
    for (const auto& line : entries) {
        EXPECT_EQ(line.find(gedit.documentURL), std::string::npos) << line;
    }
}

}  // namespace
}  // namespace desktop_test
