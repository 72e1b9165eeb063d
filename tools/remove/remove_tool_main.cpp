#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>

#include "platform/platform.h"
#include "tools/common/process_id_argument.h"
#include "tools/remove/termination_listener.h"

namespace remove_tool {
namespace {

void logUsage(int argc, char** argv) {
    platform::NSLog("Usage: %@ BUNDLE-PATH PROCESS-ID",
                    {argc > 0 && argv[0] != nullptr ? argv[0] : "PendraSandboxHelperRemoveTool"});
}

}  // namespace

int removeToolMain(int argc, char** argv) {
    // Without both arguments, or with an id that names no process, waiting would be for
    // nothing or forever.
    const std::optional<std::int32_t> processId =
        argc >= 3 ? tool_common::processIdFromArgument(argv[2]) : std::nullopt;
    if (!processId) {
        logUsage(argc, argv);
        return 1;
    }

    // Deleting is recursive; a path that names more than the helper's bundle is never taken.
    platform::FileManager& fileManager = platform::fileManager();
    const std::string path =
        fileManager.stringWithFileSystemRepresentation(argv[1], std::strlen(argv[1]));
    if (const std::optional<std::string> reason = refusalReasonForPath(path)) {
        platform::NSLog("Refusing to remove bundle at path %@: %@", {path, *reason});
        return 1;
    }

    platform::Application& application = platform::application();
    // The listener lives as long as the event loop, which ends the process from its timer.
    const auto listener = std::make_unique<TerminationListener>(argv[1], *processId);
    application.run();
    return 0;
}

}  // namespace remove_tool
