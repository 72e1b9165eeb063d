// The file manager on a POSIX file system.
#pragma once

#include "platform/file_manager.h"

namespace platform::linux_platform {

// Set to "1", this variable makes the file manager act as on a file system that refuses the
// flags of renameat2 (network and user-space file systems): moves test the destination first
// and exchanges take three renames. Read by this file manager alone, for tests of those paths.
inline constexpr const char* kNoRenameFlagsVariable = "PENDRA_FILE_MANAGER_NO_RENAME_FLAGS";

class LinuxFileManager final : public FileManager {
  public:
    bool fileExistsAtPath(const std::string& path) override;
    std::optional<FileAttributes> attributesOfItemAtPath(const std::string& path,
                                                         Error* error) override;
    std::optional<std::vector<std::uint8_t>> contentsAtPath(const std::string& path,
                                                            std::uint64_t maximumSize,
                                                            Error* error) override;
    std::optional<std::vector<std::string>> contentsOfDirectoryAtPath(const std::string& path,
                                                                      Error* error) override;
    bool createDirectoryAtPath(const std::string& path, bool withIntermediateDirectories,
                               Error* error) override;
    bool removeItemAtPath(const std::string& path, Error* error) override;
    bool copyItemAtPath(const std::string& source, const std::string& destination,
                        Error* error) override;
    bool moveItemAtPath(const std::string& source, const std::string& destination,
                        Error* error) override;
    bool exchangeItemAtPath(const std::string& first, const std::string& second,
                            Error* error) override;
    bool synchronizeItemAtPath(const std::string& path, Error* error) override;
    std::unique_ptr<FileLock> lockItemAtPath(const std::string& path, Error* error) override;
    std::string stringByResolvingSymlinksInPath(const std::string& path) override;
};

// The file manager the layer reads its own files with (Info.plists, defaults), whichever one
// is installed.
LinuxFileManager& systemFileManager();

}  // namespace platform::linux_platform
