// Fakes of the process manager, tasks and process information.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/process_manager.h"

namespace platform::fake {

class FakeProcessManager : public ProcessManager {
  public:
    // noErr (and the serial number {0, pid}) for the existing processes and the own one;
    // procNotFound for others; a pid of 0 or below is never reported gone (paramErr).
    // An entry in statuses overrides the answer for its pid.
    OSStatus GetProcessForPID(pid_t pid, ProcessSerialNumber* psn) override;
    // Records the id in pinned; answers pinSucceeds.
    bool pinProcessForPID(pid_t pid) override {
        pinned.push_back(pid);
        return pinSucceeds;
    }
    OSStatus GetProcessPID(const ProcessSerialNumber& psn, pid_t* pid) override;
    // The entry of executablePaths; absent for others.
    std::optional<std::string> proc_pidpath(pid_t pid) override;
    pid_t getpid() override { return pid; }
    pid_t getppid() override { return parentPid; }
    // Records the status and throws ProcessExit{status}.
    [[noreturn]] void terminateProcess(int status) override;

    pid_t pid = 4242;
    pid_t parentPid = 1000;
    std::set<pid_t> existing;
    std::map<pid_t, OSStatus> statuses;
    std::vector<pid_t> lookups;  // every GetProcessForPID call
    std::map<pid_t, std::string> executablePaths;
    std::vector<pid_t> pinned;  // every pinProcessForPID call
    bool pinSucceeds = true;
    std::optional<int> exitStatus;
};

class FakeTasks : public TaskService {
  public:
    struct Launched {
        std::string path;
        std::vector<std::string> arguments;
        bool operator==(const Launched&) const = default;
    };

    // Records the launch; absent when failLaunch, else a task with the next fake pid.
    std::optional<Task> launchedTaskWithLaunchPath(
        const std::string& path, const std::vector<std::string>& arguments) override;
    int waitUntilExit(const Task& task) override;

    std::vector<Launched> launched;
    bool failLaunch = false;
    int exitStatus = 0;
    std::vector<pid_t> waitedFor;
    pid_t nextPid = 7001;
};

class FakeProcessInfo : public ProcessInfo {
  public:
    // Compares with version part by part and records the question.
    bool isOperatingSystemAtLeastVersion(const OperatingSystemVersion& asked) override;
    // The values of sysctlValues; an unknown name, failSizeQuery or failFill answer -1. A buffer
    // smaller than the value gets what fits and -1.
    int sysctlbyname(const char* name, void* buffer, std::size_t* size) override;

    OperatingSystemVersion version{14, 0, 0};
    std::vector<OperatingSystemVersion> queries;
    std::map<std::string, std::vector<std::uint8_t>> sysctlValues;
    bool failSizeQuery = false, failFill = false;
    std::optional<std::size_t> reportedSize;
    std::vector<std::string> sysctlNames;  // every sysctlbyname call

    // Stores a text value with its terminating zero byte, as the system keeps strings.
    void setSysctlString(const std::string& name, const std::string& value);
};

}  // namespace platform::fake
