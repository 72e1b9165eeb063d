#include "tools/relaunch/termination_listener.h"

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "tools/common/process_and_items.h"

namespace relaunch_tool {
namespace {

using tool_common::failed;
using tool_common::isSameItem;

// Attempts a second apart before a failure counts as lasting: about a minute.
constexpr int kAttemptsBeforeGivingUp = 60;

// An item at the path, a symbolic link included (even one that leads nowhere).
bool itemExistsAtPath(platform::FileManager& fileManager, const std::string& path) {
    return fileManager.fileExistsAtPath(path) ||
           fileManager.attributesOfItemAtPath(path, nullptr).has_value();
}

bool isSymbolicLink(platform::FileManager& fileManager, const std::string& path) {
    const std::optional<platform::FileAttributes> attributes =
        fileManager.attributesOfItemAtPath(path, nullptr);
    return attributes && attributes->type == platform::FileType::SymbolicLink;
}

std::string pathFromArgument(platform::FileManager& fileManager, const char* argument) {
    return fileManager.stringWithFileSystemRepresentation(argument, std::strlen(argument));
}

bool isPosixError(const platform::Error& error, int code) {
    return error.domain == platform::NSPOSIXErrorDomain && error.code == code;
}

// Failures that the same attempt a second later meets again: a refused argument, missing
// permission, a read-only file system.
bool retryCannotMend(const platform::Error& error) {
    for (const int code : {EINVAL, EACCES, EPERM, EROFS}) {
        if (isPosixError(error, code)) {
            return true;
        }
    }
    return false;
}

void removeIfPresent(platform::FileManager& fileManager, const std::string& path) {
    if (itemExistsAtPath(fileManager, path)) {
        fileManager.removeItemAtPath(path, nullptr);
    }
}

}  // namespace

std::string stagingPathForTarget(const std::string& target, std::int32_t processId) {
    return platform::stringByAppendingPathComponent(
        platform::stringByDeletingLastPathComponent(target),
        "." + platform::lastPathComponent(target) + ".incoming-" + std::to_string(processId));
}

TerminationListener::TerminationListener(const char* sourcePath, const char* targetPath,
                                         std::int32_t parentProcessId, std::string selfPath)
    : sourcePath_(sourcePath),
      targetPath_(targetPath),
      selfPath_(std::move(selfPath)),
      parentProcessId_(parentProcessId) {
    platform::NSLog("Setting up termination listener...");
    // Held from now on, so that a process given the same id later never keeps the tool waiting.
    platform::processManager().pinProcessForPID(parentProcessId_);
    timer_ =
        platform::application().scheduledTimerWithTimeInterval(1.0, true, [this] { watchdog(); });
}

TerminationListener::~TerminationListener() {
    platform::application().invalidateTimer(timer_);
}

void TerminationListener::watchdog() {
    if (tool_common::hasProcessEnded(parentProcessId_)) {
        relaunch();
    }
}

void TerminationListener::relaunch() {
    platform::FileManager& fileManager = platform::fileManager();
    const std::string source = pathFromArgument(fileManager, sourcePath_);
    const std::string target = pathFromArgument(fileManager, targetPath_);
    platform::NSLog("Relaunching: %@ -> %@", {source, target});

    if (const std::optional<std::string> refusal = _refusalReason(source, target)) {
        _endWithoutReplacing(target, platform::formatString("Cannot relaunch: %@", {*refusal}));
    }

    if (const std::optional<platform::Error> failure = _putSourceInPlaceOfTarget(source, target)) {
        if (retryCannotMend(*failure)) {
            _endWithoutReplacing(
                target,
                platform::formatString("Giving up the replacement of %@: trying again "
                                       "cannot mend %@",
                                       {target, *failure}),
                &source);
        }
        if (++failedAttempts_ >= kAttemptsBeforeGivingUp) {
            _endWithoutReplacing(
                target,
                platform::formatString("Giving up the replacement of %@: it has failed "
                                       "for a minute, last with %@",
                                       {target, *failure}),
                &source);
        }
        return;
    }
    _deleteInstalledSource(source);

    releaseFileFromQuarantine(target);

    platform::workspace().launchApplicationAtURL(
        platform::URL::fileURLWithPath(target),
        platform::NSWorkspaceLaunchNewInstance | platform::NSWorkspaceLaunchWithoutActivation,
        platform::LaunchConfiguration{}, nullptr);

    // A tool started from inside the bundle it just replaced must not take a part of the new
    // bundle with it.
    if (!selfPath_.empty() && !platform::isPathAtOrBelow(selfPath_, target)) {
        fileManager.removeItemAtPath(selfPath_, nullptr);
    }

    platform::processManager().terminateProcess(0);
}

void TerminationListener::_endWithoutReplacing(const std::string& target, const std::string& reason,
                                               const std::string* startableSource) {
    platform::NSLog("%@", {reason});
    platform::FileManager& fileManager = platform::fileManager();
    constexpr platform::NSWorkspaceLaunchOptions options =
        platform::NSWorkspaceLaunchNewInstance | platform::NSWorkspaceLaunchWithoutActivation;
    // The helper has quit for this replacement; the person keeps the installed one.
    if (fileManager.fileExistsAtPath(target)) {
        platform::workspace().launchApplicationAtURL(platform::URL::fileURLWithPath(target),
                                                     options, platform::LaunchConfiguration{},
                                                     nullptr);
    } else if (startableSource != nullptr && fileManager.fileExistsAtPath(*startableSource)) {
        // A first installation that failed: the main application was told that a helper is
        // installed, so the copy that was to be installed runs where it lies, once, and says
        // so in its own log.
        platform::NSLog(
            "No helper is installed at %@; starting %@ again where it lies, told not "
            "to hand itself over",
            {target, *startableSource});
        platform::Error error;
        if (!platform::workspace().launchApplicationAtURL(
                platform::URL::fileURLWithPath(*startableSource), options,
                platform::LaunchConfiguration{{kInstallationFailedLaunchArgument}}, &error)) {
            platform::NSLog("Cannot start %@: %@", {*startableSource, error});
        }
    } else {
        platform::NSLog("No helper is installed at %@, and none is started", {target});
    }
    platform::processManager().terminateProcess(1);
    // Not reached. The service declares the call [[noreturn]], but the compiler does not carry
    // that through a virtual call.
    std::abort();
}

std::optional<std::string> TerminationListener::_refusalReason(const std::string& source,
                                                               const std::string& target) {
    platform::FileManager& fileManager = platform::fileManager();
    // Replacing an item with itself would only ever lose it. A link would be copied as a link
    // and could lead to the very bundle it replaces.
    if (isSameItem(fileManager, source, target)) {
        return source + " and " + target + " are the same item";
    }
    if (isSymbolicLink(fileManager, source)) {
        return source + " is a symbolic link, not a bundle";
    }
    // A source holding the target would be copied into itself on every attempt; one inside
    // the target would vanish with it.
    const std::string realSource = fileManager.stringByResolvingSymlinksInPath(source);
    const std::string realTarget = fileManager.stringByResolvingSymlinksInPath(target);
    if (platform::isPathAtOrBelow(realSource, realTarget) ||
        platform::isPathAtOrBelow(realTarget, realSource)) {
        return source + " contains " + target + " or lies inside it";
    }
    // Whatever else the path names would be moved into the helper's place and deleted where
    // it was. A source that has gone may come back; the copy reports it.
    if (itemExistsAtPath(fileManager, source)) {
        if (const std::optional<std::string> problem =
                platform::applicationBundleProblem(source, tool_common::kHelperBundleIdentifier)) {
            return source + " is not a bundle of the helper: " + *problem;
        }
    }
    return std::nullopt;
}

void TerminationListener::_deleteInstalledSource(const std::string& source) {
    platform::FileManager& fileManager = platform::fileManager();
    platform::ProcessManager& processes = platform::processManager();
    const std::string folder = platform::stringByDeletingLastPathComponent(source);
    const std::string prefix = "." + platform::lastPathComponent(source) + ".installed-";
    // What tools killed while deleting this source left behind (one of an earlier process with
    // this one's id among them); a tool that still lives may be deleting its own.
    const auto names =
        fileManager.contentsOfDirectoryAtPath(folder.empty() ? "." : folder, nullptr);
    for (const std::string& name : names.value_or(std::vector<std::string>{})) {
        const std::string_view digits =
            std::string_view(name).substr(name.starts_with(prefix) ? prefix.size() : name.size());
        pid_t pid = 0;
        const auto [end, problem] =
            std::from_chars(digits.data(), digits.data() + digits.size(), pid);
        platform::ProcessSerialNumber psn;
        if (digits.empty() || problem != std::errc() || end != digits.data() + digits.size() ||
            pid <= 0 ||
            (pid != processes.getpid() &&
             processes.GetProcessForPID(pid, &psn) != platform::procNotFound)) {
            continue;
        }
        fileManager.removeItemAtPath(platform::stringByAppendingPathComponent(folder, name),
                                     nullptr);
    }
    // Renamed first, in one step, so that a deletion cut short never leaves a partial bundle
    // under the name that a later update would install from.
    const std::string aside = platform::stringByAppendingPathComponent(
        folder, prefix + std::to_string(processes.getpid()));
    platform::Error error;
    if (failed(fileManager.moveItemAtPath(source, aside, &error), error)) {
        platform::NSLog("Cannot delete item from %@: %@", {source, error});
        return;
    }
    if (failed(fileManager.removeItemAtPath(aside, &error), error)) {
        platform::NSLog("Cannot delete item from %@: %@", {source, error});
    }
}

std::optional<platform::Error> TerminationListener::_putSourceInPlaceOfTarget(
    const std::string& source, const std::string& target) {
    platform::FileManager& fileManager = platform::fileManager();
    const std::string folder = platform::stringByDeletingLastPathComponent(target);

    // From the staged copy to the swap no other tool works on this folder, so that neither
    // clears or swaps in what the other is still copying.
    platform::Error lockError;
    const std::unique_ptr<platform::FileLock> lock =
        fileManager.lockItemAtPath(folder.empty() ? "." : folder, &lockError);
    if (!lock) {
        if (isPosixError(lockError, EWOULDBLOCK)) {
            platform::NSLog("Another relaunch tool is replacing %@; trying again", {target});
            return lockError;
        }
        // A file system without locks still gets the replacement, only unguarded.
        platform::NSLog("Cannot lock %@: %@", {folder, lockError});
    }
    _recoverCutShortReplacement(target, lock != nullptr);

    const std::string staging = stagingPathForTarget(target, platform::processManager().getpid());
    removeIfPresent(fileManager, staging);
    platform::Error error;
    bool done = fileManager.copyItemAtPath(source, staging, &error);
    // Written through before the swap: a power loss after it must not find empty files.
    if (!failed(done, error)) {
        done = fileManager.synchronizeItemAtPath(staging, &error);
    }
    const bool targetExists = itemExistsAtPath(fileManager, target);
    if (!failed(done, error)) {
        done = targetExists ? fileManager.exchangeItemAtPath(staging, target, &error)
                            : fileManager.moveItemAtPath(staging, target, &error);
    }
    if (failed(done, error)) {
        platform::NSLog("Cannot copy item from %@ to %@ because %@", {source, target, error});
        removeIfPresent(fileManager, staging);
        return error;
    }
    // After the swap the staging path holds the bundle that was replaced.
    if (targetExists) {
        fileManager.removeItemAtPath(staging, nullptr);
    }
    return std::nullopt;
}

void TerminationListener::_recoverCutShortReplacement(const std::string& target,
                                                      bool holdingTheLock) {
    platform::FileManager& fileManager = platform::fileManager();
    // An exchange of three renames cut short: the installed bundle lies set aside. When the
    // new one has not taken the target's name it goes back; otherwise it is the old one.
    const std::string aside = platform::FileManager::exchangeAsidePathForPath(target);
    if (itemExistsAtPath(fileManager, aside)) {
        if (itemExistsAtPath(fileManager, target)) {
            fileManager.removeItemAtPath(aside, nullptr);
        } else {
            platform::Error error;
            if (failed(fileManager.moveItemAtPath(aside, target, &error), error)) {
                platform::NSLog("Cannot put back %@ from %@: %@", {target, aside, error});
            } else {
                platform::NSLog("Put back %@, set aside by a replacement cut short", {target});
            }
        }
    }
    // Copies of tools that were killed; only under the lock is none of them still growing.
    if (!holdingTheLock) {
        return;
    }
    const std::string folder = platform::stringByDeletingLastPathComponent(target);
    const std::string stagingPrefix = "." + platform::lastPathComponent(target) + ".incoming";
    const auto names =
        fileManager.contentsOfDirectoryAtPath(folder.empty() ? "." : folder, nullptr);
    for (const std::string& name : names.value_or(std::vector<std::string>{})) {
        if (name.starts_with(stagingPrefix)) {
            fileManager.removeItemAtPath(platform::stringByAppendingPathComponent(folder, name),
                                         nullptr);
        }
    }
}

}  // namespace relaunch_tool
