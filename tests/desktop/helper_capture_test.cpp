// The helper itself on the desktop: with each real application in front, an invoke request
// from the stand-in main application is answered with its page's or file's title and link; an
// application in front that does not answer, stopped or busy, costs a capture no more than its
// budget, and a capture never makes it busy (LibreOffice Calc, whose spreadsheet a careless
// search walks cell by cell). Each request carries a tag of its own, which its answer brings
// back: an answer that came after its request was given up would be seen in the wrong place.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "desktop/desktop_session.h"
#include "linux/test_support.h"
#include "linux_desktop.h"

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
        ready_ = test_support::eventually(
            [] {
                return std::system(
                           ("'" + main_ + "' version --timeout 2 >/dev/null 2>&1").c_str()) == 0;
            },
            30s);
        applications->start({main_, "--listen-seconds", "400"}, listenerLog_);
        ready_ =
            ready_ && test_support::eventually(
                          [] {
                              return test_support::readFile(listenerLog_).find("arguments end") !=
                                     std::string::npos;
                          },
                          15s);
    }

    void SetUp() override {
        if (!RealApplications::available() || main_.empty()) {
            GTEST_SKIP() << "no desktop session, or the bundles have not been built";
        }
        ASSERT_TRUE(ready_) << test_support::readFile(helperLog_);
    }

    // Sends an invoke request and answers the entries of the reply it brings, which must be
    // the next one and carry the request's tag; `took` is how long the helper took from the
    // request to its answer, as its log says.
    std::vector<std::string> invoke(std::chrono::milliseconds* took = nullptr) {
        const int number = ++replies_;
        const std::string tag = "request " + std::to_string(number);
        const std::size_t logged = test_support::readFile(helperLog_).size();
        std::system(("'" + main_ + "' invoke --tags '" + tag + "' >/dev/null 2>&1").c_str());
        std::vector<std::string> entries;
        test_support::eventually(
            [&] {
                entries = reply(test_support::readFile(listenerLog_), number);
                return !entries.empty();
            },
            30s);
        if (took != nullptr) {
            *took =
                helperTime(logged, "Responding to caller") - helperTime(logged, "Received invoke");
        }
        EXPECT_TRUE(entries.empty() ||
                    std::find(entries.begin(), entries.end(), "qepp tnam 'utxt' \"" + tag + "\"") !=
                        entries.end())
            << "the answer of another request came in place of " << tag << ": "
            << ::testing::PrintToString(entries);
        return entries;
    }

    // The time of day, in milliseconds, of the first line of the helper's log after `offset`
    // that holds the text ("2026-12-09 00:36:35.558 ..."); a day when there is none.
    static std::chrono::milliseconds helperTime(std::size_t offset, const std::string& text) {
        const std::string log = test_support::readFile(helperLog_);
        const auto at = log.find(text, offset);
        const auto line = at == std::string::npos ? at : log.rfind('\n', at) + 1;
        int hours = 0, minutes = 0, seconds = 0, milliseconds = 0;
        if (line == std::string::npos ||
            std::sscanf(log.c_str() + line, "%*d-%*d-%*d %d:%d:%d.%d", &hours, &minutes, &seconds,
                        &milliseconds) != 4) {
            return 24h;
        }
        return std::chrono::hours(hours) + std::chrono::minutes(minutes) +
               std::chrono::seconds(seconds) + std::chrono::milliseconds(milliseconds);
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

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

bool contains(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

TEST_F(HelperCaptureTest, EachApplicationInFrontGivesItsTitleAndLink) {
    for (const auto& each : applications->applications) {
        SCOPED_TRACE(each.label);
        ASSERT_TRUE(RealApplications::activate(each));
        // On a loaded machine a browser's tree can take longer than a capture's budget to come
        // the first time; that capture gives the title alone, and once the late answer has
        // come (a minute at most) the application is asked again.
        std::vector<std::string> entries = invoke();
        const auto until = std::chrono::steady_clock::now() + 70s;
        while (!contains(entries, entry("note", each.documentURL)) &&
               std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(1s);
            entries = invoke();
        }
        EXPECT_TRUE(contains(entries, entry("pnam", each.documentName)))
            << ::testing::PrintToString(entries) << test_support::readFile(helperLog_);
        EXPECT_TRUE(contains(entries, entry("note", each.documentURL)))
            << ::testing::PrintToString(entries);
    }
}

TEST_F(HelperCaptureTest, AStoppedApplicationInFrontIsCapturedByItsTitleWithinTwoSeconds) {
    REQUIRE_APPLICATION(gedit, "gedit");
    ASSERT_TRUE(RealApplications::activate(gedit));
    if (onWayland()) {
        // Only the application itself says that it is in front, and what its title is: the
        // helper has seen it there before it stops, longer ago than a view is answered again.
        ASSERT_TRUE(contains(invoke(), entry("note", gedit.documentURL)));
        std::this_thread::sleep_for(1100ms);
    }
    ::kill(gedit.pid, SIGSTOP);
    std::chrono::milliseconds took{};
    const auto entries = invoke(&took);
    std::chrono::milliseconds again{};
    const auto second = invoke(&again);
    ::kill(gedit.pid, SIGCONT);
    ASSERT_FALSE(entries.empty()) << "no answer";
    // gedit's title names its file with the folder.
    EXPECT_TRUE(contains(entries, entry("pnam", gedit.documentName)))
        << ::testing::PrintToString(entries) << test_support::readFile(helperLog_);
    EXPECT_TRUE(contains(entries, entry("note", gedit.documentURL)))
        << ::testing::PrintToString(entries);
    EXPECT_LE(took, 2s);
    // Asked again at once, it is not waited for a second time.
    EXPECT_TRUE(contains(second, entry("note", gedit.documentURL)))
        << ::testing::PrintToString(second);
    // Without a window manager the first capture finds it silent where it looks for the
    // active window and waits no longer than that; neither waits for it the second time.
    if (onWayland()) {
        EXPECT_LT(again, platform::linux_platform::DesktopSession::kCaptureBudget);
    } else {
        EXPECT_LE(again, took);
    }
    RecordProperty("stopped_capture_ms", std::to_string(took.count()));
}

// An application that is not on the accessibility bus (here gedit with its toolkit's bridge to
// the bus left out) is captured by its window title, and the log says once, naming its desktop
// entry, what the person can do; its captures write no script errors.
TEST_F(HelperCaptureTest, AnApplicationNotOnTheAccessibilityBusGivesItsTitleAndSaysWhyOnce) {
    REQUIRE_APPLICATION(gedit, "gedit");
    if (onWayland()) {
        GTEST_SKIP() << "an application off the accessibility bus has no window the helper sees "
                        "on Wayland";
    }
    const std::string file = std::string(std::getenv("HOME")) + "/docs/aside.txt";
    test_support::writeFile(file, "aside\n");
    const pid_t pid = applications->start(
        {"env", "NO_AT_BRIDGE=1", "gedit", "--standalone", file},
        std::string(std::getenv("PENDRA_DESKTOP_ROOT")) + "/logs/gedit-off-the-bus");
    RealApplication aside{"gedit off the bus",
                          gedit.identifier,
                          gedit.windowClass,
                          "aside.txt",
                          fileURL(file),
                          false,
                          {},
                          pid,
                          {}};
    ASSERT_TRUE(test_support::eventually(
        [&] {
            const std::string all = commandOutput("xdotool search --onlyvisible --pid " +
                                                  std::to_string(pid) + " --name aside");
            aside.window =
                all.substr(all.rfind('\n') == std::string::npos ? 0 : all.rfind('\n') + 1);
            return !aside.window.empty();
        },
        60s))
        << "gedit showed no window";
    ASSERT_TRUE(RealApplications::activate(aside));
    const std::size_t logged = test_support::readFile(helperLog_).size();
    const auto first = invoke();
    const auto second = invoke();
    for (const auto& entries : {first, second}) {
        EXPECT_TRUE(contains(entries, entry("pnam", aside.documentName)))
            << ::testing::PrintToString(entries) << test_support::readFile(helperLog_);
        EXPECT_TRUE(contains(entries, entry("note", aside.documentURL)))
            << ::testing::PrintToString(entries);
    }
    const std::string log = test_support::readFile(helperLog_).substr(logged);
    const std::string why = "Captures of " + gedit.identifier + " see only its window title: ";
    EXPECT_EQ(occurrences(log, why), 1U) << log;
    EXPECT_NE(log.find("not on the desktop's accessibility bus"), std::string::npos) << log;
    EXPECT_EQ(log.find("AppleScript execution error"), std::string::npos) << log;
    // Ended now, so that no other test finds a second gedit; reaped with the others.
    ::kill(pid, SIGKILL);
}

// Chromium started without its flag shows its window but not its page on the accessibility
// bus: the capture gives the window's title with Chromium's own entry as the link, and the log
// names the flag once.
TEST_F(HelperCaptureTest, ChromiumWithoutItsFlagGivesItsWindowTitleAndSaysWhyOnce) {
    REQUIRE_APPLICATION(chromium, "Chromium");
    if (onWayland()) {
        GTEST_SKIP() << "its window is found and activated through X11";
    }
    const std::string root = std::getenv("PENDRA_DESKTOP_ROOT");
    std::vector<std::string> command;
    for (const auto& argument : chromium.command) {
        if (argument == "--force-renderer-accessibility") {
            continue;
        }
        command.push_back(argument.starts_with("--user-data-dir=")
                              ? "--user-data-dir=" + root + "/chromium-without-flag"
                              : argument);
    }
    const pid_t pid = applications->start(command, root + "/logs/chromium-without-flag");
    RealApplication plain{"Chromium without its flag",
                          chromium.identifier,
                          chromium.windowClass,
                          "",
                          "",
                          false,
                          {},
                          pid,
                          {}};
    // The browser's window is the one of its visible windows that the window manager activates.
    ASSERT_TRUE(test_support::eventually(
        [&] {
            std::istringstream windows(
                commandOutput("xdotool search --onlyvisible --pid " + std::to_string(pid)));
            for (std::string window; std::getline(windows, window);) {
                plain.window = window;
                if (RealApplications::activate(plain)) {
                    return true;
                }
            }
            return false;
        },
        90s))
        << "Chromium showed no window that could be activated";
    // The window is "Untitled" until its page has loaded, which a busy machine makes take a
    // while: the title the capture must give is the page's.
    std::string title;
    EXPECT_TRUE(test_support::eventually(
        [&] {
            title = commandOutput("xdotool getactivewindow getwindowname");
            return title.starts_with(chromium.documentName);
        },
        30s))
        << title;
    const std::size_t logged = test_support::readFile(helperLog_).size();
    const auto first = invoke();
    const auto second = invoke();
    for (const auto& entries : {first, second}) {
        EXPECT_TRUE(contains(entries, entry("pnam", title)))
            << title << ::testing::PrintToString(entries) << test_support::readFile(helperLog_);
        EXPECT_TRUE(
            contains(entries, entry("note", "file:///usr/share/applications/chromium.desktop")))
            << ::testing::PrintToString(entries);
    }
    const std::string log = test_support::readFile(helperLog_).substr(logged);
    const std::string why = "Captures of chromium see only its window title: ";
    EXPECT_EQ(occurrences(log, why), 1U) << log;
    EXPECT_NE(log.find("--force-renderer-accessibility"), std::string::npos) << log;
    EXPECT_EQ(log.find("AppleScript execution error"), std::string::npos) << log;
    ::kill(pid, SIGKILL);
}

// Calc opens a window in about a second; one frozen by a capture took minutes.
TEST_F(HelperCaptureTest, WithCalcInFrontACaptureEndsWithinTwoSecondsAndCalcStaysResponsive) {
    if (applications->group() != "browsers-and-editors") {
        GTEST_SKIP() << "tried with the first group only, beside the applications it may slow";
    }
    if (commandOutput("which localc").empty()) {
        GTEST_SKIP() << "LibreOffice Calc is not installed";
    }
    const std::string root = std::getenv("PENDRA_DESKTOP_ROOT");
    const std::string sheet = std::string(std::getenv("HOME")) + "/docs/budget.fods";
    test_support::writeFile(
        sheet,
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<office:document xmlns:office=\"urn:oasis:names:tc:opendocument:xmlns:office:1.0\" "
        "xmlns:table=\"urn:oasis:names:tc:opendocument:xmlns:table:1.0\" "
        "xmlns:text=\"urn:oasis:names:tc:opendocument:xmlns:text:1.0\" office:version=\"1.2\" "
        "office:mimetype=\"application/vnd.oasis.opendocument.spreadsheet\"><office:body>"
        "<office:spreadsheet><table:table table:name=\"Costs\"><table:table-row>"
        "<table:table-cell office:value-type=\"string\"><text:p>rent</text:p></table:table-cell>"
        "</table:table-row></table:table></office:spreadsheet></office:body></office:document>\n");
    writeLibreOfficeProfile(root);
    applications->start(
        {"localc", "--norestore", "-env:UserInstallation=file://" + root + "/libreoffice", sheet},
        root + "/logs/calc");
    const RealApplication calc{"LibreOffice Calc",
                               "libreoffice-calc",
                               "libreoffice-calc",
                               "budget.fods",
                               fileURL(sheet),
                               false,
                               {},
                               -1,
                               {}};
    auto windows = [] {
        const std::string all =
            commandOutput("xdotool search --onlyvisible --class libreoffice-calc");
        return all.empty() ? 0 : static_cast<int>(std::count(all.begin(), all.end(), '\n')) + 1;
    };
    std::string document;
    ASSERT_TRUE(test_support::eventually(
        [&] {
            document = commandOutput("xdotool search --onlyvisible --name 'budget.fods'");
            return !document.empty() && document.find('\n') == std::string::npos;
        },
        90s))
        << "Calc showed no window";
    // Opens a new spreadsheet window from the document's and says how long it took to show.
    auto newWindow = [&] {
        const int before = windows();
        commandOutput("xdotool windowactivate --sync " + document);
        const auto start = std::chrono::steady_clock::now();
        commandOutput("xdotool key --clearmodifiers ctrl+n");
        const bool shown = test_support::eventually([&] { return windows() > before; }, 90s);
        return shown ? std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now() - start)
                     : std::chrono::milliseconds::max();
    };
    const auto usual = newWindow();
    ASSERT_NE(usual, std::chrono::milliseconds::max()) << "Calc opened no new window";

    commandOutput("xdotool windowactivate --sync " + document);
    ASSERT_TRUE(test_support::eventually(
        [&] { return commandOutput("xdotool getactivewindow") == document; }, 5s));
    std::chrono::milliseconds took{};
    const auto entries = invoke(&took);
    ASSERT_FALSE(entries.empty()) << "no answer";
    EXPECT_LE(took, 2s) << test_support::readFile(helperLog_);
    EXPECT_TRUE(contains(entries, entry("pnam", calc.documentName)))
        << ::testing::PrintToString(entries) << test_support::readFile(helperLog_);

    const auto after = newWindow();
    EXPECT_LE(after, std::max<std::chrono::milliseconds>(20s, usual * 5))
        << "Calc opened a window in " << usual.count() << " ms before the capture";
    RecordProperty("calc_capture_ms", std::to_string(took.count()));
    RecordProperty("calc_new_window_ms_before", std::to_string(usual.count()));
    RecordProperty("calc_new_window_ms_after", std::to_string(after.count()));
}

// A person selects a file's text in an editor and presses the key bound to the Services
// command: the main application gets the selection with the editor's file as context. An editor
// that holds the selection but does not answer costs the command its timeout, and nothing is
// sent.
TEST_F(HelperCaptureTest, TheServicesCommandSendsAnEditorsSelectionWithItsFile) {
    if (const char* wayland = std::getenv("WAYLAND_DISPLAY"); wayland != nullptr && *wayland) {
        GTEST_SKIP() << "the selection is made with keys xdotool types, on X11 only; "
                        "tests/desktop/wayland_selection_test.sh reads Wayland's";
    }
    const std::string command = std::string(std::getenv("XDG_DATA_HOME")) +
                                "/Pendra Sandbox Helper/PendraMacSandboxHelper.app/Contents/MacOS/"
                                "PendraSandboxHelperServicesTool";
    const std::string commandLog =
        std::string(std::getenv("PENDRA_DESKTOP_ROOT")) + "/logs/services";
    auto runCommand = [&](const std::string& arguments) {
        const int status = std::system(
            ("timeout 60 '" + command + "' " + arguments + " 2>'" + commandLog + "'").c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    int editors = 0;
    // What each editor's file holds, which a selection of all of it gives.
    for (const auto& [label, text] : {std::pair{"gedit", "notes"}, std::pair{"Mousepad", "list"}}) {
        const RealApplication* editor = applications->named(label);
        if (editor == nullptr) {
            continue;
        }
        ++editors;
        SCOPED_TRACE(editor->label);
        ASSERT_TRUE(RealApplications::activate(*editor));
        commandOutput("xdotool key --clearmodifiers ctrl+a");
        // The editor may take a moment to claim the selection after the key: until it has,
        // the command finds nothing selected and asks for the context alone.
        const std::string note =
            entry("note", std::string(text) + "\\n\\n" + editor->documentURL + "\\n\\n");
        int status = -1;
        std::vector<std::string> entries;
        for (int attempt = 0; attempt < 3 && !contains(entries, note); ++attempt) {
            status = runCommand("");
            if (status != 0) {
                std::this_thread::sleep_for(1s);
                continue;
            }
            const int number = ++replies_;
            test_support::eventually(
                [&] {
                    entries = reply(test_support::readFile(listenerLog_), number);
                    return !entries.empty();
                },
                30s);
        }
        ASSERT_EQ(status, 0) << test_support::readFile(commandLog);
        EXPECT_TRUE(contains(entries, entry("pnam", editor->documentName)))
            << ::testing::PrintToString(entries) << test_support::readFile(helperLog_);
        EXPECT_TRUE(contains(entries, note)) << ::testing::PrintToString(entries);

        ::kill(editor->pid, SIGSTOP);
        const auto start = std::chrono::steady_clock::now();
        const int stuck = runCommand("--timeout 1");
        const auto took = std::chrono::steady_clock::now() - start;
        ::kill(editor->pid, SIGCONT);
        EXPECT_EQ(stuck, 2);
        EXPECT_LT(took, 15s) << "the command waited beyond its timeout";
        EXPECT_NE(test_support::readFile(commandLog).find("did not answer in time"),
                  std::string::npos)
            << test_support::readFile(commandLog);
    }
    if (editors == 0) {
        GTEST_SKIP() << "no editor in the group " << applications->group();
    }
    // Nothing came for the requests that were not sent.
    std::this_thread::sleep_for(1s);
    EXPECT_TRUE(reply(test_support::readFile(listenerLog_), replies_ + 1).empty());
}

// Entries named like desktop entries that are none (a FIFO, a link to a device) and 450 links
// to the folder above, beside the real ones: the capture that reads them again still answers,
// and the helper's memory stays bounded.
TEST_F(HelperCaptureTest, EntriesThatAreNoFilesAndFolderCyclesLeaveTheCaptureAnswering) {
    REQUIRE_APPLICATION(gedit, "gedit");
    const std::string applicationsFolder =
        std::string(std::getenv("XDG_DATA_HOME")) + "/applications";
    fs::create_directories(applicationsFolder);
    const std::string fifo = applicationsFolder + "/fifo.desktop";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    fs::create_symlink("/dev/zero", applicationsFolder + "/zero.desktop");
    for (int i = 0; i < 450; ++i) {
        fs::create_directory_symlink("..", applicationsFolder + "/up" + std::to_string(i));
    }
    ASSERT_TRUE(RealApplications::activate(gedit));
    const auto entries = invoke();
    EXPECT_TRUE(contains(entries, entry("pnam", gedit.documentName)))
        << ::testing::PrintToString(entries) << test_support::readFile(helperLog_);
    EXPECT_LT(linux_test::peakKilobytes(helper_), 512 * 1024) << "kB at the peak";
    EXPECT_NE(test_support::readFile(helperLog_)
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
