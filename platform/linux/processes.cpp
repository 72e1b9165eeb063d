#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>

#include "linux_processes.h"
#include "linux_support.h"
#include "platform/utf.h"

extern char** environ;

namespace platform::linux_platform {

std::optional<std::string> readSmallFile(const std::string& path, std::size_t limit) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    std::string text(limit, '\0');
    const ssize_t length = ::read(fd, text.data(), limit);
    ::close(fd);
    if (length < 0) {
        return std::nullopt;
    }
    text.resize(static_cast<std::size_t>(length));
    return text;
}

WatchedSmallFile::~WatchedSmallFile() {
    if (inotify_ >= 0) {
        ::close(inotify_);
    }
}

std::optional<std::string> WatchedSmallFile::read(const std::string& path) {
    if (path != path_) {
        path_ = path;
        current_ = false;
        if (watching_) {
            ::close(inotify_);  // its watch is on the other folder
            inotify_ = -1;
            watching_ = false;
        }
    }
    if (unchangedSinceLastRead()) {
        return contents_;
    }
    // Read after the watch is in place, so that a change from now on is seen.
    contents_ = readSmallFile(path_, limit_);
    current_ = watching_;
    return contents_;
}

bool WatchedSmallFile::unchangedSinceLastRead() {
    if (inotify_ < 0) {
        inotify_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    }
    if (inotify_ >= 0 && !watching_) {
        const std::string folder = path_.substr(0, path_.rfind('/'));
        watching_ = ::inotify_add_watch(inotify_, folder.empty() ? "/" : folder.c_str(),
                                        IN_CREATE | IN_DELETE | IN_MODIFY | IN_MOVED_FROM |
                                            IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF) >= 0;
        current_ = false;
    }
    alignas(inotify_event) char events[4096];
    ssize_t length;
    while (inotify_ >= 0 && (length = ::read(inotify_, events, sizeof events)) > 0) {
        current_ = false;
        for (ssize_t at = 0; at < length;) {
            const auto* event = reinterpret_cast<const inotify_event*>(events + at);
            // The folder is gone or moved: watched again at the next read.
            if (event->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF)) {
                ::inotify_rm_watch(inotify_, event->wd);
                watching_ = false;
            }
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
    return watching_ && current_;
}

std::optional<std::string> findProgram(const std::string& program) {
    const auto isProgram = [](const std::string& path) {
        struct stat status {};
        return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
               ::access(path.c_str(), X_OK) == 0;
    };
    if (program.find('/') != std::string::npos) {
        return program.front() == '/' && isProgram(program) ? std::optional(program) : std::nullopt;
    }
    if (program.empty()) {
        return std::nullopt;
    }
    const char* path = std::getenv("PATH");
    for (const std::string& folder :
         utf::splitList(path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin", ':')) {
        if (std::string candidate = folder + "/" + program;
            folder.front() == '/' && isProgram(candidate)) {
            return candidate;
        }
    }
    return std::nullopt;
}

bool processIsAlive(pid_t pid) {
    if (::kill(pid, 0) != 0 && errno != EPERM) {
        return false;
    }
    // A zombie still answers kill() until its parent reaps it; it runs no more code.
    const auto line = readSmallFile("/proc/" + std::to_string(pid) + "/stat");
    if (!line) {
        return true;  // no /proc entry to read: trust kill()
    }
    // The state follows the parenthesised command name, which may itself contain ") ".
    const auto close = line->rfind(')');
    if (close == std::string::npos || close + 2 >= line->size()) {
        return true;
    }
    const char state = (*line)[close + 2];
    return state != 'Z' && state != 'X' && state != 'x';
}

int openProcessHandle(pid_t pid) {
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

bool processHandleHasEnded(int handle) {
    // Readable once its process has ended, a zombie included.
    pollfd ended{handle, POLLIN, 0};
    return ::poll(&ended, 1, 0) != 0;
}

LinuxProcessManager::~LinuxProcessManager() {
    for (const auto& [pid, fd] : pinned_) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

bool LinuxProcessManager::pinProcessForPID(pid_t pid) {
    if (pid <= 0) {
        return false;
    }
    if (pinned_.count(pid) != 0) {
        return true;
    }
    const int fd = openProcessHandle(pid);
    if (fd >= 0) {
        pinned_[pid] = fd;
        return true;
    }
    if (errno == ESRCH) {
        pinned_[pid] = -1;
        return true;
    }
    return false;
}

OSStatus LinuxProcessManager::GetProcessForPID(pid_t pid, ProcessSerialNumber* psn) {
    bool gone = false;
    if (const auto pinned = pinned_.find(pid); pid > 0 && pinned != pinned_.end()) {
        gone = pinned->second < 0 || processHandleHasEnded(pinned->second);
    } else {
        gone = pid > 0 && !processIsAlive(pid);
    }
    if (gone) {
        return procNotFound;
    }
    if (psn != nullptr) {
        *psn = ProcessSerialNumber{0, static_cast<std::uint32_t>(pid)};
    }
    return noErr;
}

OSStatus LinuxProcessManager::GetProcessPID(const ProcessSerialNumber& psn, pid_t* pid) {
    auto candidate = static_cast<pid_t>(psn.lowLongOfPSN);
    if (psn.highLongOfPSN != 0) {
        const auto found = processOfSerialNumber ? processOfSerialNumber(psn) : std::nullopt;
        candidate = found.value_or(0);
    }
    if (candidate <= 0 || !processIsAlive(candidate)) {
        return procNotFound;
    }
    if (pid != nullptr) {
        *pid = candidate;
    }
    return noErr;
}

std::optional<std::string> LinuxProcessManager::proc_pidpath(pid_t pid) {
    if (pid <= 0) {
        return std::nullopt;
    }
    std::error_code error;
    const std::string path =
        std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", error).string();
    // The kernel marks an executable that was deleted or replaced after the start; the file at
    // that path now, if any, is not what the process runs.
    constexpr std::string_view kDeleted = " (deleted)";
    if (error || path.empty() || (path.ends_with(kDeleted) && ::access(path.c_str(), F_OK) != 0)) {
        return std::nullopt;
    }
    return path;
}

pid_t LinuxProcessManager::getpid() {
    return ::getpid();
}

pid_t LinuxProcessManager::getppid() {
    return ::getppid();
}

void LinuxProcessManager::terminateProcess(int status) {
    std::fflush(nullptr);
    std::exit(status);
}

namespace {

bool isQuarantineRemoval(const std::string& path, const std::vector<std::string>& arguments) {
    return path == kQuarantineToolPath && arguments.size() == 3 && arguments[0] == "-rd" &&
           arguments[1] == kQuarantineAttributeName;
}

void removeQuarantineBelow(const std::string& path, int& status) {
    struct stat item {};
    if (::lstat(path.c_str(), &item) != 0) {
        std::fprintf(stderr, "xattr: No such file: %s\n", path.c_str());
        status = 1;
        return;
    }
    if (::lremovexattr(path.c_str(), kLinuxQuarantineAttribute) != 0) {
        const int failure = errno;
        // A missing attribute is what removal wants; links and file systems without user
        // attributes cannot carry one.
        const bool harmless =
            failure == ENODATA || failure == ENOTSUP || (S_ISLNK(item.st_mode) && failure == EPERM);
        if (!harmless) {
            std::fprintf(stderr, "xattr: [Errno %d] %s: '%s'\n", failure, std::strerror(failure),
                         path.c_str());
            status = 1;
        }
    }
    if (!S_ISDIR(item.st_mode)) {
        return;
    }
    DIR* directory = ::opendir(path.c_str());
    if (directory == nullptr) {
        std::fprintf(stderr, "xattr: [Errno %d] %s: '%s'\n", errno, std::strerror(errno),
                     path.c_str());
        status = 1;
        return;
    }
    while (dirent* entry = ::readdir(directory)) {
        std::string_view name = entry->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        removeQuarantineBelow(stringByAppendingPathComponent(path, entry->d_name), status);
    }
    ::closedir(directory);
}

}  // namespace

int removeQuarantineRecursively(const std::string& path) {
    int status = 0;
    removeQuarantineBelow(path, status);
    return status;
}

std::optional<Task> LinuxTaskService::launchedTaskWithLaunchPath(
    const std::string& path, const std::vector<std::string>& arguments) {
    if (isQuarantineRemoval(path, arguments)) {
        std::fflush(nullptr);
        const pid_t child = ::fork();
        if (child < 0) {
            logLine("Cannot start " + path + ": " + std::strerror(errno));
            return std::nullopt;
        }
        if (child == 0) {
            ::_exit(removeQuarantineRecursively(arguments[2]));
        }
        return Task{child};
    }

    std::vector<char*> argv;
    argv.reserve(arguments.size() + 2);
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const auto& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    // The event loop blocks the termination signals for itself; a task starts without that.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    pid_t child = -1;
    const int failure =
        ::posix_spawn(&child, path.c_str(), nullptr, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    if (failure != 0) {
        logLine("Cannot start " + path + ": " + std::strerror(failure));
        return std::nullopt;
    }
    return Task{child};
}

int LinuxTaskService::waitUntilExit(const Task& task) {
    if (task.processIdentifier <= 0) {
        return -1;
    }
    int status = 0;
    while (::waitpid(task.processIdentifier, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    // As the platform reports it: the number of the signal that ended the task.
    return WIFSIGNALED(status) ? WTERMSIG(status) : -1;
}

bool LinuxProcessInfo::isOperatingSystemAtLeastVersion(const OperatingSystemVersion& version) {
    const auto& running = kEmulatedOperatingSystemVersion;
    return std::tie(running.majorVersion, running.minorVersion, running.patchVersion) >=
           std::tie(version.majorVersion, version.minorVersion, version.patchVersion);
}

namespace {

std::optional<std::string> systemValue(std::string_view name) {
    if (name == "hw.machine") {
        utsname system{};
        if (::uname(&system) != 0) {
            return std::nullopt;
        }
        return std::string(system.machine);
    }
    if (name == "hw.model") {
        std::ifstream product("/sys/class/dmi/id/product_name");
        std::string model;
        if (!std::getline(product, model)) {
            return std::nullopt;
        }
        while (!model.empty() && (model.back() == ' ' || model.back() == '\r')) {
            model.pop_back();
        }
        if (model.empty()) {
            return std::nullopt;
        }
        return model;
    }
    return std::nullopt;
}

}  // namespace

int LinuxProcessInfo::sysctlbyname(const char* name, void* buffer, std::size_t* size) {
    if (name == nullptr || size == nullptr) {
        errno = EINVAL;
        return -1;
    }
    auto value = systemValue(name);
    if (!value) {
        errno = ENOENT;
        return -1;
    }
    const std::size_t needed = value->size() + 1;  // a C string, with its terminating zero
    if (buffer == nullptr) {
        *size = needed;
        return 0;
    }
    if (*size < needed) {
        errno = ENOMEM;
        return -1;
    }
    std::memcpy(buffer, value->c_str(), needed);
    *size = needed;
    return 0;
}

std::string homeDirectory() {
    if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') {
        return home;
    }
    if (const passwd* entry = ::getpwuid(::getuid());
        entry != nullptr && entry->pw_dir != nullptr) {
        return entry->pw_dir;
    }
    return "/";
}

std::string xdgDirectory(const char* variable, const char* fallbackUnderHome) {
    if (const char* value = std::getenv(variable); value != nullptr && value[0] == '/') {
        std::string folder = value;
        while (folder.size() > 1 && folder.back() == '/') {
            folder.pop_back();
        }
        return folder;
    }
    return stringByAppendingPathComponent(homeDirectory(), fallbackUnderHome);
}

std::vector<std::string> LinuxPathService::NSSearchPathForDirectoriesInDomains(
    NSSearchPathDirectory directory, NSSearchPathDomainMask domain, bool expandTilde) {
    if (directory != NSApplicationSupportDirectory || (domain & NSUserDomainMask) == 0) {
        return {};
    }
    std::string folder = xdgDirectory("XDG_DATA_HOME", ".local/share");
    if (!expandTilde) {
        const std::string home = homeDirectory();
        if (home != "/" && folder.compare(0, home.size(), home) == 0 &&
            (folder.size() == home.size() || folder[home.size()] == '/')) {
            folder = "~" + folder.substr(home.size());
        }
    }
    return {folder};
}

namespace {

// A folder that this account alone may use: a real folder (no link), owned by it, closed to
// others.
bool isPrivateFolder(const std::string& folder) {
    struct stat status {};
    return ::lstat(folder.c_str(), &status) == 0 && S_ISDIR(status.st_mode) &&
           status.st_uid == ::geteuid() && (status.st_mode & 077) == 0;
}

// The shared temporary folder's place of this account: made when missing; when another
// account holds the name, a folder of this process's own beside it.
std::string privateFolderInSharedTemporary() {
    const std::string shared = "/tmp/pendra-" + std::to_string(::geteuid());
    ::mkdir(shared.c_str(), 0700);
    if (isPrivateFolder(shared)) {
        return shared;
    }
    static const std::string ownOfThisProcess = [&shared] {
        std::string pattern = shared + "-XXXXXX";
        return ::mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
    }();
    return ownOfThisProcess;
}

}  // namespace

std::string LinuxPathService::NSTemporaryDirectory() {
    std::string folder;
    if (const char* value = std::getenv("TMPDIR"); value != nullptr && value[0] == '/') {
        folder = value;
    } else if (const char* runtime = std::getenv("XDG_RUNTIME_DIR");
               runtime != nullptr && runtime[0] == '/' && isPrivateFolder(runtime)) {
        // The session's own folder: nobody else can leave anything in it.
        folder = runtime;
    } else {
        folder = privateFolderInSharedTemporary();
    }
    if (folder.empty()) {
        folder = "/tmp";  // nothing private could be made; the shared folder is all there is
    }
    if (folder.back() != '/') {
        folder += '/';
    }
    return folder;
}

std::string LinuxPathService::NSHomeDirectory() {
    return homeDirectory();
}

}  // namespace platform::linux_platform
