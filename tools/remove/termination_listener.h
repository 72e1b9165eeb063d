// The remove tool: waits for a process to end, then deletes a bundle.
#pragma once

#include <cstdint>

namespace remove_tool {

class TerminationListener {
public:
    // Stores the values; removes at once when the parent is already process 1, otherwise
    // schedules the once-a-second check on the main run loop.
    TerminationListener(const char* path, std::int32_t parentProcessId);

    void watchdog();
    // Deletes the bundle and ends the process with status 0.
    [[noreturn]] void remove();

private:
    const char* pathToRemove_;
    std::int32_t parentProcessId_;
};

// The process entry; answers the exit status.
int removeToolMain(int argc, char** argv);

}  // namespace remove_tool
