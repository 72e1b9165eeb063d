// An in-memory file tree behind the file manager's contract, with failures that a test injects
// by path.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_manager.h"

namespace platform::fake {

class FakeFileManager : public FileManager {
  public:
    struct Item {
        FileType type = FileType::Regular;
        std::uint64_t fileNumber = 0;
        std::uint64_t size = 0;
        std::uint32_t permissions = 0644;
        std::string linkTarget;  // symbolic links only
        // What contentsAtPath reads; a file added by its size alone holds no bytes.
        std::vector<std::uint8_t> contents;
    };

    // Adding creates missing parent folders and answers the item's inode number; an item that
    // is already there is replaced.
    std::uint64_t addFile(const std::string& path, std::uint64_t size = 0);
    std::uint64_t addFileWithContents(const std::string& path, std::string_view contents);
    std::uint64_t addDirectory(const std::string& path);
    std::uint64_t addSymbolicLink(const std::string& path, const std::string& target);
    void setFileNumber(const std::string& path, std::uint64_t number);

    // True when an item, a dangling link included, is at the path.
    bool exists(const std::string& path) const;
    std::optional<Item> item(const std::string& path) const;
    // Every path in the tree, sorted.
    std::vector<std::string> paths() const;
    // The paths at and below a path, sorted.
    std::vector<std::string> subtree(const std::string& path) const;

    bool fileExistsAtPath(const std::string& path) override;
    std::optional<FileAttributes> attributesOfItemAtPath(const std::string& path,
                                                         Error* error) override;
    std::optional<std::vector<std::uint8_t>> contentsAtPath(const std::string& path,
                                                            std::uint64_t maximumSize,
                                                            Error* error) override;
    std::optional<std::vector<std::string>> contentsOfDirectoryAtPath(const std::string& path,
                                                                      Error* error) override;
    // Records "sync /x" and changes nothing.
    bool synchronizeItemAtPath(const std::string& path, Error* error) override;
    // Fails with EWOULDBLOCK for a path in lockedElsewhere or already locked; the lock's path
    // is in locked while it is held.
    std::unique_ptr<FileLock> lockItemAtPath(const std::string& path, Error* error) override;
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

    // Failures by path: the call fails with the error and changes nothing. A copy, a move or an
    // exchange fails when either of its paths is listed. Without injected failures the calls
    // fail as the system would, with POSIX errors: a missing item (ENOENT), a destination that
    // exists (EEXIST), a parent that is no folder (ENOTDIR), a folder into itself (EINVAL).
    std::map<std::string, Error> failRemove, failCopy, failCreate, failAttributes, failMove,
        failExchange, failSynchronize, failRead;
    // Locks that another process holds, and those held through this file manager.
    std::set<std::string> lockedElsewhere, locked;
    // Every mutating call, attempted or not: "remove /x", "copy /a -> /b", "mkdir /c",
    // "move /a -> /b", "exchange /a <-> /b", "sync /a".
    std::vector<std::string> operations;
    std::uint64_t deviceNumber = 1;

  private:
    std::uint64_t add(const std::string& path, Item item);
    void makeParents(const std::string& path);
    // Moves the items at and below `from` to the same places below `to`.
    void relocate(const std::string& from, const std::string& to);
    void eraseSubtree(const std::string& path);
    // The injected failure for a path, if any.
    static const Error* failure(const std::map<std::string, Error>& failures,
                                const std::string& path);
    // ENOENT or ENOTDIR when the folder that would hold a new item at the path is missing.
    std::optional<Error> parentProblem(const std::string& path) const;
    // Why copying or moving the source to the destination cannot start, if it cannot: an injected
    // failure for either path, a missing source, a taken destination or parent, or a destination
    // inside the source.
    std::optional<Error> transferProblem(const std::map<std::string, Error>& failures,
                                         const std::string& rawSource,
                                         const std::string& rawDestination) const;

    std::map<std::string, Item> items_;
    std::uint64_t nextFileNumber_ = 1000;
};

// The canonical form of a path in the fake tree: no repeated or trailing separator.
std::string normalizedPath(const std::string& path);

}  // namespace platform::fake
