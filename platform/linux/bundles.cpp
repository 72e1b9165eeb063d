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
#include <cstring>
#include <fstream>
#include <limits>
#include <mutex>
#include <string>
#include <unordered_map>

#include "linux_bundles.h"
#include "linux_desktop.h"
#include "linux_desktop_events.h"
#include "linux_file_manager.h"
#include "linux_processes.h"
#include "platform/format.h"
#include "platform/linux_platform.h"
#include "platform/utf.h"

extern char** environ;

namespace platform::linux_platform {
namespace {

bool isDirectory(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

bool isFile(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && !S_ISDIR(status.st_mode);
}

std::string baseName(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::optional<std::string> readLink(const std::string& path) {
    std::string target(4096, '\0');
    ssize_t length = ::readlink(path.c_str(), target.data(), target.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= target.size()) {
        return std::nullopt;
    }
    target.resize(static_cast<std::size_t>(length));
    // The kernel marks an executable whose file has been unlinked.
    static constexpr std::string_view kDeleted = " (deleted)";
    if (target.size() > kDeleted.size() &&
        target.compare(target.size() - kDeleted.size(), kDeleted.size(), kDeleted) == 0) {
        target.resize(target.size() - kDeleted.size());
    }
    return target;
}

std::optional<std::string> stringValue(const std::optional<PropertyList>& value) {
    if (value && value->stringValue() != nullptr && !value->stringValue()->empty()) {
        return *value->stringValue();
    }
    return std::nullopt;
}

// Parsed Info.plists by path, each kept while its file is the same file with the same size and
// modification time: requests look at the same few bundles again and again.
class InfoDictionaryCache {
  public:
    std::shared_ptr<const PropertyList> infoAt(const std::string& path) {
        struct stat status {};
        if (::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
            return empty();
        }
        const Identity identity{status.st_dev, status.st_ino, status.st_size, status.st_mtim.tv_sec,
                                status.st_mtim.tv_nsec};
        {
            std::lock_guard lock(mutex_);
            if (auto found = entries_.find(path);
                found != entries_.end() && found->second.identity == identity) {
                return found->second.info;
            }
        }
        auto info = PropertyList::readFromFile(path, systemFileManager());
        auto parsed = info && info->isDictionary()
                          ? std::make_shared<const PropertyList>(std::move(*info))
                          : empty();
        std::lock_guard lock(mutex_);
        // Bundles come and go over a long session; a bound keeps the copies from piling up.
        if (entries_.size() >= kMaximumEntries && !entries_.contains(path)) {
            entries_.clear();
        }
        entries_[path] = Entry{identity, parsed};
        return parsed;
    }

  private:
    struct Identity {
        dev_t device;
        ino_t inode;
        off_t size;
        time_t seconds;
        long nanoseconds;
        bool operator==(const Identity&) const = default;
    };
    struct Entry {
        Identity identity;
        std::shared_ptr<const PropertyList> info;
    };
    static constexpr std::size_t kMaximumEntries = 512;

    static std::shared_ptr<const PropertyList> empty() {
        static const auto none = std::make_shared<const PropertyList>();
        return none;
    }

    std::mutex mutex_;
    std::unordered_map<std::string, Entry> entries_;
};

InfoDictionaryCache& infoDictionaries() {
    static InfoDictionaryCache cache;
    return cache;
}

}  // namespace

LinuxBundle::LinuxBundle(std::string path) : path_(std::move(path)) {
    while (path_.size() > 1 && path_.back() == '/') {
        path_.pop_back();
    }
    info_ = infoDictionaries().infoAt(path_ + "/Contents/Info.plist");
}

std::optional<std::string> LinuxBundle::bundleIdentifier() const {
    return stringValue(objectForInfoDictionaryKey("CFBundleIdentifier"));
}

std::optional<PropertyList> LinuxBundle::objectForInfoDictionaryKey(const std::string& key) const {
    if (const PropertyList* value = info_->objectForKey(key)) {
        return *value;
    }
    return std::nullopt;
}

std::optional<std::string> LinuxBundle::pathForResource(
    const std::string& name, const std::string& type,
    const std::optional<std::string>& directory) const {
    std::string folder = path_ + "/Contents/Resources";
    if (directory && !directory->empty()) {
        folder = stringByAppendingPathComponent(folder, *directory);
    }
    std::string file = name;
    if (!type.empty()) {
        file += (type.front() == '.' ? "" : ".") + type;
    }
    if (file.empty() || file.find('/') != std::string::npos) {
        return std::nullopt;
    }
    std::string path = stringByAppendingPathComponent(folder, file);
    if (!isFile(path) && !isDirectory(path)) {
        return std::nullopt;
    }
    return path;
}

std::optional<std::string> LinuxBundle::pathForAuxiliaryExecutable(const std::string& name) const {
    if (name.empty() || name.find('/') != std::string::npos) {
        return std::nullopt;
    }
    std::string path = path_ + "/Contents/MacOS/" + name;
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        return std::nullopt;
    }
    return path;
}

std::string LinuxBundle::displayName() const {
    if (auto name = stringValue(objectForInfoDictionaryKey("CFBundleDisplayName"))) {
        return *name;
    }
    if (auto name = stringValue(objectForInfoDictionaryKey("CFBundleName"))) {
        return *name;
    }
    std::string name = baseName(path_);
    if (auto dot = name.rfind('.'); dot != std::string::npos && dot > 0) {
        name.resize(dot);
    }
    return name;
}

std::optional<std::string> LinuxBundle::executablePath() const {
    auto name = stringValue(objectForInfoDictionaryKey("CFBundleExecutable"));
    if (!name || name->find('/') != std::string::npos) {
        return std::nullopt;
    }
    return path_ + "/Contents/MacOS/" + *name;
}

std::optional<std::string> bundlePathForExecutable(const std::string& executable) {
    auto macos = executable.rfind('/');
    if (macos == std::string::npos) {
        return std::nullopt;
    }
    std::string folder = executable.substr(0, macos);
    static constexpr std::string_view kSuffix = "/Contents/MacOS";
    if (folder.size() <= kSuffix.size() ||
        folder.compare(folder.size() - kSuffix.size(), kSuffix.size(), kSuffix) != 0) {
        return std::nullopt;
    }
    std::string bundle = folder.substr(0, folder.size() - kSuffix.size());
    if (bundle.empty()) {
        return std::nullopt;
    }
    return bundle;
}

std::string currentExecutablePath() {
    if (auto path = readLink("/proc/self/exe")) {
        return *path;
    }
    return {};
}

std::shared_ptr<Bundle> LinuxBundleService::mainBundle() {
    if (!main_) {
        const std::string executable = currentExecutablePath();
        if (auto bundle = bundlePathForExecutable(executable)) {
            main_ = std::make_shared<LinuxBundle>(*bundle);
        } else {
            // As on the platform: a program outside any bundle has its folder as main bundle.
            std::string folder = executable.substr(0, executable.rfind('/'));
            main_ = std::make_shared<LinuxBundle>(folder.empty() ? "/" : folder);
        }
    }
    return main_;
}

std::shared_ptr<Bundle> LinuxBundleService::bundleWithURL(const URL& url) {
    if (!url.isFileURL()) {
        return nullptr;
    }
    const std::string path = url.path();
    if (path.empty() || !isDirectory(path)) {
        return nullptr;
    }
    return std::make_shared<LinuxBundle>(path);
}

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
    std::vector<std::string> folders = {
        stringByAppendingPathComponent(homeDirectory(), "Applications"), "/Applications"};
    if (const char* extra = std::getenv("PENDRA_APPLICATIONS_PATH")) {
        std::string list = extra;
        std::size_t start = 0;
        while (start <= list.size()) {
            std::size_t end = list.find(':', start);
            if (end == std::string::npos) {
                end = list.size();
            }
            if (end > start) {
                folders.push_back(list.substr(start, end - start));
            }
            start = end + 1;
        }
    }
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
    auto executable = readLink("/proc/" + std::to_string(pid) + "/exe");
    if (!executable) {
        return std::nullopt;
    }
    auto bundlePath = bundlePathForExecutable(*executable);
    if (!bundlePath) {
        return std::nullopt;
    }
    LinuxBundle bundle(*bundlePath);
    auto declared = bundle.executablePath();
    if (!declared || baseName(*declared) != baseName(*executable)) {
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

std::optional<RunningApplication> LinuxWorkspace::frontmostApplication() {
    if (auto desktop = desktop_->frontmostApplication()) {
        // One of our own bundles in front keeps its own identity.
        if (*desktop && desktop->value().processIdentifier > 0) {
            if (auto application = applicationOfLiveProcess(desktop->value().processIdentifier)) {
                return application;
            }
        }
        return *desktop;
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
    const auto desktop = desktop_->frontmostApplication();
    if (!desktop || !*desktop) {
        return std::nullopt;
    }
    const RunningApplication& front = **desktop;
    if (!front.bundleIdentifier || front.processIdentifier <= 0 ||
        !equalIgnoringCase(*front.bundleIdentifier, bundleIdentifier) ||
        applicationOfLiveProcess(front.processIdentifier)) {
        return std::nullopt;
    }
    DesktopApplicationView view;
    switch (desktop_->viewOfProcess(front.processIdentifier, timeout, &view)) {
        case DesktopQuery::timedOut:
            return errAETimeout;
        case DesktopQuery::notOnAccessibilityBus:
            reply.setParamDescriptor(
                AppleEventDescriptor::descriptorWithInt32(errAEEventNotHandled), keyErrorNumber);
            return noErr;
        case DesktopQuery::answered:
            break;
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
