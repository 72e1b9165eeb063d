// The file manager. Deleting never follows a symbolic link; copying fails when the destination
// exists.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/error.h"

namespace platform {

enum class FileType { Regular, Directory, SymbolicLink, Other };

struct FileAttributes {
    std::uint64_t systemFileNumber = 0;  // NSFileSystemFileNumber: the inode
    std::uint64_t systemNumber = 0;      // NSFileSystemNumber: the device
    FileType type = FileType::Other;
    std::uint64_t size = 0;
    std::uint32_t posixPermissions = 0;
};

class FileManager {
  public:
    virtual ~FileManager() = default;

    // True when an item exists at the path (a dangling symbolic link counts as absent).
    virtual bool fileExistsAtPath(const std::string& path) = 0;
    // The attributes of the item itself (links are not followed).
    virtual std::optional<FileAttributes> attributesOfItemAtPath(const std::string& path,
                                                                 Error* error) = 0;
    // Creates a folder and, when asked, its missing parents; an existing folder is no error.
    virtual bool createDirectoryAtPath(const std::string& path, bool withIntermediateDirectories,
                                       Error* error) = 0;
    // Deletes an item and everything below it, never following a symbolic link.
    virtual bool removeItemAtPath(const std::string& path, Error* error) = 0;
    // Copies an item and everything below it, keeping modes and symbolic links; fails when
    // the destination exists.
    virtual bool copyItemAtPath(const std::string& source, const std::string& destination,
                                Error* error) = 0;
    // Renames an item within one volume; fails when the destination exists.
    virtual bool moveItemAtPath(const std::string& source, const std::string& destination,
                                Error* error) = 0;
    // Exchanges two existing items in one step.
    virtual bool exchangeItemAtPath(const std::string& first, const std::string& second,
                                    Error* error) = 0;

    // The absolute path with every symbolic link resolved and "." and ".." removed; the part
    // that does not exist is kept as text. A relative path comes back unchanged.
    virtual std::string stringByResolvingSymlinksInPath(const std::string& path) = 0;

    // A path string from raw bytes, taken as they are.
    std::string stringWithFileSystemRepresentation(const char* bytes, std::size_t length) {
        return std::string(bytes, length);
    }
};

}  // namespace platform
