#include "tools/remove/termination_listener.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

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

// The folder and every folder holding it, up to the root.
std::vector<std::string> folderAndAncestors(std::string folder) {
    std::vector<std::string> chain{folder};
    while (folder != "/" && !folder.empty()) {
        folder = platform::stringByDeletingLastPathComponent(folder);
        chain.push_back(folder);
    }
    return chain;
}

// A folder named *.app that holds Contents/Info.plist; a link is no folder.
bool isApplicationBundle(platform::FileManager& fileManager, const std::string& path) {
    const std::optional<platform::FileAttributes> attributes =
        fileManager.attributesOfItemAtPath(path, nullptr);
    return attributes && attributes->type == platform::FileType::Directory &&
           platform::pathExtension(path) == "app" &&
           fileManager.fileExistsAtPath(
               platform::stringByAppendingPathComponent(path, "Contents/Info.plist"));
}

}  // namespace

std::optional<std::string> refusalReasonForPath(const std::string& path) {
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
    // The home folder and what holds it, as spelled and as the real folders; by identity too,
    // for the names that a bind mount or a link gives them.
    const std::string home = platform::paths().NSHomeDirectory();
    if (!home.empty() && home.front() == '/') {
        const std::string realPath = fileManager.stringByResolvingSymlinksInPath(normal);
        for (const std::string& spelling :
             {normalizedPath(home), fileManager.stringByResolvingSymlinksInPath(home)}) {
            bool isHome = true;
            for (const std::string& folder : folderAndAncestors(spelling)) {
                if (normal == folder || realPath == folder ||
                    isSameItem(fileManager, path, folder)) {
                    return isHome ? "the path is the home folder"
                                  : "the path is a folder holding the home folder";
                }
                isHome = false;
            }
        }
    }
    // Only the helper's own bundle is ever handed over; whatever else is there stays.
    if ((fileManager.fileExistsAtPath(path) || fileManager.attributesOfItemAtPath(path, nullptr)) &&
        !isApplicationBundle(fileManager, path)) {
        return "the item is not an application bundle";
    }
    return std::nullopt;
}

TerminationListener::TerminationListener(const char* path, std::int32_t parentProcessId)
    : pathToRemove_(path), parentProcessId_(parentProcessId) {
    // Held from now on, so that a process given the same id later never keeps the tool waiting.
    platform::processManager().pinProcessForPID(parentProcessId_);
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
    // Checked again now: what lies at the path may have changed while the tool waited.
    if (const std::optional<std::string> reason = refusalReasonForPath(path)) {
        platform::NSLog("Refusing to remove bundle at path %@: %@", {path, *reason});
        platform::processManager().terminateProcess(1);
    }
    platform::NSLog("Removing bundle at path %@", {path});
    if (fileManager.fileExistsAtPath(path)) {
        platform::Error error;
        if (tool_common::failed(fileManager.removeItemAtPath(path, &error), error)) {
            platform::NSLog("Error when removing bundle at path %@: %@", {path, error});
        }
    }
    platform::processManager().terminateProcess(0);
    // Not reached. The service declares the call [[noreturn]], but the compiler does not carry
    // that through a virtual call.
    std::abort();
}

}  // namespace remove_tool
