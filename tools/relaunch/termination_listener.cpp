#include "tools/relaunch/termination_listener.h"

#include <cstring>
#include <optional>
#include <utility>

#include "platform/platform.h"
#include "tools/common/process_and_items.h"

namespace relaunch_tool {
namespace {

using tool_common::failed;
using tool_common::isSameItem;

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

}  // namespace

std::string stagingPathForTarget(const std::string& target) {
    std::string trimmed = target;
    while (trimmed.size() > 1 && trimmed.back() == '/') {
        trimmed.pop_back();
    }
    const std::size_t slash = trimmed.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : trimmed.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
    return folder + "." + name + ".incoming";
}

TerminationListener::TerminationListener(const char* sourcePath, const char* targetPath,
                                         std::int32_t parentProcessId, std::string selfPath)
    : sourcePath_(sourcePath),
      targetPath_(targetPath),
      selfPath_(std::move(selfPath)),
      parentProcessId_(parentProcessId) {
    platform::NSLog("Setting up termination listener...");
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
        platform::NSLog("Cannot relaunch: %@", {*refusal});
        platform::processManager().terminateProcess(1);
    }

    if (!_putSourceInPlaceOfTarget(source, target)) {
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
    // Renamed first, in one step, so that a deletion cut short never leaves a partial bundle
    // under the name that a later update would install from.
    const std::string aside = platform::stringByAppendingPathComponent(
        platform::stringByDeletingLastPathComponent(source),
        "." + platform::lastPathComponent(source) + ".installed-" +
            std::to_string(platform::processManager().getpid()));
    platform::Error error;
    if (failed(fileManager.moveItemAtPath(source, aside, &error), error)) {
        platform::NSLog("Cannot delete item from %@: %@", {source, error});
        return;
    }
    if (failed(fileManager.removeItemAtPath(aside, &error), error)) {
        platform::NSLog("Cannot delete item from %@: %@", {source, error});
    }
}

bool TerminationListener::_putSourceInPlaceOfTarget(const std::string& source,
                                                    const std::string& target) {
    platform::FileManager& fileManager = platform::fileManager();

    std::string staging = stagingPathForTarget(target);
    // Never clear away the source itself, however it was named.
    if (isSameItem(fileManager, staging, source)) {
        staging += "-" + std::to_string(platform::processManager().getpid());
    }
    // What an attempt that was cut short left behind: a partial copy, or the old bundle after
    // the swap. The target is whole in either case.
    if (itemExistsAtPath(fileManager, staging)) {
        fileManager.removeItemAtPath(staging, nullptr);
    }

    platform::Error copyError;
    const bool copied = fileManager.copyItemAtPath(source, staging, &copyError);
    if (failed(copied, copyError)) {
        platform::NSLog("Cannot copy item from %@ to %@ because %@", {source, target, copyError});
        if (itemExistsAtPath(fileManager, staging)) {
            fileManager.removeItemAtPath(staging, nullptr);
        }
        return false;
    }

    const bool targetExists = itemExistsAtPath(fileManager, target);
    platform::Error placeError;
    const bool placed = targetExists ? fileManager.exchangeItemAtPath(staging, target, &placeError)
                                     : fileManager.moveItemAtPath(staging, target, &placeError);
    if (failed(placed, placeError)) {
        platform::NSLog("Cannot copy item from %@ to %@ because %@", {source, target, placeError});
        if (itemExistsAtPath(fileManager, staging)) {
            fileManager.removeItemAtPath(staging, nullptr);
        }
        return false;
    }

    // After the swap the staging path holds the bundle that was replaced.
    if (targetExists) {
        fileManager.removeItemAtPath(staging, nullptr);
    }
    return true;
}

}  // namespace relaunch_tool
