#include <cstdint>
#include <memory>
#include <optional>

#include "platform/platform.h"
#include "tools/common/process_id_argument.h"
#include "tools/relaunch/termination_listener.h"

namespace relaunch_tool {

int relaunchToolMain(int argc, char** argv) {
    // Source, target and process id are all needed; without them, or with an id that names no
    // process, there is nothing safe to do, and waiting would be for nothing or forever.
    const std::optional<std::int32_t> processId =
        argc >= 4 ? tool_common::processIdFromArgument(argv[3]) : std::nullopt;
    if (!processId) {
        platform::NSLog(
            "Usage: %@ SOURCE-PATH TARGET-PATH PROCESS-ID",
            {argc > 0 && argv[0] != nullptr ? argv[0] : "PendraSandboxHelperRelaunchTool"});
        return 1;
    }

    platform::Application& application = platform::application();
    application.activateIgnoringOtherApps(true);

    // A program outside any bundle answers its own folder as its bundle path; that folder is
    // not the tool's to delete.
    const std::shared_ptr<platform::Bundle> mainBundle = platform::mainBundle();
    std::string selfPath;
    if (mainBundle->bundleIdentifier()) {
        selfPath = mainBundle->bundlePath();
    } else {
        platform::NSLog("Not running from a bundle of its own; the tool will not delete itself");
    }

    // The listener lives as long as the event loop, which ends the process from its timer.
    const auto listener =
        std::make_unique<TerminationListener>(argv[1], argv[2], *processId, selfPath);
    application.run();
    return 0;
}

}  // namespace relaunch_tool
