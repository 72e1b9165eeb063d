// The helper as the user runs it: the assembled bundles started as real processes, on a
// private session bus, with the home folder, the XDG folders, the temporary folder and the
// applications folder inside a temporary folder of the test's own.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/apple_event_descriptor.h"
#include "platform/format.h"
#include "testing/files.h"
#include "testing/private_bus.h"
#include "testing/private_session.h"
#include "testing/processes.h"

namespace system_test {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

using private_session::kApplicationInterface;
using private_session::kApplicationPath;
using private_session::kHelperExecutable;
using private_session::kHelperIdentifier;
using private_session::kMainApplicationIdentifier;
inline constexpr const char* kHelperAppName = "PendraMacSandboxHelper.app";
inline constexpr const char* kRelaunchToolExecutable =
    "Contents/MacOS/PendraSandboxHelperRelaunchTool.app/Contents/MacOS/"
    "PendraSandboxHelperRelaunchTool";
inline constexpr const char* kDidLaunch = "PendraMacSandboxHelperDidLaunchNotification";
inline constexpr const char* kDidTerminate = "PendraMacSandboxHelperDidTerminateNotification";
// Where notifications are posted.
inline constexpr const char* kNotificationPath = "/com/orvano/Pendra/DistributedNotifications";
inline constexpr const char* kNotificationInterface = "com.orvano.Pendra.DistributedNotifications";

using test_support::itemExists;
using test_support::namesIn;
using test_support::readFile;
using test_support::waitForExit;
using test_support::writeFile;

// Every item below a folder with its kind and a digest of its content, for "nothing changed"
// comparisons (the executables are large, and a failure prints the tree).
inline std::map<std::string, std::string> treeAt(const std::string& root) {
    return test_support::treeAt(root, test_support::FileContent::Digest);
}

// Polls until the condition holds or the bound has passed; answers the last result.
inline bool waitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds bound = 10s) {
    return test_support::eventually(condition, bound);
}

inline bool processRuns(pid_t pid) {
    return !test_support::processGone(pid);
}

// The processes whose executable is the given file (live ones only).
inline std::vector<pid_t> processesRunning(const std::string& executable) {
    std::vector<pid_t> found;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
        const std::string name = entry.path().filename().string();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        std::error_code linkError;
        const auto target = std::filesystem::read_symlink(entry.path() / "exe", linkError);
        if (!linkError && target.string() == executable &&
            processRuns(static_cast<pid_t>(platform::integerValueOfText(name)))) {
            found.push_back(static_cast<pid_t>(platform::integerValueOfText(name)));
        }
    }
    return found;
}

// An Apple Event to the helper, addressed by bundle identifier.
inline platform::AppleEventDescriptor helperEvent(const char (&eventClass)[5],
                                                  const char (&eventID)[5]) {
    return platform::AppleEventDescriptor::appleEventWithEventClass(
        platform::fourCharCode(eventClass), platform::fourCharCode(eventID),
        platform::AppleEventDescriptor::descriptorWithApplicationBundleIdentifier(
            kHelperIdentifier),
        -1, 0);
}

// A connection of the test's own to the private bus: sends events as raw bytes and records
// every distributed notification posted after it was opened.
class BusClient {
  public:
    explicit BusClient(const std::string& address) {
        if (sd_bus_new(&bus_) < 0 || sd_bus_set_address(bus_, address.c_str()) < 0 ||
            sd_bus_set_bus_client(bus_, 1) < 0 || sd_bus_start(bus_) < 0) {
            sd_bus_unref(bus_);
            bus_ = nullptr;
            return;
        }
        sd_bus_match_signal(bus_, &slot_, nullptr, kNotificationPath, kNotificationInterface,
                            "Posted", &BusClient::onNotification, this);
    }
    ~BusClient() {
        sd_bus_slot_unref(slot_);
        sd_bus_flush_close_unref(bus_);
    }
    BusClient(const BusClient&) = delete;
    BusClient& operator=(const BusClient&) = delete;

    bool connected() const { return bus_ != nullptr && slot_ != nullptr; }

    bool nameHasOwner(const std::string& name) {
        sd_bus_error error = SD_BUS_ERROR_NULL;
        sd_bus_message* reply = nullptr;
        int owned = 0;
        if (sd_bus_call_method(bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                               "org.freedesktop.DBus", "NameHasOwner", &error, &reply, "s",
                               name.c_str()) >= 0) {
            sd_bus_message_read(reply, "b", &owned);
        }
        sd_bus_message_unref(reply);
        sd_bus_error_free(&error);
        return owned != 0;
    }

    // Calls the helper's event method with the bytes; the reply's bytes, or absent with the
    // bus error's name in *failure.
    std::optional<std::vector<std::uint8_t>> send(const std::vector<std::uint8_t>& bytes,
                                                  std::string* failure = nullptr) {
        sd_bus_message* call = nullptr;
        sd_bus_message* reply = nullptr;
        sd_bus_error error = SD_BUS_ERROR_NULL;
        std::optional<std::vector<std::uint8_t>> answer;
        int r = sd_bus_message_new_method_call(bus_, &call, kHelperIdentifier, kApplicationPath,
                                               kApplicationInterface, "HandleEvent");
        if (r >= 0) {
            sd_bus_message_set_auto_start(call, 0);
            r = sd_bus_message_append_array(call, 'y', bytes.data(), bytes.size());
        }
        if (r >= 0) {
            r = sd_bus_call(bus_, call, 5'000'000, &error, &reply);
        }
        const void* data = nullptr;
        std::size_t size = 0;
        if (r >= 0 && sd_bus_message_read_array(reply, 'y', &data, &size) >= 0) {
            const auto* begin = static_cast<const std::uint8_t*>(data);
            answer = std::vector<std::uint8_t>(begin, begin + size);
        } else if (failure != nullptr) {
            *failure = error.name != nullptr ? error.name : std::strerror(-r);
        }
        sd_bus_message_unref(reply);
        sd_bus_message_unref(call);
        sd_bus_error_free(&error);
        return answer;
    }

    std::optional<platform::AppleEventDescriptor> sendEvent(
        const platform::AppleEventDescriptor& event) {
        const auto bytes = send(event.flatten());
        if (!bytes) {
            return std::nullopt;
        }
        return platform::AppleEventDescriptor::unflatten(*bytes);
    }

    // Reads what the bus has delivered until the notification has been seen (that many times)
    // or the bound has passed.
    bool waitForNotification(const std::string& name, std::chrono::milliseconds bound = 10s,
                             long times = 1) {
        const auto deadline = Clock::now() + bound;
        while (true) {
            while (sd_bus_process(bus_, nullptr) > 0) {
            }
            if (std::count(notifications.begin(), notifications.end(), name) >= times) {
                return true;
            }
            if (Clock::now() >= deadline) {
                return false;
            }
            sd_bus_wait(bus_, 50'000);
        }
    }

    std::vector<std::string> notifications;

  private:
    static int onNotification(sd_bus_message* message, void* userdata, sd_bus_error*) {
        const char* name = nullptr;
        if (sd_bus_message_read(message, "s", &name) >= 0 && name != nullptr) {
            static_cast<BusClient*>(userdata)->notifications.emplace_back(name);
        }
        return 0;
    }

    sd_bus* bus_ = nullptr;
    sd_bus_slot* slot_ = nullptr;
};

// Started under the name of the installed main application's executable (a copy of this test
// program, see sendAsMainApplication), the program plays the main application sending one
// event: the bytes in the file that PENDRA_SYSTEM_TEST_SEND names go to the helper, and the
// reply's bytes to that path with ".reply" appended.
// Launched without an event, it idles as the smallest main application does.
inline const bool kSendingMainApplicationRole = [] {
    std::error_code error;
    if (std::filesystem::read_symlink("/proc/self/exe", error).filename() != "PendraMac") {
        return true;
    }
    const char* eventFile = std::getenv("PENDRA_SYSTEM_TEST_SEND");
    const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (eventFile == nullptr || address == nullptr) {
        std::this_thread::sleep_for(std::chrono::seconds(30));
        std::_Exit(0);
    }
    BusClient client(address);
    const std::string bytes = readFile(eventFile);
    const auto answer = client.send(std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
    if (answer) {
        writeFile(std::string(eventFile) + ".reply", std::string(answer->begin(), answer->end()));
    }
    std::_Exit(answer ? 0 : 1);
}();

class SystemTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        // Programs started in new sessions end up as this process's children once their
        // launchers end, so that they can be reaped and none is left behind.
        ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    }

    void SetUp() override {
        root = test_support::makeTemporaryFolder("pendra-system-");
        home = root + "/home";
        dataHome = home + "/.local/share";
        configHome = home + "/.config";
        runtime = root + "/run";
        temporary = root + "/tmp";
        applications = root + "/Applications";
        logs = root + "/logs";
        for (const auto& folder :
             {home, dataHome, configHome, runtime, temporary, applications, logs}) {
            std::filesystem::create_directories(folder);
        }
        std::filesystem::permissions(runtime, std::filesystem::perms::owner_all);
        installFolder = dataHome + "/Pendra Sandbox Helper";
        installedHelper = installFolder + "/" + kHelperAppName;
        autostart = configHome + "/autostart";
        bus_ = std::make_unique<test_support::PrivateBus>(
            runtime, logs + "/bus.log", std::vector<std::string>{"PATH=/usr/bin:/bin", marker()});
        ASSERT_TRUE(bus_->started()) << bus_->error();
        busAddress = bus_->address();
    }

    void TearDown() override {
        bus_.reset();
        endEveryProcess();
        test_support::removeTree(root);
    }

    // The environment every program of the test starts with. The marker finds them again.
    std::vector<std::string> environment() const {
        const char* path = std::getenv("PATH");
        std::vector<std::string> variables = {
            "PATH=" + std::string(path != nullptr ? path : "/usr/bin:/bin"),
            "HOME=" + home,
            "XDG_DATA_HOME=" + dataHome,
            "XDG_CONFIG_HOME=" + configHome,
            "XDG_RUNTIME_DIR=" + runtime,
            "TMPDIR=" + temporary,
            "PENDRA_APPLICATIONS_PATH=" + applications,
            "DBUS_SESSION_BUS_ADDRESS=" + busAddress,
            "PENDRA_LOG_TO_STDERR=1",
            "LC_ALL=C.UTF-8",
            marker()};
        std::erase_if(variables, [this](const std::string& variable) {
            return withoutVariables.contains(variable.substr(0, variable.find('=')));
        });
        return variables;
    }

    // Variables of the environment above that the test's programs start without.
    std::set<std::string> withoutVariables;

    std::string marker() const { return "PENDRA_SYSTEM_TEST_ROOT=" + root; }

    // Starts a program with the test's environment; its standard output and error go to the
    // log file. `fileSizeLimit` makes writes past that size fail, as on a full disk.
    pid_t start(const std::string& program, const std::vector<std::string>& arguments,
                const std::string& logFile, std::optional<rlim_t> fileSizeLimit = std::nullopt,
                const std::vector<std::string>& moreEnvironment = {}) {
        std::vector<std::string> envText = environment();
        envText.insert(envText.end(), moreEnvironment.begin(), moreEnvironment.end());
        test_support::StartOptions options(logFile);
        options.fileSizeLimit = fileSizeLimit;
        return test_support::startProgram(program, arguments, envText, options);
    }

    pid_t startHelper(const std::string& bundle, const std::string& logName) {
        return start(bundle + "/" + kHelperExecutable, {}, logs + "/" + logName);
    }

    std::string log(const std::string& logName) const { return readFile(logs + "/" + logName); }

    // A copy of the helper bundle as the build assembled it.
    std::string copyHelperTo(const std::string& folder) {
        std::filesystem::create_directories(folder);
        const std::string bundle = folder + "/" + kHelperAppName;
        std::filesystem::copy(std::string(PENDRA_BUNDLE_DIR) + "/" + kHelperAppName, bundle,
                              std::filesystem::copy_options::recursive |
                                  std::filesystem::copy_options::copy_symlinks);
        return bundle;
    }

    // The smallest main application the helper recognises: an Info.plist and an executable.
    // The main application's bundle, in the applications folder unless another is named.
    void installMainApplication(std::string folder = {}) {
        const std::string bundle = (folder.empty() ? applications : folder) + "/PendraMac.app";
        writeFile(bundle + "/Contents/Info.plist",
                  "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                  "<key>CFBundleIdentifier</key><string>" +
                      std::string(kMainApplicationIdentifier) +
                      "</string><key>CFBundleExecutable</key><string>PendraMac</string>"
                      "<key>CFBundleName</key><string>PendraMac</string>"
                      "<key>CFBundlePackageType</key><string>APPL</string></dict></plist>\n");
        writeFile(bundle + "/Contents/MacOS/PendraMac", "#!/bin/sh\nexec sleep 30\n");
        std::filesystem::permissions(bundle + "/Contents/MacOS/PendraMac",
                                     std::filesystem::perms::owner_all);
    }

    // Sends an event to the helper from a process of the installed main application, the only
    // sender that may have the helper update or disable itself: the application's executable
    // becomes a copy of this test program, which sends the event and ends. The reply, absent
    // when none came. With a folder named, the bundle of that folder sends it.
    std::optional<platform::AppleEventDescriptor> sendAsMainApplication(
        const platform::AppleEventDescriptor& event, std::string folder = {}) {
        const std::string executable =
            (folder.empty() ? applications : folder) + "/PendraMac.app/Contents/MacOS/PendraMac";
        std::filesystem::copy_file("/proc/self/exe", executable,
                                   std::filesystem::copy_options::overwrite_existing);
        const std::string file = root + "/event";
        const auto bytes = event.flatten();
        writeFile(file, std::string(bytes.begin(), bytes.end()));
        std::filesystem::remove(file + ".reply");
        const pid_t sender = start(executable, {}, logs + "/main-application.log", std::nullopt,
                                   {"PENDRA_SYSTEM_TEST_SEND=" + file});
        if (waitForExit(sender, 10s) != 0) {
            return std::nullopt;
        }
        const std::string reply = readFile(file + ".reply");
        return platform::AppleEventDescriptor::unflatten(
            std::vector<std::uint8_t>(reply.begin(), reply.end()));
    }

    // Has the running helper update itself from the bundle, as the main application does.
    void sendUpdate(const std::string& bundle) {
        auto event = helperEvent("pdqe", "pdup");
        event.setParamDescriptor(platform::AppleEventDescriptor::descriptorWithString(bundle),
                                 platform::keyDirectObject);
        sendAsMainApplication(event);
    }

    // The autostart entries and the bundle path each of ours points at (empty for others).
    std::map<std::string, std::string> autostartEntries() const {
        std::map<std::string, std::string> entries;
        for (const auto& name : namesIn(autostart)) {
            if (!name.ends_with(".desktop")) {
                continue;
            }
            std::smatch match;
            const std::string text = readFile(autostart + "/" + name);
            static const std::regex kBundleLine("(^|\n)X-Pendra-Bundle-Path=([^\n]*)");
            entries[name] = std::regex_search(text, match, kBundleLine) ? match[2].str() : "";
        }
        return entries;
    }

    // An entry of the helper's kind, as an earlier run would have left it.
    void writeHelperAutostartEntry(const std::string& fileName, const std::string& bundle) {
        writeFile(autostart + "/" + fileName,
                  "[Desktop Entry]\nType=Application\nName=PendraMacSandboxHelper\nExec=\"" +
                      bundle + "/" + kHelperExecutable + "\"\nX-Pendra-Bundle-Path=" + bundle +
                      "\nX-Pendra-Order=1\n");
    }

    // Sets the version the bundle declares (major * 100 + minor).
    static void setBundleVersion(const std::string& bundle, const std::string& version) {
        const std::string info = bundle + "/Contents/Info.plist";
        static const std::regex kVersion("(<key>CFBundleVersion</key>\\s*<string>)[^<]*");
        const std::string text = readFile(info);
        std::smatch match;
        ASSERT_TRUE(std::regex_search(text, match, kVersion));
        const std::string changed =
            match.prefix().str() + match[1].str() + version + match.suffix().str();
        ASSERT_NE(changed.find("<string>" + version + "</string>"), std::string::npos);
        writeFile(info, changed);
    }

    // Waits until the running helper owns its bus name.
    bool waitForHelperOnBus(BusClient& client) {
        return waitUntil([&] { return client.nameHasOwner(kHelperIdentifier); });
    }

    std::string root, home, dataHome, configHome, runtime, temporary, applications, logs;
    std::string installFolder, installedHelper, autostart;
    std::string busAddress;

  private:
    std::unique_ptr<test_support::PrivateBus> bus_;

    // The processes of this test: everything started with its environment, whatever session
    // it moved to.
    std::vector<pid_t> processesOfThisTest() const {
        std::vector<pid_t> found;
        const std::string wanted = marker();
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
            const std::string name = entry.path().filename().string();
            if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) {
                continue;
            }
            const pid_t pid = static_cast<pid_t>(platform::integerValueOfText(name));
            if (pid == ::getpid()) {
                continue;
            }
            const std::string environ = readFile(entry.path().string() + "/environ");
            std::size_t start = 0;
            while (start < environ.size()) {
                const std::size_t end = environ.find('\0', start);
                const std::size_t length =
                    (end == std::string::npos ? environ.size() : end) - start;
                if (environ.compare(start, length, wanted) == 0) {
                    found.push_back(pid);
                    break;
                }
                if (end == std::string::npos) {
                    break;
                }
                start = end + 1;
            }
        }
        return found;
    }

    void endEveryProcess() {
        const auto deadline = Clock::now() + 5s;
        while (true) {
            const std::vector<pid_t> running = processesOfThisTest();
            for (const pid_t pid : running) {
                ::kill(pid, SIGKILL);
            }
            while (::waitpid(-1, nullptr, WNOHANG) > 0) {
            }
            if (running.empty() || Clock::now() >= deadline) {
                EXPECT_TRUE(running.empty()) << "processes survived the test";
                break;
            }
            std::this_thread::sleep_for(20ms);
        }
    }
};

}  // namespace system_test
