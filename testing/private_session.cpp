#include "testing/private_session.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/format.h"

namespace private_session {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const char* const kSampleConnector = R"(
	<key>com.orvano.sampledocument</key>
	<dict>
		<key>AppleScriptUsingBundleID</key>
		<string>tell application id "com.orvano.SampleDocument"
	set theTitle to name of front window
	set theLink to URL of front document
end tell
return {theTitle, theLink}</string>
		<key>CallbackHandler</key>
		<string>on handle_callback(params)
	return {|title| of params, |url| of params}
end handle_callback</string>
	</dict>
)";

bool canStart(std::string* why) {
    if (!fs::exists(kHelperBundle + "/" + kHelperExecutable) ||
        !fs::exists(kDevtoolsBundles + "/PendraMac.app/Contents/MacOS/PendraMac")) {
        *why = "the helper bundle or the development bundles have not been built";
        return false;
    }
    if (std::system("command -v dbus-run-session >/dev/null 2>&1") != 0) {
        *why = "dbus-run-session is not installed";
        return false;
    }
    return true;
}

PrivateSession::PrivateSession() {
    std::string pattern = (fs::temp_directory_path() / "pendra-session-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot create the session's folder");
    }
    root_ = pattern;
    for (const char* sub : {"home", "config", "data", "cache", "runtime", "tmp", "Applications",
                            "Downloads", "logs"}) {
        fs::create_directories(path(sub));
    }
    ::chmod(path("runtime").c_str(), 0700);
    environment_.set("HOME", path("home"));
    environment_.set("XDG_CONFIG_HOME", path("config"));
    environment_.set("XDG_DATA_HOME", path("data"));
    environment_.set("XDG_CACHE_HOME", path("cache"));
    environment_.set("XDG_RUNTIME_DIR", path("runtime"));
    environment_.set("TMPDIR", path("tmp"));
    environment_.set("PENDRA_APPLICATIONS_PATH", path("Applications"));
    environment_.set("PENDRA_LOG_TO_STDERR", "1");
    environment_.set("PENDRA_DEVTOOLS_RECORD_DIR", std::nullopt);
    // The stand-in applications say which of them is in front, not a desktop.
    environment_.set("DISPLAY", std::nullopt);
    environment_.set("WAYLAND_DISPLAY", std::nullopt);
    for (const char* app : {"PendraMac.app", "PendraMac Development.app", "Sample Document.app"}) {
        fs::copy(kDevtoolsBundles + "/" + app, path(std::string("Applications/") + app),
                 fs::copy_options::recursive);
    }
}

PrivateSession::~PrivateSession() {
    for (pid_t pid : started_) {
        ::kill(-pid, SIGKILL);
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    killEverythingUnder();
    // The bus's keeper reads its input until it ends; then dbus-run-session ends the daemon.
    if (busKeeperInput_ >= 0) {
        ::close(busKeeperInput_);
    }
    if (busSession_ > 0 && !linux_test::waitForChild(busSession_, 5s)) {
        ::kill(-busSession_, SIGKILL);
    }
    if (!keep_) {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }
}

bool PrivateSession::startBus() {
    // The keeper prints its bus's address, then waits for its input to end: when this process
    // closes it, or ends in any way, the session ends too.
    int address[2];
    int keeper[2];
    if (::pipe2(address, O_CLOEXEC) != 0) {
        return false;
    }
    if (::pipe2(keeper, O_CLOEXEC) != 0) {
        ::close(address[0]);
        ::close(address[1]);
        return false;
    }
    busSession_ = ::fork();
    if (busSession_ == 0) {
        ::setpgid(0, 0);
        ::dup2(keeper[0], 0);
        ::dup2(address[1], 1);
        ::execlp("dbus-run-session", "dbus-run-session", "--", "sh", "-c",
                 "echo \"$DBUS_SESSION_BUS_ADDRESS\"; exec cat >/dev/null", nullptr);
        ::_exit(127);
    }
    ::close(keeper[0]);
    ::close(address[1]);
    busKeeperInput_ = keeper[1];
    std::string line;
    char c = 0;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    ::fcntl(address[0], F_SETFL, O_NONBLOCK);
    while (std::chrono::steady_clock::now() < deadline) {
        const ssize_t n = ::read(address[0], &c, 1);
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
    ::close(address[0]);
    if (line.empty() || busSession_ < 0) {
        return false;
    }
    environment_.set("DBUS_SESSION_BUS_ADDRESS", line);
    return true;
}

pid_t PrivateSession::busDaemon() const {
    if (busSession_ <= 0) {
        return -1;
    }
    // The runner's children: the daemon, and the program it runs for the session.
    std::ifstream children("/proc/" + std::to_string(busSession_) + "/task/" +
                           std::to_string(busSession_) + "/children");
    for (pid_t child = 0; children >> child;) {
        std::ifstream comm("/proc/" + std::to_string(child) + "/comm");
        std::string name;
        if (std::getline(comm, name) && name == "dbus-daemon") {
            return child;
        }
    }
    return -1;
}

std::string PrivateSession::mainApplication(bool development) const {
    return path(std::string("Applications/") +
                (development ? "PendraMac Development.app" : "PendraMac.app") +
                "/Contents/MacOS/PendraMac");
}

std::string PrivateSession::sampleApplication() const {
    return path("Applications/Sample Document.app/Contents/MacOS/SampleDocument");
}

std::string PrivateSession::installedHelper() const {
    return path("data/Pendra Sandbox Helper/PendraMacSandboxHelper.app");
}

std::string PrivateSession::installHelper(const std::string& extraConnectors) {
    fs::create_directories(path("data/Pendra Sandbox Helper"));
    fs::copy(kHelperBundle, installedHelper(), fs::copy_options::recursive);
    if (!extraConnectors.empty()) {
        addConnectors(installedHelper(), extraConnectors);
    }
    return installedHelper() + "/" + kHelperExecutable;
}

bool PrivateSession::addConnectors(const std::string& helperBundle, const std::string& entries) {
    const std::string table = helperBundle + "/Contents/Resources/ApplicationConnectors.plist";
    std::string text = linux_test::readFile(table);
    const auto at = text.find("<dict>");
    if (at == std::string::npos) {
        return false;
    }
    text.insert(at + 6, entries);
    linux_test::writeFile(table, text);
    return true;
}

pid_t PrivateSession::start(const std::string& program, const std::vector<std::string>& arguments,
                            const std::string& name) {
    const std::string out = path("logs/" + name + ".out");
    const std::string err = path("logs/" + name + ".err");
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setpgid(0, 0);
        const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
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

pid_t PrivateSession::startSample(const std::vector<std::string>& extra, const std::string& name,
                                  const std::string& program, int runSeconds) {
    std::vector<std::string> arguments{
        "--name",        kDocumentName, "--url",         kDocumentURL,
        "--window-name", kWindowName,   "--run-seconds", std::to_string(runSeconds)};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    const pid_t pid = start(program.empty() ? sampleApplication() : program, arguments, name);
    linux_test::eventually([&] { return saidFrontmost(name); });
    return pid;
}

bool PrivateSession::saidFrontmost(const std::string& name) const {
    return outputOf(name).find("frontmost ") != std::string::npos;
}

void PrivateSession::stop(pid_t pid) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    started_.erase(std::remove(started_.begin(), started_.end(), pid), started_.end());
}

std::string PrivateSession::outputOf(const std::string& name) const {
    return linux_test::readFile(path("logs/" + name + ".out"));
}

std::string PrivateSession::errorsOf(const std::string& name) const {
    return linux_test::readFile(path("logs/" + name + ".err"));
}

void PrivateSession::killEverythingUnder() const {
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator("/proc", ignored)) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        const fs::path exe = fs::read_symlink(entry.path() / "exe", ignored);
        if (!ignored && exe.string().rfind(root_ + "/", 0) == 0) {
            ::kill(static_cast<pid_t>(platform::integerValueOfText(name)), SIGKILL);
        }
    }
}

}  // namespace private_session
