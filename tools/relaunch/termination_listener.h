// The relaunch tool: waits for a process to end, puts a new helper bundle in place of the
// installed one, releases it from quarantine, launches it and deletes its own bundle.
#pragma once

#include <cstdint>
#include <string>

namespace relaunch_tool {

class TerminationListener {
public:
    // Stores the values, logs "Setting up termination listener..." and schedules the
    // once-a-second check on the main run loop.
    TerminationListener(const char* sourcePath, const char* targetPath, std::int32_t parentProcessId,
                        std::string selfPath);

    void watchdog();
    // Puts the source in place of the target and ends the process with status 0; returns only
    // when the attempt failed (the next check tries again).
    void relaunch();

private:
    const char* sourcePath_;
    const char* targetPath_;
    std::string selfPath_;
    std::int32_t parentProcessId_;
};

// Removes the quarantine attribute from an item and everything below it.
void releaseFileFromQuarantine(const std::string& path);

// The process entry; answers the exit status.
int relaunchToolMain(int argc, char** argv);

}  // namespace relaunch_tool
