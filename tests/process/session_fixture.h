// A whole session for the helper and its counterparts: a private session bus started with
// dbus-run-session, a home with its own XDG folders, temporary folder and Applications folder,
// the stand-in main applications and the sample document application installed there, and the
// processes a test starts, all ended when the test ends.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "linux/test_support.h"
#include "platform/format.h"
#include "platform/property_list.h"

namespace process_test {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

inline const std::string kHelperBundle =
    std::string(PENDRA_BUNDLE_DIR) + "/PendraMacSandboxHelper.app";
inline const std::string kDevtoolsBundles = PENDRA_DEVTOOLS_BUNDLE_DIR;
inline constexpr const char* kHelperExecutable = "Contents/MacOS/PendraMacSandboxHelper";
inline const std::string kWriteDefault = PENDRA_WRITE_DEFAULT_EXECUTABLE;

inline constexpr const char* kReplyLine = "reply PNDR/sqep";
inline constexpr const char* kReplyEnd = "reply end";

// The sample application's document, and a front window named apart from it, so that a capture
// shows which question it asked.
inline constexpr const char* kDocumentName = "Quarterly Report.txt";
inline constexpr const char* kDocumentURL = "file:///home/ana/Quarterly%20Report.txt";
inline constexpr const char* kWindowName = "Quarterly Report - Editing";

// What a finished command printed.
struct Finished {
    std::optional<int> exitStatus;  // absent when it had to be killed
    std::string output;
    std::string errors;

    bool printed(const std::string& line) const {
        std::istringstream lines(output);
        std::string each;
        while (std::getline(lines, each)) {
            if (each == line) {
                return true;
            }
        }
        return false;
    }
};

inline std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        lines.push_back(line);
    }
    return lines;
}

// The lines of the n-th complete reply (from 1) in an output, "reply PNDR/sqep" to "reply end".
inline std::vector<std::string> replyNumber(const std::string& output, int wanted) {
    std::vector<std::string> reply;
    int seen = 0;
    for (const auto& line : linesOf(output)) {
        if (line == kReplyLine) {
            ++seen;
            reply.clear();
        }
        if (seen == wanted) {
            reply.push_back(line);
            if (line == kReplyEnd) {
                return reply;
            }
        }
    }
    return {};
}

inline bool contains(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

inline int countLines(const std::string& text, const std::string& line) {
    int count = 0;
    for (const auto& each : linesOf(text)) {
        count += each == line ? 1 : 0;
    }
    return count;
}

class SessionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!fs::exists(kHelperBundle + "/" + kHelperExecutable) ||
            !fs::exists(kDevtoolsBundles + "/PendraMac.app/Contents/MacOS/PendraMac")) {
            GTEST_SKIP() << "the helper bundle or the development bundles have not been built";
        }
        if (std::system("command -v dbus-run-session >/dev/null 2>&1") != 0) {
            GTEST_SKIP() << "dbus-run-session is not installed";
        }
        root_ = folder_.path();
        for (const char* sub : {"home", "config", "data", "cache", "runtime", "tmp", "Applications",
                                "Downloads", "logs"}) {
            fs::create_directories(root_ + "/" + sub);
        }
        ::chmod((root_ + "/runtime").c_str(), 0700);
        environment_.set("HOME", root_ + "/home");
        environment_.set("XDG_CONFIG_HOME", root_ + "/config");
        environment_.set("XDG_DATA_HOME", root_ + "/data");
        environment_.set("XDG_CACHE_HOME", root_ + "/cache");
        environment_.set("XDG_RUNTIME_DIR", root_ + "/runtime");
        environment_.set("TMPDIR", root_ + "/tmp");
        environment_.set("PENDRA_APPLICATIONS_PATH", root_ + "/Applications");
        environment_.set("PENDRA_LOG_TO_STDERR", "1");
        environment_.set("PENDRA_DEVTOOLS_RECORD_DIR", std::nullopt);
        // The stand-in applications say which of them is in front, not a desktop.
        environment_.set("DISPLAY", std::nullopt);
        environment_.set("WAYLAND_DISPLAY", std::nullopt);
        for (const char* app :
             {"PendraMac.app", "PendraMac Development.app", "Sample Document.app"}) {
            fs::copy(kDevtoolsBundles + "/" + app, root_ + "/Applications/" + app,
                     fs::copy_options::recursive);
        }
        ASSERT_TRUE(startBus()) << "no private session bus";
    }

    void TearDown() override {
        // First the processes this test started, then whatever runs from its folder (what the
        // helper launched), then the bus.
        for (pid_t pid : started_) {
            ::kill(-pid, SIGKILL);
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        killEverythingUnder(root_);
        if (busKeeper_ > 0) {
            ::kill(busKeeper_, SIGTERM);
        }
        if (busSession_ > 0 && !linux_test::waitForChild(busSession_, 5s)) {
            ::kill(-busSession_, SIGKILL);
        }
    }

    // Paths in this session.
    std::string path(const std::string& relative) const { return root_ + "/" + relative; }
    std::string mainApplication(bool development = false) const {
        return path(std::string("Applications/") +
                    (development ? "PendraMac Development.app" : "PendraMac.app") +
                    "/Contents/MacOS/PendraMac");
    }
    std::string sampleApplication() const {
        return path("Applications/Sample Document.app/Contents/MacOS/SampleDocument");
    }
    std::string installedHelper() const {
        return path("data/Pendra Sandbox Helper/PendraMacSandboxHelper.app");
    }

    // Starts a program in its own process group with its output in files; answers its pid.
    pid_t start(const std::string& program, const std::vector<std::string>& arguments,
                const std::string& name) {
        const std::string out = path("logs/" + name + ".out");
        const std::string err = path("logs/" + name + ".err");
        pid_t pid = ::fork();
        if (pid == 0) {
            ::setpgid(0, 0);
            int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(o, 1);
            ::dup2(e, 2);
            std::vector<char*> argv{const_cast<char*>(program.c_str())};
            for (const auto& argument : arguments) {
                argv.push_back(const_cast<char*>(argument.c_str()));
            }
            argv.push_back(nullptr);
            ::execv(program.c_str(), argv.data());
            ::_exit(127);
        }
        started_.push_back(pid);
        return pid;
    }
    std::string outputOf(const std::string& name) const {
        return linux_test::readFile(path("logs/" + name + ".out"));
    }
    std::string errorsOf(const std::string& name) const {
        return linux_test::readFile(path("logs/" + name + ".err"));
    }

    // Runs a program to its end, bounded.
    Finished run(const std::string& program, const std::vector<std::string>& arguments,
                 std::chrono::milliseconds limit = 20s) {
        const std::string name = "run" + std::to_string(++runs_);
        const pid_t pid = start(program, arguments, name);
        Finished result;
        if (auto status = linux_test::waitForChild(pid, limit)) {
            result.exitStatus = WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
        }
        result.output = outputOf(name);
        result.errors = errorsOf(name);
        return result;
    }

    // Waits, bounded, until a started program's output holds the line.
    bool waitForLine(const std::string& name, const std::string& line,
                     std::chrono::milliseconds limit = 15s, int times = 1) {
        return linux_test::eventually([&] { return countLines(outputOf(name), line) >= times; },
                                      limit);
    }

    // The helper, installed in its designated folder (with the extra connectors given), then
    // started from there; true once it answers getVersion.
    bool startInstalledHelper(const std::string& extraConnectors = {}) {
        fs::create_directories(path("data/Pendra Sandbox Helper"));
        fs::copy(kHelperBundle, installedHelper(), fs::copy_options::recursive);
        if (!extraConnectors.empty()) {
            addConnectors(installedHelper(), extraConnectors);
        }
        helperPid_ = start(installedHelper() + "/" + kHelperExecutable, {}, "helper");
        return waitForHelper();
    }

    bool waitForHelper(std::chrono::milliseconds limit = 15s) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            Finished version = run(mainApplication(), {"version", "--timeout", "2"}, 5s);
            if (version.exitStatus == 0) {
                return true;
            }
            std::this_thread::sleep_for(100ms);
        }
        return false;
    }

    // Adds connector entries (the inner text of the table's dictionary) to a helper bundle.
    static void addConnectors(const std::string& helperBundle, const std::string& entries) {
        const std::string table = helperBundle + "/Contents/Resources/ApplicationConnectors.plist";
        std::string text = linux_test::readFile(table);
        const auto at = text.find("<dict>");
        ASSERT_NE(at, std::string::npos);
        text.insert(at + 6, entries);
        linux_test::writeFile(table, text);
    }

    // Sets a value in a bundle's Info.plist.
    static void setInfo(const std::string& bundle, const std::string& key,
                        const std::string& value) {
        const std::string file = bundle + "/Contents/Info.plist";
        auto info = platform::PropertyList::readFromFile(file);
        ASSERT_TRUE(info && info->dictionaryValue());
        auto dictionary = *info->dictionaryValue();
        dictionary[key] = platform::PropertyList(value);
        ASSERT_TRUE(platform::linux_platform::writeFileAtomically(
            file, platform::PropertyList(dictionary).toXML()));
    }

    pid_t helperPid() const { return helperPid_; }

    // A main application variant listening in the background.
    void listen(bool development, const std::string& name) {
        start(mainApplication(development), {"--listen-seconds", "60"}, name);
        ASSERT_TRUE(waitForLine(name, "arguments end")) << outputOf(name) << errorsOf(name);
    }

    // A sample application in the background, frontmost, with its document; answers its pid.
    pid_t startSample(const std::vector<std::string>& extra = {},
                      const std::string& name = "sample", const std::string& program = {}) {
        std::vector<std::string> arguments{
            "--name",        kDocumentName, "--url",         kDocumentURL,
            "--window-name", kWindowName,   "--run-seconds", "60"};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        const pid_t pid = start(program.empty() ? sampleApplication() : program, arguments, name);
        EXPECT_TRUE(linux_test::eventually([&] {
            return outputOf(name).find("frontmost ") != std::string::npos;
        })) << outputOf(name)
            << errorsOf(name);
        return pid;
    }

    // Another application made from the sample application: the same program under its own
    // name and identifier, installed beside it. Answers its executable.
    std::string installSampleCopy(const std::string& name, const std::string& identifier) {
        const std::string bundle = path("Applications/" + name + ".app");
        fs::copy(path("Applications/Sample Document.app"), bundle, fs::copy_options::recursive);
        setInfo(bundle, "CFBundleIdentifier", identifier);
        setInfo(bundle, "CFBundleName", name);
        return bundle + "/Contents/MacOS/SampleDocument";
    }

    // Ends a program this test started.
    void stop(pid_t pid) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        started_.erase(std::remove(started_.begin(), started_.end(), pid), started_.end());
    }

  private:
    bool startBus() {
        int pipe[2];
        if (::pipe(pipe) != 0) {
            return false;
        }
        busSession_ = ::fork();
        if (busSession_ == 0) {
            ::setpgid(0, 0);
            ::dup2(pipe[1], 1);
            ::close(pipe[0]);
            ::close(pipe[1]);
            ::execlp("dbus-run-session", "dbus-run-session", "--", "sh", "-c",
                     "echo \"$$ $DBUS_SESSION_BUS_ADDRESS\"; exec sleep 600", nullptr);
            ::_exit(127);
        }
        ::close(pipe[1]);
        std::string line;
        char c = 0;
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        ::fcntl(pipe[0], F_SETFL, O_NONBLOCK);
        while (std::chrono::steady_clock::now() < deadline) {
            ssize_t n = ::read(pipe[0], &c, 1);
            if (n == 1) {
                if (c == '\n') {
                    break;
                }
                line += c;
            } else if (n == 0) {
                break;
            } else {
                std::this_thread::sleep_for(10ms);
            }
        }
        ::close(pipe[0]);
        const auto space = line.find(' ');
        if (space == std::string::npos || space + 1 >= line.size()) {
            return false;
        }
        busKeeper_ = static_cast<pid_t>(
            platform::integerValueOfText(std::string_view(line).substr(0, space)));
        environment_.set("DBUS_SESSION_BUS_ADDRESS", line.substr(space + 1));
        return true;
    }

    static void killEverythingUnder(const std::string& root) {
        if (root.empty()) {
            return;
        }
        std::error_code ignored;
        for (const auto& entry : fs::directory_iterator("/proc", ignored)) {
            const std::string name = entry.path().filename().string();
            if (name.find_first_not_of("0123456789") != std::string::npos) {
                continue;
            }
            const fs::path exe = fs::read_symlink(entry.path() / "exe", ignored);
            if (!ignored && exe.string().rfind(root + "/", 0) == 0) {
                ::kill(static_cast<pid_t>(platform::integerValueOfText(name)), SIGKILL);
            }
        }
    }

    linux_test::TemporaryFolder folder_;
    linux_test::ScopedEnvironment environment_;
    std::string root_;
    std::vector<pid_t> started_;
    pid_t busSession_ = -1;
    pid_t busKeeper_ = -1;
    pid_t helperPid_ = -1;
    int runs_ = 0;
};

}  // namespace process_test
