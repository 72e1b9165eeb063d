// The file manager on a POSIX file system.
#pragma once

#include "platform/file_manager.h"

namespace platform::linux_platform {

class LinuxFileManager final : public FileManager {
  public:
    bool fileExistsAtPath(const std::string& path) override;
    std::optional<FileAttributes> attributesOfItemAtPath(const std::string& path,
                                                         Error* error) override;
    std::string stringByResolvingSymlinksInPath(const std::string& path) override;
    bool createDirectoryAtPath(const std::string& path, bool withIntermediateDirectories,
                               Error* error) override;
    bool removeItemAtPath(const std::string& path, Error* error) override;
    bool copyItemAtPath(const std::string& source, const std::string& destination,
                        Error* error) override;
    bool moveItemAtPath(const std::string& source, const std::string& destination,
                        Error* error) override;
    bool exchangeItemAtPath(const std::string& first, const std::string& second,
                            Error* error) override;
};

}  // namespace platform::linux_platform
