// Processes, tasks, process information and standard folders on Linux.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/paths.h"
#include "platform/process_manager.h"

namespace platform::linux_platform {

// True while a process with the id exists and is not a zombie.
bool processIsAlive(pid_t pid);
// A handle on one process (a pidfd, closed on exec): it goes on naming that process after the
// process has ended and its id has gone to another. -1 when the process cannot be opened.
int openProcessHandle(pid_t pid);
// True once the handle's process has ended (a zombie included), or for a handle that is none.
bool processHandleHasEnded(int handle);
// The start of a small file (at most `limit` bytes), read with one system call: files of /proc,
// read on every request. Absent when it cannot be opened or read.
std::optional<std::string> readSmallFile(const std::string& path, std::size_t limit = 4096);

// A program as it is started by name: a bare name is looked up in the absolute folders of PATH
// (/usr/local/bin, /usr/bin and /bin when it is unset), an absolute path stands for itself; only
// an executable regular file counts. An empty or relative PATH entry would let the current
// folder decide, and a relative path names nothing, so neither is searched. Absent when no
// such program exists.
std::optional<std::string> findProgram(const std::string& program);

// A small file read again only once something in its folder has changed, as an inotify watch
// on the folder tells: asking often then costs one read of the watch instead of opening the
// file. Without a watch (no folder yet, or no inotify) every call reads the file. A folder
// further up that is renamed or mounted over goes unseen: the frontmost record lives in the
// session's runtime folder, which stays where it is.
class WatchedSmallFile {
  public:
    explicit WatchedSmallFile(std::size_t limit) : limit_(limit) {}
    ~WatchedSmallFile();
    WatchedSmallFile(const WatchedSmallFile&) = delete;
    WatchedSmallFile& operator=(const WatchedSmallFile&) = delete;

    // The start of the file at `path` (see readSmallFile).
    std::optional<std::string> read(const std::string& path);

  private:
    // True when the folder is watched and nothing in it has changed since the last read.
    bool unchangedSinceLastRead();

    std::size_t limit_;
    std::string path_;
    int inotify_ = -1;
    bool watching_ = false;
    bool current_ = false;  // contents_ is the file as it is
    std::optional<std::string> contents_;
};

class LinuxProcessManager final : public ProcessManager {
  public:
    // Tells the process behind a serial number that is no process id (the address of a bus
    // connection); without it such numbers name no process.
    std::function<std::optional<pid_t>(const ProcessSerialNumber&)> processOfSerialNumber;
    LinuxProcessManager() = default;
    ~LinuxProcessManager() override;
    LinuxProcessManager(const LinuxProcessManager&) = delete;
    LinuxProcessManager& operator=(const LinuxProcessManager&) = delete;

    OSStatus GetProcessForPID(pid_t pid, ProcessSerialNumber* psn) override;
    // Holds a process descriptor (pidfd) of the process.
    bool pinProcessForPID(pid_t pid) override;
    OSStatus GetProcessPID(const ProcessSerialNumber& psn, pid_t* pid) override;
    // The target of /proc/<pid>/exe.
    std::optional<std::string> proc_pidpath(pid_t pid) override;
    pid_t getpid() override;
    pid_t getppid() override;
    [[noreturn]] void terminateProcess(int status) override;

  private:
    // Pinned processes: a descriptor that becomes readable when its process ends, or -1 for one
    // that had ended before it was pinned.
    std::map<pid_t, int> pinned_;
};

// Starts programs with posix_spawn. The quarantine-removal program of the platform does not
// exist here; a child process of our own does its work and exits with its status.
class LinuxTaskService final : public TaskService {
  public:
    std::optional<Task> launchedTaskWithLaunchPath(
        const std::string& path, const std::vector<std::string>& arguments) override;
    int waitUntilExit(const Task& task) override;
};

// The program whose work the task service does itself, and the attribute it removes.
inline constexpr const char* kQuarantineToolPath = "/usr/bin/xattr";
inline constexpr const char* kQuarantineAttributeName = "com.apple.quarantine";
inline constexpr const char* kLinuxQuarantineAttribute = "user.com.apple.quarantine";

// Removes the quarantine attribute from an item and everything below it without following
// symbolic links; answers the exit status the platform's program gives (0, or 1 after a
// message on standard error).
int removeQuarantineRecursively(const std::string& path);

class LinuxProcessInfo final : public ProcessInfo {
  public:
    bool isOperatingSystemAtLeastVersion(const OperatingSystemVersion& version) override;
    int sysctlbyname(const char* name, void* buffer, std::size_t* size) override;
};

// The version of the platform this layer stands in for.
inline constexpr OperatingSystemVersion kEmulatedOperatingSystemVersion{14, 0, 0};

class LinuxPathService final : public PathService {
  public:
    std::vector<std::string> NSSearchPathForDirectoriesInDomains(NSSearchPathDirectory directory,
                                                                 NSSearchPathDomainMask domain,
                                                                 bool expandTilde) override;
    // $TMPDIR when set; else the session's runtime folder when it is private; else a folder of
    // this account's own in /tmp (made 0700, never one that another account holds).
    std::string NSTemporaryDirectory() override;
    std::string NSHomeDirectory() override;
};

// The user's home folder ($HOME, else the password database).
std::string homeDirectory();
// An XDG base folder: the variable when it holds an absolute path, else the fallback under home.
std::string xdgDirectory(const char* variable, const char* fallbackUnderHome);

}  // namespace platform::linux_platform
