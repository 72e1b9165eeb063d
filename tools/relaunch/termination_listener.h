// The relaunch tool: waits for a process to end, puts a new helper bundle in place of the
// installed one, releases it from quarantine, launches it and deletes its own bundle.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/application.h"

namespace relaunch_tool {

class TerminationListener {
  public:
    // Stores the values, logs "Setting up termination listener..." and schedules the
    // once-a-second check on the main run loop. An empty selfPath means that the tool runs
    // outside a bundle of its own, and then nothing of it is deleted.
    TerminationListener(const char* sourcePath, const char* targetPath,
                        std::int32_t parentProcessId, std::string selfPath);
    // The listener lives as long as the event loop; should the loop ever come back, its timer
    // must not call a listener that is gone.
    ~TerminationListener();
    TerminationListener(const TerminationListener&) = delete;
    TerminationListener& operator=(const TerminationListener&) = delete;

    void watchdog();
    // Puts the source in place of the target and ends the process with status 0; returns only
    // when the attempt failed (the next check tries again). The target is replaced in one
    // step once a whole copy of the source lies beside it, so that a failed attempt leaves
    // the installed bundle as it was. Source and target naming the same item end the process
    // with status 1 without touching anything.
    void relaunch();

  private:
    // Why the source must never take the target's place (the same item, a link, one holding
    // the other, not a bundle of the helper); absent when it may.
    static std::optional<std::string> _refusalReason(const std::string& source,
                                                     const std::string& target);
    // Deletes the source once it is installed: renamed aside first, then deleted.
    static void _deleteInstalledSource(const std::string& source);
    // Copies the source beside the target and swaps it in; false (logged) when that failed,
    // with the target untouched.
    bool _putSourceInPlaceOfTarget(const std::string& source, const std::string& target);

    const char* sourcePath_;
    const char* targetPath_;
    std::string selfPath_;
    std::int32_t parentProcessId_;
    platform::TimerID timer_ = 0;
};

// Where the whole copy of the source is made before it takes the target's place: a hidden
// item of its own in the target's folder, so that the swap is a rename within one volume.
std::string stagingPathForTarget(const std::string& target);

// Removes the quarantine attribute from an item and everything below it.
void releaseFileFromQuarantine(const std::string& path);

// The process entry; answers the exit status.
int relaunchToolMain(int argc, char** argv);

}  // namespace relaunch_tool
