// The real applications of a desktop session (scripts/desktop-session.sh provides the X
// server and the window manager, or the Wayland compositor, and the accessibility bus): a group of
// them, each showing a document of this test's home, started once for the whole program and ended
// by process id.
#pragma once

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "linux_desktop.h"
#include "testing/files.h"
#include "testing/processes.h"

namespace desktop_test {

using namespace std::chrono_literals;

struct RealApplication {
    std::string label;       // for messages
    std::string identifier;  // its desktop entry
    std::string windowClass;
    std::string documentName;
    std::string documentURL;
    bool marksActiveFrame;  // whether it marks its active window on the accessibility bus
    // Empty for an application whose window another row's command opens (one process may
    // hold the documents of several applications).
    std::vector<std::string> command;
    pid_t pid = -1;      // the process of its window
    std::string window;  // the window it opened with
};

// A shell command's standard output, bounded by `timeout`.
inline std::string commandOutput(const std::string& command) {
    std::string output;
    if (FILE* pipe = ::popen(("timeout 10 " + command + " 2>/dev/null").c_str(), "r")) {
        char buffer[512];
        while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
            output += buffer;
        }
        ::pclose(pipe);
    }
    while (!output.empty() && output.back() == '\n') {
        output.pop_back();
    }
    return output;
}

inline std::string fileURL(const std::string& path) {
    std::string url = "file://";
    for (char c : path) {
        url += c == ' ' ? std::string("%20") : std::string(1, c);
    }
    return url;
}

// The folders of the session the applications' documents and profiles go into.
struct SessionFolders {
    std::string home;  // the session's home
    std::string root;  // the session's own folder, for profiles and logs
    std::string docs;  // documents, under the home
};

// A group of applications tried together in one session: writes what they open and says how
// to start them. Groups register themselves by name; a test program runs the one its
// "--group NAME" argument names.
using ApplicationGroup = std::vector<RealApplication> (*)(const SessionFolders&);

inline std::map<std::string, ApplicationGroup>& applicationGroups() {
    static std::map<std::string, ApplicationGroup> groups;
    return groups;
}

struct GroupRegistration {
    GroupRegistration(const std::string& name, ApplicationGroup group) {
        applicationGroups()[name] = group;
    }
};

// Whether the session is a Wayland compositor's (sway, asked through swaymsg) rather than an X
// server's with an EWMH window manager (asked through xdotool).
inline bool onWayland() {
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    return wayland != nullptr && wayland[0] != '\0';
}

// A value of the compositor's nodes that pass a jq filter, one a line.
inline std::string swayTree(const std::string& filter) {
    return commandOutput("swaymsg -t get_tree | jq -r '.. | objects | " + filter + "'");
}

// A LibreOffice profile of its own under `root`, which skips the first start's greetings; a
// start names it with -env:UserInstallation=file://<root>/libreoffice.
inline void writeLibreOfficeProfile(const std::string& root) {
    test_support::writeFile(
        root + "/libreoffice/user/registrymodifications.xcu",
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<oor:items xmlns:oor=\"http://openoffice.org/2001/registry\">"
        "<item oor:path=\"/org.openoffice.Office.Common/Misc\"><prop oor:name=\"ShowTipOfTheDay\" "
        "oor:op=\"fuse\"><value>false</value></prop></item>"
        "<item oor:path=\"/org.openoffice.Setup/Office\"><prop oor:name=\"ooSetupInstCompleted\" "
        "oor:op=\"fuse\"><value>true</value></prop></item></oor:items>\n");
}

class RealApplications : public ::testing::Environment {
  public:
    static bool available() {
        const char* display = std::getenv("DISPLAY");
        return ((display != nullptr && display[0] != '\0') || onWayland()) &&
               std::getenv("PENDRA_DESKTOP_ROOT") != nullptr;
    }

    explicit RealApplications(std::string group) : group_(std::move(group)) {}

    void SetUp() override {
        if (!available()) {
            return;
        }
        const auto group = applicationGroups().find(group_);
        if (group == applicationGroups().end()) {
            ADD_FAILURE() << "no group of applications named " << group_;
            return;
        }
        const std::string home = std::getenv("HOME");
        const std::string root = std::getenv("PENDRA_DESKTOP_ROOT");
        const SessionFolders folders{home, root, home + "/docs"};
        std::filesystem::create_directories(folders.docs);
        applications = group->second(folders);
        // One at a time, each once the one before has shown its window: a group started all at
        // once on a fresh machine once left Kate without a window (why is printed below, should
        // it happen again), and a machine that starts one program at a time is less loaded.
        for (auto& application : applications) {
            if (!application.command.empty()) {
                application.pid =
                    start(application.command, root + "/logs/" + application.windowClass);
            }
            application.window = windowOf(application, 90s);
            if (application.window.empty() && !application.command.empty()) {
                // A program that never comes up on a fresh machine is started once more, and
                // why the first start failed is printed, since its log is gone with the session.
                std::fprintf(stderr, "%s showed no window in 90 s; starting it again\n%s",
                             application.label.c_str(), whyNoWindow(application, root).c_str());
                test_support::killAndReap(application.pid);
                std::erase(started, application.pid);
                application.pid = start(application.command,
                                        root + "/logs/" + application.windowClass + ".again");
                application.window = windowOf(application, 60s);
            }
            if (application.window.empty()) {
                ADD_FAILURE() << application.label << " showed no window\n"
                              << whyNoWindow(application, root);
                continue;
            }
            // The window may be another process's than the one started: a server the command
            // asked over the bus, or the program a wrapper started. The desktop sees that one.
            const pid_t owner = static_cast<pid_t>(
                std::atoi(commandOutput("xdotool getwindowpid " + application.window).c_str()));
            if (owner > 0 && owner != application.pid) {
                application.pid = owner;
                started.push_back(owner);
            }
        }
    }

    void TearDown() override {
        for (pid_t pid : started) {
            ::kill(pid, SIGCONT);
            test_support::killAndReap(pid);
        }
    }

    // What the desktop and the process say about an application that showed no window: whether
    // its process lives and in what state, the windows of its class, and its log's end.
    static std::string whyNoWindow(const RealApplication& application, const std::string& root) {
        const std::string pid = std::to_string(application.pid);
        const std::string log = root + "/logs/" + application.windowClass;
        return "  process " + pid + ": " +
               commandOutput("ps -o stat=,wchan:20=,etime=,args= -p " + pid + " || echo gone") +
               "\n  its children: " + commandOutput("ps -o pid=,stat=,args= --ppid " + pid) +
               "\n  windows of its class: " +
               commandOutput("xdotool search --class " + application.windowClass +
                             " getwindowname %@") +
               "\n  the end of its log:\n" +
               commandOutput("tail -n 12 '" + log + "' '" + log + ".again'") + "\n";
    }

    // Starts a program in a process group of its own, with this process's environment as it is
    // now and its output in the log file.
    pid_t start(const std::vector<std::string>& command, const std::string& log) {
        test_support::StartOptions options(log);
        options.truncate = true;
        options.ownProcessGroup = true;
        const pid_t pid = test_support::startProgram(
            command.front(), {command.begin() + 1, command.end()},
            test_support::Environment::ofThisProcess().entries(), options);
        if (pid > 0) {
            started.push_back(pid);
        }
        return pid;
    }

    // The newest visible window of an application, waiting for one at most `limit`: an X11
    // window, or a container of the compositor.
    static std::string windowOf(const RealApplication& application,
                                std::chrono::milliseconds limit = 5s) {
        std::string window;
        test_support::eventually(
            [&] {
                const std::string all =
                    onWayland() ? swayTree("select(.pid? == " + std::to_string(application.pid) +
                                           " and .visible? == true) | .id")
                                : commandOutput("xdotool search --onlyvisible --class " +
                                                application.windowClass);
                window = all.substr(all.rfind('\n') == std::string::npos ? 0 : all.rfind('\n') + 1);
                return !window.empty();
            },
            limit);
        return window;
    }

    // The window that has the focus, and its title.
    static std::string activeWindow() {
        return onWayland() ? swayTree("select(.focused? == true) | .id")
                           : commandOutput("xdotool getactivewindow");
    }
    static std::string activeWindowTitle() {
        return onWayland() ? swayTree("select(.focused? == true) | .name")
                           : commandOutput("xdotool getactivewindow getwindowname");
    }

    // Brings an application's first window to the front and waits until the desktop says so.
    static bool activate(const RealApplication& application) {
        const std::string& window = application.window;
        if (window.empty()) {
            return false;
        }
        commandOutput(onWayland() ? "swaymsg '[con_id=" + window + "] focus'"
                                  : "xdotool windowactivate --sync " + window);
        return test_support::eventually([&] { return activeWindow() == window; }, 5s);
    }

    // The application of this group with that label, or null.
    const RealApplication* named(const std::string& label) const {
        for (const auto& each : applications) {
            if (each.label == label) {
                return &each;
            }
        }
        return nullptr;
    }

    const std::string& group() const { return group_; }

    std::vector<RealApplication> applications;
    std::vector<pid_t> started;

  private:
    std::string group_;
};

inline RealApplications* applications = nullptr;

// A test of what the desktop says of the session's applications; skipped outside a session.
class DesktopViewTest : public ::testing::Test {
  protected:
    using DesktopApplicationView = platform::linux_platform::DesktopApplicationView;
    using DesktopDocument = platform::linux_platform::DesktopDocument;
    using DesktopQuery = platform::linux_platform::DesktopQuery;

    void SetUp() override {
        if (!RealApplications::available()) {
            GTEST_SKIP() << "no desktop session (run through scripts/desktop-session.sh)";
        }
    }

    // Asks for the process's view until its front document's `field` is `wanted`, `limit` at
    // most (a window's document comes a moment after the window, and an application that
    // missed a capture's budget rests until its late answer has come); `view` holds the last.
    bool viewShows(pid_t pid, std::string DesktopDocument::*field, const std::string& wanted,
                   std::chrono::milliseconds limit, DesktopApplicationView* view) {
        return test_support::eventually(
            [&] {
                return desktop.viewOfProcess(pid, 2s, view) == DesktopQuery::answered &&
                       view->frontDocument && (*view->frontDocument).*field == wanted;
            },
            limit);
    }

    platform::linux_platform::DesktopSession desktop;
};

// The application of the running group with that label; the test is skipped in a group
// without it.
#define REQUIRE_APPLICATION(variable, label)                                       \
    const RealApplication* variable##Row = applications->named(label);             \
    if (variable##Row == nullptr) {                                                \
        GTEST_SKIP() << label << " is not in the group " << applications->group(); \
    }                                                                              \
    const RealApplication& variable = *variable##Row

}  // namespace desktop_test
