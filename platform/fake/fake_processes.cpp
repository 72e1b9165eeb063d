#include "platform/fake/fake_processes.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <tuple>

namespace platform::fake {

OSStatus FakeProcessManager::GetProcessForPID(pid_t target, ProcessSerialNumber* psn) {
    lookups.push_back(target);
    OSStatus status;
    if (auto found = statuses.find(target); found != statuses.end()) {
        status = found->second;
    } else if (target <= 0) {
        status = paramErr;
    } else if (target == pid || existing.count(target) != 0) {
        status = noErr;
    } else {
        status = procNotFound;
    }
    if (status == noErr && psn != nullptr) {
        *psn = {0, static_cast<std::uint32_t>(target)};
    }
    return status;
}

OSStatus FakeProcessManager::GetProcessPID(const ProcessSerialNumber& psn, pid_t* result) {
    if (psn.highLongOfPSN != 0 || psn.lowLongOfPSN == 0 ||
        psn.lowLongOfPSN > static_cast<std::uint32_t>(INT32_MAX)) {
        return procNotFound;
    }
    if (result != nullptr) {
        *result = static_cast<pid_t>(psn.lowLongOfPSN);
    }
    return noErr;
}

std::optional<std::string> FakeProcessManager::proc_pidpath(pid_t target) {
    const auto found = executablePaths.find(target);
    if (found == executablePaths.end()) {
        return std::nullopt;
    }
    return found->second;
}

void FakeProcessManager::terminateProcess(int status) {
    exitStatus = status;
    throw ProcessExit{status};
}

std::optional<Task> FakeTasks::launchedTaskWithLaunchPath(
    const std::string& path, const std::vector<std::string>& arguments) {
    launched.push_back({path, arguments});
    if (failLaunch) {
        return std::nullopt;
    }
    return Task{nextPid++};
}

int FakeTasks::waitUntilExit(const Task& task) {
    waitedFor.push_back(task.processIdentifier);
    return exitStatus;
}

bool FakeProcessInfo::isOperatingSystemAtLeastVersion(const OperatingSystemVersion& asked) {
    queries.push_back(asked);
    return std::tie(version.majorVersion, version.minorVersion, version.patchVersion) >=
           std::tie(asked.majorVersion, asked.minorVersion, asked.patchVersion);
}

int FakeProcessInfo::sysctlbyname(const char* name, void* buffer, std::size_t* size) {
    sysctlNames.push_back(name != nullptr ? name : "");
    if (name == nullptr || size == nullptr) {
        return -1;
    }
    auto found = sysctlValues.find(name);
    if (found == sysctlValues.end()) {
        return -1;
    }
    const auto& value = found->second;
    if (buffer == nullptr) {
        if (failSizeQuery) {
            return -1;
        }
        *size = reportedSize.value_or(value.size());
        return 0;
    }
    if (failFill) {
        return -1;
    }
    const std::size_t copied = std::min(*size, value.size());
    if (copied > 0) {
        std::memcpy(buffer, value.data(), copied);
    }
    *size = copied;
    return copied < value.size() ? -1 : 0;
}

void FakeProcessInfo::setSysctlString(const std::string& name, const std::string& value) {
    std::vector<std::uint8_t> bytes(value.begin(), value.end());
    bytes.push_back(0);
    sysctlValues[name] = std::move(bytes);
}

}  // namespace platform::fake
