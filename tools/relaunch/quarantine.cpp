#include <optional>

#include "platform/platform.h"
#include "tools/relaunch/termination_listener.h"

namespace relaunch_tool {

void releaseFileFromQuarantine(const std::string& path) {
    platform::TaskService& tasks = platform::tasks();
    const std::optional<platform::Task> task =
        tasks.launchedTaskWithLaunchPath("/usr/bin/xattr", {"-rd", "com.apple.quarantine", path});
    // What the program reports changes nothing: a bundle that cannot be released still starts.
    if (task) {
        tasks.waitUntilExit(*task);
    }
}

}  // namespace relaunch_tool
