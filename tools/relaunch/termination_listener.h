// The relaunch tool: waits for the helper to end, puts a new helper bundle in place of the
// installed one, releases it from quarantine, launches it and deletes its own bundle.
//
// Design. The helper quits once the tool has started; the tool pins the helper's process when
// it starts (a process descriptor where the system has one), so that only the end of that very
// process, never another process given the same id, lets it go on. Then, once a second until
// it succeeds:
//   1. It locks the target's folder (an advisory lock that ends with the process), so that two
//      tools for one target take turns from the staged copy to the swap; a tool that finds the
//      lock held tries again a second later.
//   2. It puts back what a tool killed earlier left: the installed bundle that a three-rename
//      exchange had set aside (when nothing took the target's name), and the staged copies of
//      killed tools.
//   3. It copies the source beside the target under a name of its own (".<name>.incoming-<pid>")
//      and writes it through to the disk.
//   4. It swaps the copy in: one exchange of names where the file system has it, else three
//      renames (target aside, copy in, aside to the copy's name); into an empty place, a move.
//   5. It deletes the replaced bundle, renames the source aside and deletes it, releases the
//      new bundle from quarantine, launches it, deletes its own bundle and exits with 0.
// Killed before 4 the target is untouched and a partial copy lies under a hidden name that the
// next run clears. Killed within the three renames the installed bundle lies whole under the
// set-aside name, which the next run puts back. Killed after 4 the new bundle is in place and
// the source is whole or gone from its name. A failure that a retry cannot mend (a refused
// argument, no permission, a read-only file system, a source that is no bundle of the helper
// or holds the target) or that lasts a minute ends the attempts: the tool launches the
// installed bundle as it is and exits with 1. On a first installation there is no installed
// bundle, although the main application has already been told of one: the tool then starts the
// source once more where it lies, with kInstallationFailedLaunchArgument, which tells that copy
// to run from there instead of handing itself over again, so that no loop of tools follows.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/application.h"
#include "platform/error.h"

namespace relaunch_tool {

// Given to a helper started again after its installation failed: it runs where it lies and
// does not hand itself over to a tool again.
inline constexpr const char* kInstallationFailedLaunchArgument =
    "--pendra-sandbox-helper-installation-failed";

class TerminationListener {
  public:
    // Stores the values, logs "Setting up termination listener...", pins the awaited process
    // and schedules the once-a-second check on the main run loop. An empty selfPath means that
    // the tool runs outside a bundle of its own, and then nothing of it is deleted.
    TerminationListener(const char* sourcePath, const char* targetPath,
                        std::int32_t parentProcessId, std::string selfPath);
    // The listener lives as long as the event loop; should the loop ever come back, its timer
    // must not call a listener that is gone.
    ~TerminationListener();
    TerminationListener(const TerminationListener&) = delete;
    TerminationListener& operator=(const TerminationListener&) = delete;

    void watchdog();
    // One attempt at the replacement (see the design note): ends the process with 0 after it,
    // with 1 when it must not or cannot happen, and returns when the next check should try
    // again.
    void relaunch();

  private:
    // Why the source must never take the target's place (the same item, a link, one holding
    // the other, not a bundle of the helper); absent when it may.
    static std::optional<std::string> _refusalReason(const std::string& source,
                                                     const std::string& target);
    // Copies the source beside the target and swaps it in under the folder's lock; the error
    // (logged) when that failed, with the target untouched.
    std::optional<platform::Error> _putSourceInPlaceOfTarget(const std::string& source,
                                                             const std::string& target);
    // What killed tools left beside the target: the set-aside bundle goes back, and, while
    // the folder's lock is held, their copies go.
    static void _recoverCutShortReplacement(const std::string& target, bool holdingTheLock);
    // Deletes the source once it is installed: renamed aside first, then deleted.
    static void _deleteInstalledSource(const std::string& source);
    // Logs why, launches the installed bundle as it is and ends the process with 1. Without an
    // installed bundle the source, when given and present, is started again where it lies,
    // told not to hand itself over.
    [[noreturn]] static void _endWithoutReplacing(const std::string& target,
                                                  const std::string& reason,
                                                  const std::string* startableSource = nullptr);

    const char* sourcePath_;
    const char* targetPath_;
    std::string selfPath_;
    std::int32_t parentProcessId_;
    platform::TimerID timer_ = 0;
    int failedAttempts_ = 0;
};

// Where this tool makes the whole copy of the source before it takes the target's place: a
// hidden item of the tool's own in the target's folder, so that the swap is a rename within
// one volume.
std::string stagingPathForTarget(const std::string& target, std::int32_t processId);

// Removes the quarantine attribute from an item and everything below it.
void releaseFileFromQuarantine(const std::string& path);

// The process entry; answers the exit status.
int relaunchToolMain(int argc, char** argv);

}  // namespace relaunch_tool
