#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>

#include "platform/platform.h"
#include "tools/remove/termination_listener.h"

namespace remove_tool {

int removeToolMain(int argc, char** argv) {
    if (argc < 3) {
        return 1;
    }

    // Deleting is recursive; a path that names everything the user has is never taken.
    platform::FileManager& fileManager = platform::fileManager();
    const std::string path =
        fileManager.stringWithFileSystemRepresentation(argv[1], std::strlen(argv[1]));
    const char* home = std::getenv("HOME");
    if (const std::optional<std::string> reason =
            refusalReasonForPath(path, home != nullptr ? home : "")) {
        platform::NSLog("Refusing to remove bundle at path %@: %@", {path, *reason});
        return 1;
    }

    platform::Application& application = platform::application();
    // The listener lives as long as the event loop, which ends the process from its timer.
    const auto listener = std::make_unique<TerminationListener>(argv[1], std::atoi(argv[2]));
    application.run();
    return 0;
}

}  // namespace remove_tool
