// The remove tool: waits for a process to end, then deletes a bundle.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/application.h"

namespace remove_tool {

class TerminationListener {
  public:
    // Stores the values and pins the awaited process; removes at once when the parent is already
    // process 1, otherwise schedules the once-a-second check on the main run loop.
    TerminationListener(const char* path, std::int32_t parentProcessId);
    // The listener lives as long as the event loop; should the loop ever come back, its timer
    // must not call a listener that is gone.
    ~TerminationListener();
    TerminationListener(const TerminationListener&) = delete;
    TerminationListener& operator=(const TerminationListener&) = delete;

    void watchdog();
    // Deletes the bundle and ends the process with status 0; with 1, deleting nothing, when
    // what lies at the path is no longer an application bundle.
    [[noreturn]] void remove();

  private:
    const char* pathToRemove_;
    std::int32_t parentProcessId_;
    platform::TimerID timer_ = 0;
};

// Why a path must not be deleted at all (empty, relative, the root folder, the user's home
// folder or a folder holding it, anything but an application bundle); absent when it may be.
std::optional<std::string> refusalReasonForPath(const std::string& path);

// The process entry; answers the exit status.
int removeToolMain(int argc, char** argv);

}  // namespace remove_tool
