// Taking the helper off the user's system: login items, then the remove tool, then the quit
// request, so that the tool is already waiting when the helper ends.
#include <optional>
#include <string>

#include "helper/constants.h"
#include "helper/pendra_sandbox_helper.h"
#include "platform/platform.h"

namespace pendra {

void PendraSandboxHelper::disable() {
    platform::os_log_debug(log(), "Disabling the helper...");
    unregisterLoginItem();

    const std::shared_ptr<platform::Bundle> bundle = platform::mainBundle();
    const std::optional<std::string> toolPath = bundle->pathForAuxiliaryExecutable(kRemoveToolName);
    if (!toolPath) {
        // Without the tool the bundle stays on disk; the helper still quits, since its login
        // items are already gone.
        platform::os_log_debug(log(), "Remove tool %{public}@ not found in bundle %{public}@.",
                               {kRemoveToolName, bundle->bundlePath()});
    } else {
        const std::string processId =
            platform::formatString("%d", {platform::processManager().getpid()});
        const std::optional<platform::Task> task = platform::tasks().launchedTaskWithLaunchPath(
            *toolPath, {bundle->bundlePath(), processId});
        if (!task) {
            platform::os_log_debug(log(), "Could not start the remove tool at %{public}@.",
                                   {*toolPath});
        }
    }

    platform::workspace().currentApplication().terminate();
}

}  // namespace pendra
