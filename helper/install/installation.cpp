// Installation: the helper runs only from the designated folder; a copy started elsewhere hands
// its bundle to the relaunch tool, tells the main application and ends.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "helper/application_environment.h"
#include "helper/constants.h"
#include "helper/pendra_sandbox_helper.h"
#include "platform/platform.h"

namespace pendra {
namespace {

std::string runningBundlePath() {
    const std::optional<platform::URL> url = platform::workspace().currentApplication().bundleURL;
    if (url) {
        return url->path();
    }
    // A running application without a bundle URL is still the main bundle's program.
    return platform::mainBundle()->bundlePath();
}

// The item's attributes; without them, a debug line in `format` names the path and the error.
std::optional<platform::FileAttributes> attributesOrDebugLine(const platform::OSLog& log,
                                                              const std::string& path,
                                                              std::string_view format) {
    platform::Error error;
    std::optional<platform::FileAttributes> attributes =
        platform::fileManager().attributesOfItemAtPath(path, &error);
    if (!attributes) {
        platform::os_log_debug(log, format, {path, error});
    }
    return attributes;
}

}  // namespace

void PendraSandboxHelper::installToDesignatedFolderIfNecessary(bool handOverFailedBefore) {
    const std::string bundlePath = runningBundlePath();
    const std::string runningFolder = platform::stringByDeletingLastPathComponent(bundlePath);

    const std::optional<platform::FileAttributes> running = attributesOrDebugLine(
        log(), runningFolder,
        "Could not get attributes of running application folder %{public}@: %{public}@");

    const std::string designatedFolder = installationFolderPath();
    const std::optional<platform::FileAttributes> designated = attributesOrDebugLine(
        log(), designatedFolder,
        "Could not get attributes of installation folder %{public}@: %{public}@");

    // Only the folders count, not the bundle's name and not the volume.
    if (running && designated && running->systemFileNumber == designated->systemFileNumber) {
        platform::os_log_debug(log(), "Already in designated folder, not installing.");
        return;
    }

    // The relaunch tool could not install this copy and started it again: another hand-over
    // would only fail the same way, and the main application, told of a helper, needs one.
    if (handOverFailedBefore) {
        platform::os_log_debug(log(),
                               "Installation into %{public}@ failed, running from %{public}@ "
                               "without installing.",
                               {designatedFolder, bundlePath});
        return;
    }

    platform::os_log_debug(log(), "Not in designated folder, installing...");
    if (!updateFromBundleAtPath(bundlePath)) {
        return;
    }
    notifyPendraAboutInstalledHelper();
    platform::os_log_debug(log(), "Exiting after a successful update from path %{public}@.",
                           {bundlePath});
    platform::processManager().terminateProcess(0);
}

void PendraSandboxHelper::notifyPendraAboutInstalledHelper() {
    // The standard variant is handled completely before the development variant is looked at.
    for (const std::string& bundleIdentifier : supportedPendraBundleIdentifiers()) {
        const std::vector<platform::RunningApplication> running =
            platform::workspace().runningApplicationsWithBundleIdentifier(bundleIdentifier);
        if (!running.empty()) {
            if (ApplicationEnvironment::isOperatingSystemAtLeastMajorVersion(14)) {
                platform::application().yieldActivationToApplication(running.front());
            }
            platform::distributedNotificationCenter().postNotificationName(
                PendraMacSandboxHelperDidInstallNotification, std::nullopt);
            return;
        }

        const std::optional<platform::URL> url =
            platform::workspace().URLForApplicationWithBundleIdentifier(bundleIdentifier);
        platform::os_log_debug(log(), "URL of Pendra app bundle to be launched: %{public}@", {url});
        if (url) {
            if (ApplicationEnvironment::isOperatingSystemAtLeastMajorVersion(14)) {
                platform::application().yieldActivationToApplicationWithBundleIdentifier(
                    bundleIdentifier);
            }
            // The main application's launch is not looked at: the helper ends either way.
            platform::workspace().launchApplicationAtURL(
                *url, platform::NSWorkspaceLaunchDefault,
                {{PendraSandboxHelperInstalledLaunchArgument}}, nullptr);
            return;
        }
    }
}

}  // namespace pendra
