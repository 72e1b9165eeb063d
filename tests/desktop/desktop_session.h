// The real applications of a desktop session (scripts/desktop-session.sh provides the X
// server, the window manager and the accessibility bus): Chromium, Firefox ESR, gedit and
// Mousepad, each showing a document of this test's home, started once for the whole program
// and ended by process id.
#pragma once

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

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
    std::vector<std::string> command;
    pid_t pid = -1;
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

class RealApplications : public ::testing::Environment {
  public:
    static bool available() {
        const char* display = std::getenv("DISPLAY");
        return display != nullptr && display[0] != '\0' &&
               std::getenv("PENDRA_DESKTOP_ROOT") != nullptr;
    }

    void SetUp() override {
        if (!available()) {
            return;
        }
        const std::string home = std::getenv("HOME");
        const std::string root = std::getenv("PENDRA_DESKTOP_ROOT");
        const std::string docs = home + "/docs";
        std::filesystem::create_directories(docs);
        test_support::writeFile(docs + "/page.html",
                                "<html><head><title>Local Test Page</title></head>"
                                "<body><p>Hello</p></body></html>");
        test_support::writeFile(docs + "/second.html",
                                "<html><head><title>Second Page</title></head>"
                                "<body><p>Again</p></body></html>");
        test_support::writeFile(docs + "/notes one.txt", "notes\n");
        test_support::writeFile(docs + "/list.txt", "list\n");
        std::filesystem::create_directories(root + "/firefox");
        test_support::writeFile(root + "/firefox/user.js",
                                "user_pref(\"browser.shell.checkDefaultBrowser\", false);\n"
                                "user_pref(\"browser.startup.homepage_override.mstone\", "
                                "\"ignore\");\n"
                                "user_pref(\"datareporting.policy.dataSubmissionEnabled\", "
                                "false);\n"
                                "user_pref(\"browser.aboutwelcome.enabled\", false);\n");
        std::vector<std::string> chromium{"chromium",
                                          "--force-renderer-accessibility",
                                          "--no-first-run",
                                          "--no-default-browser-check",
                                          "--disable-gpu",
                                          "--password-store=basic",
                                          "--user-data-dir=" + root + "/chromium"};
        if (::geteuid() == 0) {
            chromium.push_back("--no-sandbox");
        }
        chromiumCommand = chromium;
        chromium.push_back(fileURL(docs + "/page.html"));
        applications = {
            {"Chromium",
             "chromium",
             "chromium",
             "Local Test Page",
             fileURL(docs + "/page.html"),
             false,
             chromium,
             -1,
             {}},
            {"Firefox ESR",
             "firefox-esr",
             "firefox",
             "Local Test Page",
             fileURL(docs + "/page.html"),
             true,
             {"firefox-esr", "--no-remote", "--profile", root + "/firefox",
              fileURL(docs + "/page.html")},
             -1,
             {}},
            {"gedit",
             "org.gnome.gedit",
             "gedit",
             "notes one.txt",
             fileURL(docs + "/notes one.txt"),
             true,
             {"gedit", docs + "/notes one.txt"},
             -1,
             {}},
            {"Mousepad",
             "org.xfce.mousepad",
             "mousepad",
             "list.txt",
             fileURL(docs + "/list.txt"),
             true,
             {"mousepad", docs + "/list.txt"},
             -1,
             {}},
        };
        for (auto& application : applications) {
            application.pid = start(application.command, root + "/logs/" + application.windowClass);
        }
        for (auto& application : applications) {
            application.window = windowOf(application, 60s);
            if (application.window.empty()) {
                ADD_FAILURE() << application.label << " showed no window";
            }
        }
    }

    void TearDown() override {
        for (pid_t pid : started) {
            ::kill(pid, SIGCONT);
            test_support::killAndReap(pid);
        }
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

    // The newest visible window of an application, waiting for one at most `limit`.
    static std::string windowOf(const RealApplication& application,
                                std::chrono::milliseconds limit = 5s) {
        std::string window;
        test_support::eventually(
            [&] {
                const std::string all = commandOutput("xdotool search --onlyvisible --class " +
                                                      application.windowClass);
                window = all.substr(all.rfind('\n') == std::string::npos ? 0 : all.rfind('\n') + 1);
                return !window.empty();
            },
            limit);
        return window;
    }

    // Brings an application's first window to the front and waits until the desktop says so.
    static bool activate(const RealApplication& application) {
        const std::string& window = application.window;
        if (window.empty()) {
            return false;
        }
        commandOutput("xdotool windowactivate --sync " + window);
        return test_support::eventually(
            [&] { return commandOutput("xdotool getactivewindow") == window; }, 5s);
    }

    const RealApplication& named(const std::string& label) const {
        for (const auto& each : applications) {
            if (each.label == label) {
                return each;
            }
        }
        throw std::runtime_error("no application " + label);
    }

    std::vector<RealApplication> applications;
    std::vector<std::string> chromiumCommand;
    std::vector<pid_t> started;
};

inline RealApplications* applications = nullptr;

}  // namespace desktop_test
