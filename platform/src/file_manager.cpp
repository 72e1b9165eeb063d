#include "platform/file_manager.h"

#include "platform/paths.h"

namespace platform {

std::string FileManager::exchangeAsidePathForPath(const std::string& second) {
    return stringByAppendingPathComponent(stringByDeletingLastPathComponent(second),
                                          "." + lastPathComponent(second) + ".exchange");
}

}  // namespace platform
