#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <string>

#include "linux_bundles.h"
#include "linux_desktop.h"
#include "linux_desktop_events.h"
#include "linux_processes.h"
#include "linux_workspace.h"
#include "platform/format.h"
#include "platform/linux_platform.h"
#include "platform/paths.h"
#include "platform/utf.h"

extern char** environ;

namespace platform::linux_platform {
namespace {

bool isDirectory(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

}  // namespace

std::string frontmostRecordPath() {
    std::string runtime;
    if (const char* value = std::getenv("XDG_RUNTIME_DIR"); value != nullptr && value[0] == '/') {
        runtime = value;
    } else {
        runtime = "/run/user/" + std::to_string(::getuid());
    }
    return stringByAppendingPathComponent(runtime, "pendra/frontmost");
}

bool writeFrontmostRecord(pid_t pid) {
    const std::string path = frontmostRecordPath();
    const std::string folder = path.substr(0, path.rfind('/'));
    ::mkdir(folder.c_str(), 0700);
    // Kept to the user: another account learns nothing of what this one works in.
    return writeFileAtomically(path, std::to_string(pid) + "\n", 0600);
}

std::vector<std::string> applicationFolders() {
    // The folder the user writes to comes last, so that a bundle placed there never stands in
    // for an application installed elsewhere under the same identifier.
    std::vector<std::string> folders = {"/Applications"};
    if (const char* extra = std::getenv("PENDRA_APPLICATIONS_PATH")) {
        for (std::string& folder : utf::splitList(extra, ':')) {
            folders.push_back(std::move(folder));
        }
    }
    folders.push_back(stringByAppendingPathComponent(homeDirectory(), "Applications"));
    return folders;
}

namespace {

std::vector<std::string> sortedEntries(const std::string& folder) {
    std::vector<std::string> names;
    DIR* directory = ::opendir(folder.c_str());
    if (directory == nullptr) {
        return names;
    }
    while (dirent* entry = ::readdir(directory)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") {
            names.push_back(std::move(name));
        }
    }
    ::closedir(directory);
    std::sort(names.begin(), names.end());
    return names;
}

bool hasAppExtension(const std::string& name) {
    return name.size() > 4 && name.compare(name.size() - 4, 4, ".app") == 0;
}

}  // namespace

std::vector<std::string> installedApplicationBundles() {
    std::vector<std::string> bundles;
    for (const auto& folder : applicationFolders()) {
        for (const auto& name : sortedEntries(folder)) {
            const std::string path = stringByAppendingPathComponent(folder, name);
            if (!isDirectory(path)) {
                continue;
            }
            if (hasAppExtension(name)) {
                bundles.push_back(path);
                continue;
            }
            // One level of grouping folders, as in /Applications/Utilities.
            for (const auto& inner : sortedEntries(path)) {
                const std::string innerPath = stringByAppendingPathComponent(path, inner);
                if (hasAppExtension(inner) && isDirectory(innerPath)) {
                    bundles.push_back(innerPath);
                }
            }
        }
    }
    return bundles;
}

LinuxWorkspace::LinuxWorkspace(std::function<void()> quitCurrentApplication)
    : quitCurrentApplication_(std::move(quitCurrentApplication)),
      desktop_(std::make_unique<DesktopSession>()) {}

LinuxWorkspace::~LinuxWorkspace() {
    forgetKnownProcesses();
}

namespace {

std::string processName(pid_t pid) {
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

// The session bus a process was started with ("" without one); absent when its environment
// cannot be read.
std::optional<std::string> sessionBusOfProcess(pid_t pid) {
    std::ifstream environment("/proc/" + std::to_string(pid) + "/environ", std::ios::binary);
    if (!environment) {
        return std::nullopt;
    }
    constexpr std::string_view kVariable = "DBUS_SESSION_BUS_ADDRESS=";
    std::string entry;
    while (std::getline(environment, entry, '\0')) {
        if (entry.compare(0, kVariable.size(), kVariable) == 0) {
            return entry.substr(kVariable.size());
        }
    }
    return std::string();
}

// The application a live process runs: the bundle its executable lies in, when the executable
// is the one that bundle declares; absent for other programs.
std::optional<RunningApplication> applicationOfProcess(pid_t pid) {
    // Only the user's own processes belong to the session: another account's helper is no
    // second copy of this one.
    struct stat owner {};
    if (::stat(("/proc/" + std::to_string(pid)).c_str(), &owner) != 0 ||
        owner.st_uid != ::getuid()) {
        return std::nullopt;
    }
    auto executable = executableOfProcess(pid);
    if (!executable) {
        return std::nullopt;
    }
    auto bundlePath = bundlePathForExecutable(*executable);
    if (!bundlePath) {
        return std::nullopt;
    }
    LinuxBundle bundle(*bundlePath);
    auto declared = bundle.executablePath();
    if (!declared || lastPathComponent(*declared) != lastPathComponent(*executable)) {
        return std::nullopt;
    }
    RunningApplication application;
    application.processIdentifier = pid;
    application.bundleIdentifier = bundle.bundleIdentifier();
    application.localizedName = bundle.displayName();
    application.bundleURL = URL::fileURLWithPath(*bundlePath);
    return application;
}

}  // namespace

std::vector<RunningApplication> LinuxWorkspace::runningApplications() {
    std::vector<RunningApplication> applications;
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr) {
        return applications;
    }
    std::vector<pid_t> pids;
    while (dirent* entry = ::readdir(proc)) {
        const std::string_view name = entry->d_name;
        pid_t pid = 0;
        const auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), pid);
        if (error == std::errc() && end == name.data() + name.size() && pid > 0) {
            pids.push_back(pid);
        }
    }
    ::closedir(proc);
    std::sort(pids.begin(), pids.end());
    // Processes are listed machine-wide, but an application runs in one session: one started
    // with another session bus is no copy of ours, cannot be reached, and must not keep a
    // helper of this session from running.
    const char* ownBus = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    const std::string ownSession = ownBus != nullptr ? ownBus : "";
    for (pid_t pid : pids) {
        if (!processIsAlive(pid)) {
            continue;
        }
        // The environment is read last, only for processes that run an application.
        auto application = applicationOfProcess(pid);
        if (!application) {
            continue;
        }
        if (const auto session = sessionBusOfProcess(pid); session && *session != ownSession) {
            continue;
        }
        applications.push_back(std::move(*application));
    }
    return applications;
}

DesktopFrontmost LinuxWorkspace::desktopFrontmost() {
    // The questions of one capture come while one event is handled: the first is answered by
    // the desktop, the others the same; the next event asks the desktop again.
    const std::optional<std::uint64_t> turn = turnOfEventLoop_ ? turnOfEventLoop_() : std::nullopt;
    if (turn && frontOfTurn_ && frontOfTurn_->first == *turn) {
        return frontOfTurn_->second;
    }
    DesktopFrontmost desktop = desktop_->frontmostApplication();
    if (turn) {
        frontOfTurn_.emplace(*turn, desktop);
    } else {
        frontOfTurn_.reset();
    }
    return desktop;
}

std::optional<RunningApplication> LinuxWorkspace::bundleApplicationOfFront(pid_t pid) {
    if (frontNotBundle_ && frontNotBundle_->pid == pid &&
        !processHandleHasEnded(frontNotBundle_->handle.get())) {
        return std::nullopt;
    }
    if (auto application = applicationOfLiveProcess(pid)) {
        return application;
    }
    // A desktop application in front is asked about on every question: its process is read
    // once, then known by a handle on it while it stays in front.
    frontNotBundle_.reset();
    if (const int handle = openProcessHandle(pid); handle >= 0) {
        frontNotBundle_.emplace(pid, handle);
    }
    return std::nullopt;
}

std::optional<RunningApplication> LinuxWorkspace::frontmostApplication() {
    if (DesktopFrontmost desktop = desktopFrontmost(); desktop.desktopCanTell) {
        // One of our own bundles in front keeps its own identity.
        if (desktop.application && desktop.application->processIdentifier > 0) {
            if (auto application =
                    bundleApplicationOfFront(desktop.application->processIdentifier)) {
                return application;
            }
        }
        return desktop.application;
    }
    const auto record = frontmostRecord_.read(frontmostRecordPath());
    const std::int64_t pid = record ? integerValueOfText(*record) : 0;
    if (pid <= 0 || pid > std::numeric_limits<pid_t>::max()) {
        return std::nullopt;
    }
    return runningApplicationWithProcessIdentifier(static_cast<pid_t>(pid));
}

namespace {

// Identifiers name an application whatever their case.
bool equalIgnoringCase(const std::string& a, const std::string& b) {
    return utf::equalsIgnoringASCIICase(a, b);
}

}  // namespace

std::optional<OSStatus> LinuxWorkspace::answerDesktopEvent(const std::string& bundleIdentifier,
                                                           const AppleEventDescriptor& event,
                                                           AppleEventDescriptor& reply,
                                                           std::chrono::milliseconds timeout) {
    const DesktopFrontmost desktop = desktopFrontmost();
    if (!desktop.application) {
        return std::nullopt;
    }
    const RunningApplication& front = *desktop.application;
    if (!front.bundleIdentifier || front.processIdentifier <= 0 ||
        !equalIgnoringCase(*front.bundleIdentifier, bundleIdentifier) ||
        bundleApplicationOfFront(front.processIdentifier)) {
        return std::nullopt;
    }
    DesktopApplicationView view;
    switch (
        desktop_->viewOfProcess(front.processIdentifier, timeout, &view, *front.bundleIdentifier)) {
        case DesktopQuery::timedOut:
            return errAETimeout;
        case DesktopQuery::notOnAccessibilityBus:
            // Its window title still says what it shows.
            if (view.windows.empty()) {
                reply.setParamDescriptor(
                    AppleEventDescriptor::descriptorWithInt32(errAEEventNotHandled),
                    keyErrorNumber);
                return noErr;
            }
            break;
        case DesktopQuery::answered:
        case DesktopQuery::byTitle:
            break;
    }
    if (front.bundleURL) {
        view.applicationURL = front.bundleURL->absoluteString();
    }
    linux_platform::answerDesktopEvent(event, front.localizedName.value_or(view.name), view, reply);
    return noErr;
}

std::vector<RunningApplication> LinuxWorkspace::runningApplicationsWithBundleIdentifier(
    const std::string& bundleIdentifier) {
    std::vector<RunningApplication> matching;
    for (auto& application : runningApplications()) {
        if (application.bundleIdentifier == bundleIdentifier) {
            matching.push_back(std::move(application));
        }
    }
    return matching;
}

std::optional<RunningApplication> LinuxWorkspace::runningApplicationWithBundleIdentifier(
    const std::string& bundleIdentifier) {
    if (!nameOwner_) {
        return Workspace::runningApplicationWithBundleIdentifier(bundleIdentifier);
    }
    // An application owns the bus name of its identifier: that one process is read, whatever
    // else runs on the machine.
    if (const auto pid = nameOwner_(bundleIdentifier)) {
        if (auto application = applicationOfLiveProcess(*pid);
            application && application->bundleIdentifier == bundleIdentifier) {
            return application;
        }
    }
    // The calling process counts before it owns its name.
    if (auto current = applicationOfProcess(::getpid());
        current && current->bundleIdentifier == bundleIdentifier) {
        return current;
    }
    return std::nullopt;
}

std::optional<RunningApplication> LinuxWorkspace::applicationOfLiveProcess(pid_t pid) {
    if (const auto known = knownProcesses_.find(pid); known != knownProcesses_.end()) {
        if (!processHandleHasEnded(known->second.handle)) {
            return known->second.application;
        }
        // Ended: the id may name another process by now.
        ::close(known->second.handle);
        knownProcesses_.erase(known);
    }
    // The handle is taken before the process is read, so that it names the process read.
    const int handle = openProcessHandle(pid);
    const bool alive = handle >= 0 ? !processHandleHasEnded(handle) : processIsAlive(pid);
    auto application = alive ? applicationOfProcess(pid) : std::nullopt;
    if (!application || handle < 0 || processHandleHasEnded(handle)) {
        if (handle >= 0) {
            ::close(handle);
        }
        return application;
    }
    // The processes asked about are the few in front or scripted; ended ones go when asked
    // about again, and all now and then.
    if (knownProcesses_.size() >= 64) {
        forgetKnownProcesses();
    }
    knownProcesses_.emplace(pid, KnownProcess{handle, *application});
    return application;
}

void LinuxWorkspace::forgetKnownProcesses() {
    for (const auto& [pid, known] : knownProcesses_) {
        ::close(known.handle);
    }
    knownProcesses_.clear();
}

std::optional<RunningApplication> LinuxWorkspace::runningApplicationWithProcessIdentifier(
    pid_t pid) {
    if (pid <= 0) {
        return std::nullopt;
    }
    if (auto application = applicationOfLiveProcess(pid)) {
        return application;
    }
    if (!processIsAlive(pid)) {
        return std::nullopt;
    }
    // A program outside any bundle is still a process with a name.
    RunningApplication application;
    application.processIdentifier = pid;
    application.localizedName = processName(pid);
    return application;
}

RunningApplication LinuxWorkspace::currentApplication() {
    if (auto application = runningApplicationWithProcessIdentifier(::getpid())) {
        return *application;
    }
    RunningApplication application;
    application.processIdentifier = ::getpid();
    return application;
}

bool LinuxWorkspace::terminateApplication(const RunningApplication& application) {
    if (application.processIdentifier <= 0) {
        return false;
    }
    if (application.processIdentifier == ::getpid()) {
        if (!quitCurrentApplication_) {
            return false;
        }
        quitCurrentApplication_();
        return true;
    }
    return ::kill(application.processIdentifier, SIGTERM) == 0;
}

std::optional<std::string> LinuxWorkspace::absolutePathForAppBundleWithIdentifier(
    const std::string& bundleIdentifier) {
    for (const auto& path : installedApplicationBundles()) {
        if (LinuxBundle(path).bundleIdentifier() == bundleIdentifier) {
            return path;
        }
    }
    return std::nullopt;
}

std::optional<URL> LinuxWorkspace::URLForApplicationWithBundleIdentifier(
    const std::string& bundleIdentifier) {
    if (auto path = absolutePathForAppBundleWithIdentifier(bundleIdentifier)) {
        return URL::fileURLWithPath(*path);
    }
    return std::nullopt;
}

std::vector<URL> LinuxWorkspace::installedApplicationURLs() {
    std::vector<URL> urls;
    for (const auto& path : installedApplicationBundles()) {
        urls.push_back(URL::fileURLWithPath(path));
    }
    return urls;
}

namespace {

// Starts a program in a session of its own, as a grandchild, so that it outlives the launcher
// and nobody has to reap it. Answers its process id or the errno of the failure.
struct SpawnResult {
    pid_t pid = -1;
    int error = 0;
};

SpawnResult spawnDetached(const std::string& executable,
                          const std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(executable.c_str()));
    for (const auto& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);

    int channel[2];
    if (::pipe2(channel, O_CLOEXEC) != 0) {
        return {-1, errno};
    }
    std::fflush(nullptr);
    const pid_t intermediate = ::fork();
    if (intermediate < 0) {
        int saved = errno;
        ::close(channel[0]);
        ::close(channel[1]);
        return {-1, saved};
    }
    if (intermediate == 0) {
        ::close(channel[0]);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        // The launcher's loop blocks signals for its own use; the new program starts clean.
        sigset_t none;
        sigemptyset(&none);
        sigset_t all;
        sigfillset(&all);
        posix_spawnattr_setsigmask(&attributes, &none);
        posix_spawnattr_setsigdefault(&attributes, &all);
        posix_spawnattr_setflags(
            &attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        SpawnResult result;
        result.error = ::posix_spawn(&result.pid, executable.c_str(), nullptr, &attributes,
                                     argv.data(), environ);
        if (::write(channel[1], &result, sizeof result) != sizeof result) {
            ::_exit(2);
        }
        ::_exit(0);
    }
    ::close(channel[1]);
    SpawnResult result{-1, EIO};
    ssize_t got;
    do {
        got = ::read(channel[0], &result, sizeof result);
    } while (got < 0 && errno == EINTR);
    ::close(channel[0]);
    while (::waitpid(intermediate, nullptr, 0) < 0 && errno == EINTR) {
    }
    if (got != sizeof result) {
        return {-1, EIO};
    }
    if (result.error != 0) {
        result.pid = -1;
    }
    return result;
}

}  // namespace

std::optional<RunningApplication> LinuxWorkspace::launchApplicationAtURL(
    const URL& url, NSWorkspaceLaunchOptions options, const LaunchConfiguration& configuration,
    Error* error) {
    auto fail = [&](int errnoValue, const std::string& path) -> std::optional<RunningApplication> {
        if (error != nullptr) {
            *error = Error::posix(errnoValue, path);
        }
        return std::nullopt;
    };
    if (!url.isFileURL()) {
        return fail(EINVAL, url.absoluteString());
    }
    std::string bundlePath = url.path();
    while (bundlePath.size() > 1 && bundlePath.back() == '/') {
        bundlePath.pop_back();
    }
    if (!isDirectory(bundlePath)) {
        return fail(ENOENT, bundlePath);
    }
    LinuxBundle bundle(bundlePath);
    auto executable = bundle.executablePath();
    if (!executable) {
        return fail(ENOEXEC, bundlePath);
    }
    if (::access(executable->c_str(), X_OK) != 0) {
        return fail(errno, *executable);
    }

    if ((options & NSWorkspaceLaunchNewInstance) == 0) {
        // An application that runs already from this bundle is the answer.
        for (auto& running : runningApplications()) {
            if (running.bundleURL && running.bundleURL->path() == bundlePath) {
                if ((options & NSWorkspaceLaunchWithoutActivation) == 0) {
                    writeFrontmostRecord(running.processIdentifier);
                }
                return running;
            }
        }
    }

    SpawnResult spawned = spawnDetached(*executable, configuration.arguments);
    if (spawned.pid <= 0) {
        return fail(spawned.error != 0 ? spawned.error : EIO, *executable);
    }
    if ((options & NSWorkspaceLaunchWithoutActivation) == 0) {
        writeFrontmostRecord(spawned.pid);
    }
    RunningApplication application;
    application.processIdentifier = spawned.pid;
    application.bundleIdentifier = bundle.bundleIdentifier();
    application.localizedName = bundle.displayName();
    application.bundleURL = URL::fileURLWithPath(bundlePath);
    return application;
}

bool openWithSystemHandler(const std::string& text) {
    static constexpr const char* kOpener = "/usr/bin/xdg-open";
    if (::access(kOpener, X_OK) != 0) {
        return false;
    }
    return spawnDetached(kOpener, {text}).pid > 0;
}

bool LinuxWorkspace::openURL(const URL& url) {
    if (urlOpener_) {
        return urlOpener_(url);
    }
    return openWithSystemHandler(url.absoluteString());
}

}  // namespace platform::linux_platform
