// The process manager, tasks, process information and ending the process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/apple_event_descriptor.h"
#include "platform/four_char_code.h"

namespace platform {

using pid_t = int;

// Thrown by the fakes' terminateProcess so that a test observes the end of the process.
struct ProcessExit {
    int status = 0;
};

class ProcessManager {
  public:
    virtual ~ProcessManager() = default;

    // noErr (and the serial number when asked) while the process exists; procNotFound (-600)
    // once it has gone. A process id of 0 or below is never reported gone.
    virtual OSStatus GetProcessForPID(pid_t pid, ProcessSerialNumber* psn) = 0;
    // The process id of a serial number; noErr or procNotFound.
    virtual OSStatus GetProcessPID(const ProcessSerialNumber& psn, pid_t* pid) = 0;
    // The path of the executable file that a process runs (proc_pidpath); absent when the
    // process has gone, cannot be inspected, or its executable has been deleted since it
    // started.
    virtual std::optional<std::string> proc_pidpath(pid_t pid) = 0;
    virtual pid_t getpid() = 0;
    virtual pid_t getppid() = 0;
    // Ends the process with a status (exit); never returns.
    [[noreturn]] virtual void terminateProcess(int status) = 0;
};

// A started child process.
struct Task {
    pid_t processIdentifier = -1;
};

class TaskService {
  public:
    virtual ~TaskService() = default;
    // Starts an executable as a child process and returns at once; absent when it cannot be
    // started.
    virtual std::optional<Task> launchedTaskWithLaunchPath(
        const std::string& path, const std::vector<std::string>& arguments) = 0;
    // Blocks until the task has ended; answers its exit status.
    virtual int waitUntilExit(const Task& task) = 0;
};

struct OperatingSystemVersion {
    std::int64_t majorVersion = 0;
    std::int64_t minorVersion = 0;
    std::int64_t patchVersion = 0;
};

class ProcessInfo {
  public:
    virtual ~ProcessInfo() = default;
    // True when the running system's version is equal to the given one or newer.
    virtual bool isOperatingSystemAtLeastVersion(const OperatingSystemVersion& version) = 0;
    // The sysctlbyname contract: with no buffer, *size receives the value's size; with a
    // buffer of *size bytes, the value is copied and *size updated. 0 on success, -1 on failure.
    virtual int sysctlbyname(const char* name, void* buffer, std::size_t* size) = 0;
};

}  // namespace platform
