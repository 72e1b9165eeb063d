// The file manager. Deleting never follows a symbolic link; copying fails when the destination
// exists. Each operation says whether it is atomic: whether a process killed during it, or
// another process looking on, can find it half done.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

// An advisory lock on an item, held until the object is gone or the process ends (a killed
// process leaves no lock behind).
class FileLock {
  public:
    virtual ~FileLock() = default;
};

class FileManager {
  public:
    virtual ~FileManager() = default;

    // True when an item exists at the path (a dangling symbolic link counts as absent).
    virtual bool fileExistsAtPath(const std::string& path) = 0;
    // The attributes of the item itself (links are not followed).
    virtual std::optional<FileAttributes> attributesOfItemAtPath(const std::string& path,
                                                                 Error* error) = 0;
    // The bytes of a regular file, symbolic links followed. A file larger than maximumSize is
    // refused with EFBIG, unread; a folder with EISDIR, any other item with EINVAL. A read.
    virtual std::optional<std::vector<std::uint8_t>> contentsAtPath(const std::string& path,
                                                                    std::uint64_t maximumSize,
                                                                    Error* error) = 0;
    // The names of the items in a folder, without "." and "..", in no particular order.
    virtual std::optional<std::vector<std::string>> contentsOfDirectoryAtPath(
        const std::string& path, Error* error) = 0;
    // Creates a folder and, when asked, its missing parents; an existing folder is no error.
    // Each folder appears in one step; cut short, some of the parents may have been made.
    virtual bool createDirectoryAtPath(const std::string& path, bool withIntermediateDirectories,
                                       Error* error) = 0;
    // Deletes an item and everything below it, never following a symbolic link. Not atomic:
    // cut short, part of the item is gone and the rest stays. Rename an item aside first where
    // a partial item must never be seen under its name.
    virtual bool removeItemAtPath(const std::string& path, Error* error) = 0;
    // Copies an item and everything below it, keeping modes and symbolic links; fails when
    // the destination exists. Not atomic: the copy grows item by item; after a failure the
    // partial copy is deleted, but a process killed meanwhile leaves it. Copy under a name of
    // its own and move it into place.
    virtual bool copyItemAtPath(const std::string& source, const std::string& destination,
                                Error* error) = 0;
    // Renames an item within one volume; fails when the destination exists. Atomic: one
    // rename. Where the file system cannot refuse replacement itself, the destination is
    // tested just before.
    virtual bool moveItemAtPath(const std::string& source, const std::string& destination,
                                Error* error) = 0;
    // Exchanges two existing items of one folder. Atomic where the file system exchanges two
    // names in one step. Elsewhere three renames: the second item is set aside at
    // exchangeAsidePathForPath(second), the first takes its name, the set-aside item takes the
    // first's name; each is undone when the next fails. A process killed between them leaves
    // the second item at the set-aside path, with nothing or the first item at its own name;
    // the caller who knows which item is whole puts it back.
    virtual bool exchangeItemAtPath(const std::string& first, const std::string& second,
                                    Error* error) = 0;
    // Writes the item, everything below it, and the entry in the folder holding it through to
    // the disk, so that a power loss afterwards finds them whole. Changes nothing else.
    virtual bool synchronizeItemAtPath(const std::string& path, Error* error) = 0;
    // Takes an exclusive advisory lock on an existing item (a folder included) without
    // waiting; null with EWOULDBLOCK when another process holds it. Only processes that lock
    // the same item are held off.
    virtual std::unique_ptr<FileLock> lockItemAtPath(const std::string& path, Error* error) = 0;
    // The absolute path with every symbolic link resolved and "." and ".." removed; the part
    // that does not exist is kept as text. A relative path comes back unchanged. A read.
    virtual std::string stringByResolvingSymlinksInPath(const std::string& path) = 0;

    // Where the exchange's three-rename fallback keeps the second item meanwhile: a hidden item
    // beside it.
    static std::string exchangeAsidePathForPath(const std::string& second);

    // A path string from raw bytes, taken as they are.
    std::string stringWithFileSystemRepresentation(const char* bytes, std::size_t length) {
        return std::string(bytes, length);
    }
};

}  // namespace platform
