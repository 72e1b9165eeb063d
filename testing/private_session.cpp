#include "testing/private_session.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

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

const std::string kHelperBundle = std::string(PENDRA_BUNDLE_DIR) + "/PendraMacSandboxHelper.app";
const std::string kDevtoolsBundles = PENDRA_DEVTOOLS_BUNDLE_DIR;

bool canStart(std::string* why) {
    if (!fs::exists(kHelperBundle + "/" + kHelperExecutable) ||
        !fs::exists(kDevtoolsBundles + "/PendraMac.app/Contents/MacOS/PendraMac")) {
        *why = "the helper bundle or the development bundles have not been built";
        return false;
    }
    if (test_support::programOnPath("dbus-daemon").empty()) {
        *why = "dbus-daemon is not installed";
        return false;
    }
    return true;
}

PrivateSession::PrivateSession() {
    for (const char* sub : {"home", "config", "data", "cache", "runtime", "tmp", "Applications",
                            "Downloads", "logs"}) {
        fs::create_directories(path(sub));
    }
    ::chmod(path("runtime").c_str(), 0700);
    environment_.set("HOME", path("home"))
        .set("XDG_CONFIG_HOME", path("config"))
        .set("XDG_DATA_HOME", path("data"))
        .set("XDG_CACHE_HOME", path("cache"))
        .set("XDG_RUNTIME_DIR", path("runtime"))
        .set("TMPDIR", path("tmp"))
        .set("PENDRA_APPLICATIONS_PATH", path("Applications"))
        .set("PENDRA_LOG_TO_STDERR", "1")
        .unset("PENDRA_DEVTOOLS_RECORD_DIR")
        .unset("DBUS_SESSION_BUS_ADDRESS");
    // The stand-in applications say which of them is in front, not a desktop.
    environment_.unset("DISPLAY").unset("WAYLAND_DISPLAY");
    for (const char* app : {"PendraMac.app", "PendraMac Development.app", "Sample Document.app"}) {
        fs::copy(kDevtoolsBundles + "/" + app, path(std::string("Applications/") + app),
                 fs::copy_options::recursive);
    }
}

PrivateSession::~PrivateSession() {
    for (pid_t pid : started_) {
        test_support::killAndReap(pid);
    }
    killEverythingUnder();
    bus_.reset();
}

bool PrivateSession::startBus() {
    bus_ = std::make_unique<test_support::PrivateBus>(path("runtime"), path("logs/bus.err"),
                                                      environment_.entries());
    if (!bus_->started()) {
        return false;
    }
    environment_.set("DBUS_SESSION_BUS_ADDRESS", bus_->address());
    return true;
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
    std::string text = test_support::readFile(table);
    const auto at = text.find("<dict>");
    if (at == std::string::npos) {
        return false;
    }
    text.insert(at + 6, entries);
    test_support::writeFile(table, text);
    return true;
}

pid_t PrivateSession::start(const std::string& program, const std::vector<std::string>& arguments,
                            const std::string& name) {
    test_support::StartOptions options;
    options.output = path("logs/" + name + ".out");
    options.errors = path("logs/" + name + ".err");
    options.truncate = true;
    options.ownProcessGroup = true;
    const pid_t pid =
        test_support::startProgram(program, arguments, environment_.entries(), options);
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
    test_support::eventually([&] { return saidFrontmost(name); });
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
    return test_support::readFile(path("logs/" + name + ".out"));
}

std::string PrivateSession::errorsOf(const std::string& name) const {
    return test_support::readFile(path("logs/" + name + ".err"));
}

void PrivateSession::killEverythingUnder() const {
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator("/proc", ignored)) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        const fs::path exe = fs::read_symlink(entry.path() / "exe", ignored);
        if (!ignored && exe.string().rfind(root() + "/", 0) == 0) {
            ::kill(static_cast<pid_t>(std::stol(name)), SIGKILL);
        }
    }
}

}  // namespace private_session
