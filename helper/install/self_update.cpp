// Self-update: the designated folder, the installed bundle's path, and the hand-over of a new
// bundle to the relaunch tool, which replaces the bundle once this process has ended.
#include <cerrno>
#include <optional>
#include <string>
#include <vector>

#include "helper/constants.h"
#include "helper/pendra_sandbox_helper.h"
#include "platform/platform.h"

namespace pendra {
namespace {

// The relaunch tool's arguments: source, target, process id, and the tool's own copy.
std::vector<std::string> relaunchArguments(const std::string& source, const std::string& target,
                                           const std::string& toolCopyPath) {
    return {source, target, platform::formatString("%d", {platform::processManager().getpid()}),
            toolCopyPath};
}

}  // namespace

std::string PendraSandboxHelper::installationFolderPath() const {
    const std::vector<std::string> folders = platform::paths().NSSearchPathForDirectoriesInDomains(
        platform::NSApplicationSupportDirectory, platform::NSUserDomainMask, true);
    if (folders.empty()) {
        return {};
    }
    return platform::stringByAppendingPathComponent(folders.front(), kInstallationFolderName);
}

std::string PendraSandboxHelper::installationFilePath() const {
    const std::string folder = installationFolderPath();
    if (folder.empty()) {
        return {};
    }
    return platform::stringByAppendingPathComponent(
        folder, platform::lastPathComponent(platform::mainBundle()->bundlePath()));
}

bool PendraSandboxHelper::updateFromBundleAtPath(const std::optional<std::string>& path) {
    if (!path || path->empty()) {
        return false;
    }
    platform::FileManager& fileManager = platform::fileManager();
    // The relaunch tool receives the path as a C string; a NUL byte would make it name another
    // item than the one checked here.
    if (path->find('\0') != std::string::npos) {
        platform::os_log_debug(
            log(), "Source bundle path %{public}@ holds a NUL byte, not updating.", {*path});
        return false;
    }
    if (!fileManager.fileExistsAtPath(*path)) {
        platform::os_log_debug(log(), "Source bundle does not exist at path %{public}@", {*path});
        return false;
    }
    // Each refusal below is also made by the relaunch tool; making it here keeps the helper
    // running instead of quitting for an update that cannot happen.
    return _isAcceptableUpdateSource(*path) && _handOverToRelaunchTool(*path);
}

bool PendraSandboxHelper::_isAcceptableUpdateSource(const std::string& path) {
    platform::FileManager& fileManager = platform::fileManager();
    // A copied link is no bundle, and a link to the installed bundle would lose it.
    platform::Error error;
    const std::optional<platform::FileAttributes> source =
        fileManager.attributesOfItemAtPath(path, &error);
    if (source && source->type == platform::FileType::SymbolicLink) {
        platform::os_log_debug(log(), "Source bundle %{public}@ is a symbolic link, not updating.",
                               {path});
        return false;
    }

    // The relaunch tool puts the source in place of the target and then deletes the source, so
    // a source that is the installed bundle itself would be lost.
    const std::string target = installationFilePath();
    if (!target.empty() && fileManager.fileExistsAtPath(target)) {
        const std::optional<platform::FileAttributes> installed =
            source ? fileManager.attributesOfItemAtPath(target, &error) : std::nullopt;
        if (!source || !installed) {
            platform::os_log_debug(
                log(), "Cannot tell source bundle %{public}@ from the installed bundle: %{public}@",
                {path, error});
            return false;
        }
        if (source->systemFileNumber == installed->systemFileNumber &&
            source->systemNumber == installed->systemNumber) {
            platform::os_log_debug(
                log(), "Source bundle %{public}@ is the installed bundle itself, not updating.",
                {path});
            return false;
        }
    }

    // A source holding the designated folder would be copied into itself, and one inside the
    // installed bundle would vanish with it; compared as real paths, however spelled.
    const std::string realSource = fileManager.stringByResolvingSymlinksInPath(path);
    const std::string realTarget = fileManager.stringByResolvingSymlinksInPath(target);
    if (!target.empty() && (platform::isPathAtOrBelow(realTarget, realSource) ||
                            platform::isPathAtOrBelow(realSource, realTarget))) {
        platform::os_log_debug(
            log(),
            "Source bundle %{public}@ contains the installed bundle %{public}@ or lies inside it, "
            "not updating.",
            {path, target});
        return false;
    }

    // Only another copy of this helper may take its place: any other folder would be moved
    // into the designated folder and deleted where it was.
    const std::optional<std::string> ownIdentifier = platform::mainBundle()->bundleIdentifier();
    const std::optional<std::string> problem =
        platform::applicationBundleProblem(path, ownIdentifier.value_or(""));
    if (problem) {
        platform::os_log_debug(
            log(), "Source %{public}@ is not a bundle of this helper (%{public}@), not updating.",
            {path, *problem});
        return false;
    }
    return true;
}

bool PendraSandboxHelper::_handOverToRelaunchTool(const std::string& path) {
    platform::FileManager& fileManager = platform::fileManager();
    const std::string target = installationFilePath();
    const std::string folder = installationFolderPath();
    platform::Error folderError;
    if (folder.empty()) {
        folderError = platform::Error::posix(ENOENT);
    }
    if (folder.empty() || !fileManager.createDirectoryAtPath(folder, true, &folderError)) {
        platform::os_log_debug(log(),
                               "Error when preparing the installation folder path %{public}@ for "
                               "the helper: %{public}@",
                               {folder, folderError});
        return false;
    }

    const std::shared_ptr<platform::Bundle> bundle = platform::mainBundle();
    const std::optional<std::string> toolPath =
        bundle->pathForAuxiliaryExecutable(kRelaunchToolName);
    platform::os_log_debug(log(), "Source relaunch app path: %{public}@", {toolPath});

    const std::string toolCopyPath = platform::stringByAppendingPathComponent(
        platform::paths().NSTemporaryDirectory(), kRelaunchToolName);
    platform::os_log_debug(log(), "Copying relaunch app to temporary location: %{public}@",
                           {toolCopyPath});

    // Each update leaves its copy behind; the next one starts from a fresh copy.
    if (fileManager.fileExistsAtPath(toolCopyPath)) {
        platform::Error removeError;
        if (!fileManager.removeItemAtPath(toolCopyPath, &removeError)) {
            platform::os_log_debug(
                log(),
                "Cannot remove relaunch helper app from temporary location %{public}@: %{public}@",
                {toolCopyPath, removeError});
        }
    }

    platform::Error copyError;
    bool copied = false;
    if (toolPath) {
        copied = fileManager.copyItemAtPath(*toolPath, toolCopyPath, &copyError);
    } else {
        // A bundle without the tool fails the way a copy from a missing item does.
        copyError = platform::Error::posix(ENOENT, platform::stringByAppendingPathComponent(
                                                       platform::stringByAppendingPathComponent(
                                                           bundle->bundlePath(), "Contents/MacOS"),
                                                       kRelaunchToolName));
    }
    if (!copied) {
        platform::os_log_debug(log(), "Error preparing relaunch helper app in temp: %{public}@",
                               {copyError});
        return false;
    }

    platform::Error launchError;
    const std::optional<platform::RunningApplication> tool =
        platform::workspace().launchApplicationAtURL(
            platform::URL::fileURLWithPath(toolCopyPath),
            platform::NSWorkspaceLaunchNewInstance | platform::NSWorkspaceLaunchWithoutActivation,
            {relaunchArguments(path, target, toolCopyPath)}, &launchError);
    if (!tool) {
        platform::os_log_debug(log(), "Error launching relaunch tool: %{public}@", {launchError});
        return false;
    }
    return true;
}

}  // namespace pendra
