// The process tests' fixture: a private session (see testing/private_session.h) for each test,
// with what the tests ask of it: programs run to their end, lines awaited, the helper started
// and answering.
#pragma once

#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "linux/test_support.h"
#include "platform/property_list.h"
#include "testing/private_session.h"

namespace process_test {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using private_session::kDocumentName;
using private_session::kDocumentURL;
using private_session::kHelperBundle;
using private_session::kHelperExecutable;
using private_session::kSampleConnector;
using private_session::kWindowName;

inline const std::string kWriteDefault = PENDRA_WRITE_DEFAULT_EXECUTABLE;

inline constexpr const char* kReplyLine = "reply PNDR/sqep";
inline constexpr const char* kReplyEnd = "reply end";

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
        std::string missing;
        if (!private_session::canStart(&missing)) {
            GTEST_SKIP() << missing;
        }
        session_ = std::make_unique<private_session::PrivateSession>();
        ASSERT_TRUE(session_->startBus()) << "no private session bus";
    }

    void TearDown() override { session_.reset(); }

    // Paths in this session.
    std::string path(const std::string& relative) const { return session_->path(relative); }
    std::string mainApplication(bool development = false) const {
        return session_->mainApplication(development);
    }
    std::string sampleApplication() const { return session_->sampleApplication(); }
    std::string installedHelper() const { return session_->installedHelper(); }
    // What the session's programs find in DBUS_SESSION_BUS_ADDRESS, for connections of the
    // test's own.
    std::string busAddress() const { return session_->busAddress(); }

    // Starts a program in its own process group with its output in files; answers its pid.
    pid_t start(const std::string& program, const std::vector<std::string>& arguments,
                const std::string& name) {
        return session_->start(program, arguments, name);
    }
    std::string outputOf(const std::string& name) const { return session_->outputOf(name); }
    std::string errorsOf(const std::string& name) const { return session_->errorsOf(name); }

    // Runs a program to its end, bounded. Every bound here is generous: a wait ends as soon as
    // what it waits for has happened, and a busy machine under the sanitizers is slow.
    Finished run(const std::string& program, const std::vector<std::string>& arguments,
                 std::chrono::milliseconds limit = 60s) {
        const std::string name = "run" + std::to_string(++runs_);
        const pid_t pid = start(program, arguments, name);
        Finished result;
        result.exitStatus = test_support::waitForExitOrKill(pid, limit);
        result.output = outputOf(name);
        result.errors = errorsOf(name);
        return result;
    }

    // Waits, bounded, until a started program's output holds the line.
    bool waitForLine(const std::string& name, const std::string& line,
                     std::chrono::milliseconds limit = 60s, int times = 1) {
        return linux_test::eventually([&] { return countLines(outputOf(name), line) >= times; },
                                      limit);
    }

    // The helper, installed in its designated folder (with the extra connectors given), then
    // started from there; true once it answers getVersion.
    bool startInstalledHelper(const std::string& extraConnectors = {}) {
        helperPid_ = start(session_->installHelper(extraConnectors), {}, "helper");
        return waitForHelper();
    }

    bool waitForHelper(std::chrono::milliseconds limit = 60s) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            Finished version = run(mainApplication(), {"version", "--timeout", "5"}, 15s);
            if (version.exitStatus == 0) {
                return true;
            }
            std::this_thread::sleep_for(100ms);
        }
        return false;
    }

    // Sets a value in a bundle's Info.plist.
    static void setInfo(const std::string& bundle, const std::string& key,
                        const std::string& value) {
        const std::string file = bundle + "/Contents/Info.plist";
        auto info = linux_test::readPropertyListFile(file);
        ASSERT_TRUE(info && info->dictionaryValue());
        auto dictionary = *info->dictionaryValue();
        dictionary[key] = platform::PropertyList(value);
        ASSERT_TRUE(platform::linux_platform::writeFileAtomically(
            file, platform::PropertyList(dictionary).toXML()));
    }

    pid_t helperPid() const { return helperPid_; }
    pid_t busDaemon() const { return session_->busDaemon(); }

    // A main application variant listening in the background.
    void listen(bool development, const std::string& name, int seconds = 60) {
        start(mainApplication(development), {"--listen-seconds", std::to_string(seconds)}, name);
        ASSERT_TRUE(waitForLine(name, "arguments end")) << outputOf(name) << errorsOf(name);
    }

    // A sample application in the background, frontmost, with its document; answers its pid.
    pid_t startSample(const std::vector<std::string>& extra = {},
                      const std::string& name = "sample", const std::string& program = {}) {
        const pid_t pid = session_->startSample(extra, name, program);
        EXPECT_TRUE(session_->saidFrontmost(name)) << outputOf(name) << errorsOf(name);
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
    void stop(pid_t pid) { session_->stop(pid); }

  private:
    std::unique_ptr<private_session::PrivateSession> session_;
    pid_t helperPid_ = -1;
    int runs_ = 0;
};

}  // namespace process_test
