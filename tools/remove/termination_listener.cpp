#include "tools/remove/termination_listener.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "platform/platform.h"
#include "tools/common/process_and_items.h"

namespace remove_tool {
namespace {

using tool_common::isSameItem;

// The process that is left to adopt a tool whose starter has ended.
constexpr std::int32_t kAdoptingProcessId = 1;

// The path with "." and ".." resolved as text and without trailing separators.
std::string normalizedPath(const std::string& path) {
    std::string normal = std::filesystem::path(path).lexically_normal().string();
    while (normal.size() > 1 && normal.back() == '/') {
        normal.pop_back();
    }
    return normal;
}

}  // namespace

std::optional<std::string> refusalReasonForPath(const std::string& path,
                                                const std::string& homePath) {
    if (path.empty()) {
        return "the path is empty";
    }
    if (path.front() != '/') {
        return "the path is relative";
    }
    platform::FileManager& fileManager = platform::fileManager();
    const std::string normal = normalizedPath(path);
    if (normal == "/" || isSameItem(fileManager, path, "/")) {
        return "the path is the root folder";
    }
    if (!homePath.empty() &&
        (normal == normalizedPath(homePath) || isSameItem(fileManager, path, homePath))) {
        return "the path is the home folder";
    }
    return std::nullopt;
}

TerminationListener::TerminationListener(const char* path, std::int32_t parentProcessId)
    : pathToRemove_(path), parentProcessId_(parentProcessId) {
    if (platform::processManager().getppid() == kAdoptingProcessId) {
        remove();
    }
    timer_ =
        platform::application().scheduledTimerWithTimeInterval(1.0, true, [this] { watchdog(); });
}

TerminationListener::~TerminationListener() {
    platform::application().invalidateTimer(timer_);
}

void TerminationListener::watchdog() {
    if (tool_common::hasProcessEnded(parentProcessId_)) {
        remove();
    }
}

void TerminationListener::remove() {
    platform::FileManager& fileManager = platform::fileManager();
    const std::string path =
        fileManager.stringWithFileSystemRepresentation(pathToRemove_, std::strlen(pathToRemove_));
    platform::NSLog("Removing bundle at path %@", {path});
    if (fileManager.fileExistsAtPath(path)) {
        platform::Error error;
        if (tool_common::failed(fileManager.removeItemAtPath(path, &error), error)) {
            platform::NSLog("Error when removing bundle at path %@: %@", {path, error});
        }
    }
    platform::processManager().terminateProcess(0);
    // Ending the process never comes back; the call through the service does not say so.
    std::abort();
}

}  // namespace remove_tool
