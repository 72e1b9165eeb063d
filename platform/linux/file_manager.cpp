#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "linux_file_manager.h"
#include "linux_support.h"
#include "platform/paths.h"

namespace platform::linux_platform {
namespace {

// "a/b/" names the same item as "a/b", except that a trailing separator would make the system
// follow a symbolic link at "a/b"; the file manager never wants that.
std::string withoutTrailingSeparators(const std::string& path) {
    std::string result = path;
    while (result.size() > 1 && result.back() == '/') {
        result.pop_back();
    }
    return result;
}

bool fail(Error* error, Error value) {
    if (error != nullptr) {
        *error = std::move(value);
    }
    return false;
}

bool fail(Error* error, int errnoValue, const std::string& path) {
    return fail(error, Error::posix(errnoValue, path));
}

// Removes the entry `name` of the folder `parentFd` and, for a real folder, everything below
// it. Keeps going after a failure so that as much as possible goes; remembers the first error.
void removeEntry(int parentFd, const char* name, const std::string& path,
                 std::optional<Error>& firstError) {
    struct stat status {};
    if (::fstatat(parentFd, name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
        if (!firstError) {
            firstError = Error::posix(errno, path);
        }
        return;
    }
    if (S_ISDIR(status.st_mode)) {
        // Copies keep read-only folders read-only; their owner may still empty them.
        if ((status.st_mode & 0700) != 0700 && status.st_uid == ::geteuid()) {
            ::fchmodat(parentFd, name, (status.st_mode & 07777) | 0700, 0);
        }
        int fd = ::openat(parentFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            if (!firstError) {
                firstError = Error::posix(errno, path);
            }
            return;
        }
        DIR* directory = ::fdopendir(fd);
        if (directory == nullptr) {
            int saved = errno;
            ::close(fd);
            if (!firstError) {
                firstError = Error::posix(saved, path);
            }
            return;
        }
        while (true) {
            errno = 0;
            dirent* entry = ::readdir(directory);
            if (entry == nullptr) {
                if (errno != 0 && !firstError) {
                    firstError = Error::posix(errno, path);
                }
                break;
            }
            std::string_view entryName = entry->d_name;
            if (entryName == "." || entryName == "..") {
                continue;
            }
            removeEntry(::dirfd(directory), entry->d_name,
                        stringByAppendingPathComponent(path, entry->d_name), firstError);
        }
        ::closedir(directory);
        if (::unlinkat(parentFd, name, AT_REMOVEDIR) != 0 && !firstError) {
            firstError = Error::posix(errno, path);
        }
        return;
    }
    if (::unlinkat(parentFd, name, 0) != 0 && !firstError) {
        firstError = Error::posix(errno, path);
    }
}

bool copyFileContents(int from, int to) {
    char buffer[1 << 16];
    while (true) {
        ssize_t got = ::read(from, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (got == 0) {
            return true;
        }
        const char* cursor = buffer;
        while (got > 0) {
            ssize_t written = ::write(to, cursor, static_cast<std::size_t>(got));
            if (written < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return false;
            }
            cursor += written;
            got -= written;
        }
    }
}

// Calls `visit` with the name of each item of a folder but "." and "..", until it answers an
// error; a folder that cannot be read is an error about its path.
template <typename Visit>
std::optional<Error> forEachEntryOfFolder(const std::string& path, Visit visit) {
    DIR* directory = ::opendir(path.c_str());
    if (directory == nullptr) {
        return Error::posix(errno, path);
    }
    std::optional<Error> failure;
    while (!failure) {
        errno = 0;
        const dirent* entry = ::readdir(directory);
        if (entry == nullptr) {
            if (errno != 0) {
                failure = Error::posix(errno, path);
            }
            break;
        }
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..") {
            failure = visit(entry->d_name);
        }
    }
    ::closedir(directory);
    return failure;
}

// Copies one item (recursively for a folder). The destination must not exist. Answers the
// error of the first failure; stops there.
std::optional<Error> copyEntry(const std::string& source, const std::string& destination) {
    struct stat status {};
    if (::lstat(source.c_str(), &status) != 0) {
        return Error::posix(errno, source);
    }
    const mode_t mode = status.st_mode & 07777;
    if (S_ISLNK(status.st_mode)) {
        std::string target(static_cast<std::size_t>(status.st_size) + 1, '\0');
        while (true) {
            ssize_t length = ::readlink(source.c_str(), target.data(), target.size());
            if (length < 0) {
                return Error::posix(errno, source);
            }
            if (static_cast<std::size_t>(length) < target.size()) {
                target.resize(static_cast<std::size_t>(length));
                break;
            }
            target.resize(target.size() * 2);  // the link changed under us; read again
        }
        if (::symlink(target.c_str(), destination.c_str()) != 0) {
            return Error::posix(errno, destination);
        }
        return std::nullopt;
    }
    if (S_ISDIR(status.st_mode)) {
        // Owner access while filling; the real mode comes last so read-only folders work.
        if (::mkdir(destination.c_str(), 0700) != 0) {
            return Error::posix(errno, destination);
        }
        if (auto failure = forEachEntryOfFolder(source, [&](const char* name) {
                return copyEntry(stringByAppendingPathComponent(source, name),
                                 stringByAppendingPathComponent(destination, name));
            })) {
            return failure;
        }
        if (::chmod(destination.c_str(), mode) != 0) {
            return Error::posix(errno, destination);
        }
        return std::nullopt;
    }
    if (S_ISREG(status.st_mode)) {
        FileDescriptor from(::open(source.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        if (from.get() < 0) {
            return Error::posix(errno, source);
        }
        FileDescriptor to(::open(destination.c_str(),
                                 O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (to.get() < 0) {
            return Error::posix(errno, destination);
        }
        if (!copyFileContents(from.get(), to.get())) {
            return Error::posix(errno, destination);
        }
        if (::fchmod(to.get(), mode) != 0) {
            return Error::posix(errno, destination);
        }
        const timespec times[2] = {status.st_atim, status.st_mtim};
        ::futimens(to.get(), times);  // keeping the dates is a courtesy, not a requirement
        if (::close(to.release()) != 0) {
            return Error::posix(errno, destination);
        }
        return std::nullopt;
    }
    if (S_ISFIFO(status.st_mode)) {
        if (::mkfifo(destination.c_str(), mode) != 0) {
            return Error::posix(errno, destination);
        }
        return std::nullopt;
    }
    // Sockets and device nodes have no meaning inside a bundle.
    return Error::posix(ENOTSUP, source);
}

// The file system's refusal of renameat2's flags, forced for tests of the fallbacks.
bool renameFlagsRefusedForTesting() {
    const char* value = std::getenv(kNoRenameFlagsVariable);
    return value != nullptr && std::string_view(value) == "1";
}

int renameWithFlags(const std::string& from, const std::string& to, unsigned int flags) {
    if (renameFlagsRefusedForTesting()) {
        errno = EINVAL;
        return -1;
    }
    return ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), flags);
}

// A rename that never replaces an item: the file system refuses it in one step where it can;
// elsewhere the destination is tested first (a narrow window that only a process racing for
// the very same name could use).
int renameWithoutReplacing(const std::string& from, const std::string& to) {
    if (renameWithFlags(from, to, RENAME_NOREPLACE) == 0) {
        return 0;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return errno;
    }
    struct stat status {};
    if (::lstat(to.c_str(), &status) == 0) {
        return EEXIST;
    }
    return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

// Flushes an item and, for a real folder, everything below it.
std::optional<Error> synchronizeEntry(const std::string& path) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) {
        return Error::posix(errno, path);
    }
    if (S_ISLNK(status.st_mode)) {
        return std::nullopt;  // a link's text is flushed with the folder holding it
    }
    if (S_ISDIR(status.st_mode)) {
        if (auto failure = forEachEntryOfFolder(path, [&](const char* name) {
                return synchronizeEntry(stringByAppendingPathComponent(path, name));
            })) {
            return failure;
        }
    } else if (!S_ISREG(status.st_mode)) {
        return std::nullopt;
    }
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (fd.get() < 0) {
        return Error::posix(errno, path);
    }
    if (::fsync(fd.get()) != 0 && errno != EINVAL) {
        return Error::posix(errno, path);
    }
    return std::nullopt;
}

class LinuxFileLock final : public FileLock {
  public:
    explicit LinuxFileLock(int fd) : fd_(fd) {}
    ~LinuxFileLock() override { ::close(fd_); }  // closing the last descriptor unlocks
    LinuxFileLock(const LinuxFileLock&) = delete;
    LinuxFileLock& operator=(const LinuxFileLock&) = delete;

  private:
    int fd_;
};

}  // namespace

bool LinuxFileManager::fileExistsAtPath(const std::string& path) {
    struct stat status {};
    return !path.empty() && ::stat(path.c_str(), &status) == 0;
}

std::optional<FileAttributes> LinuxFileManager::attributesOfItemAtPath(const std::string& path,
                                                                       Error* error) {
    struct stat status {};
    const std::string item = withoutTrailingSeparators(path);
    if (::lstat(item.c_str(), &status) != 0) {
        fail(error, errno, path);
        return std::nullopt;
    }
    FileAttributes attributes;
    attributes.systemFileNumber = status.st_ino;
    attributes.systemNumber = status.st_dev;
    attributes.size = static_cast<std::uint64_t>(status.st_size);
    attributes.posixPermissions = status.st_mode & 07777;
    if (S_ISREG(status.st_mode)) {
        attributes.type = FileType::Regular;
    } else if (S_ISDIR(status.st_mode)) {
        attributes.type = FileType::Directory;
    } else if (S_ISLNK(status.st_mode)) {
        attributes.type = FileType::SymbolicLink;
    } else {
        attributes.type = FileType::Other;
    }
    return attributes;
}

bool LinuxFileManager::createDirectoryAtPath(const std::string& path,
                                             bool withIntermediateDirectories, Error* error) {
    const std::string target = withoutTrailingSeparators(path);
    if (target.empty()) {
        return fail(error, ENOENT, path);
    }
    // An item in the way of a parent is reported as such, not as an existing destination.
    auto makeOne = [](const std::string& folder, bool isParent) -> int {
        if (::mkdir(folder.c_str(), 0777) == 0) {
            return 0;
        }
        int saved = errno;
        struct stat status {};
        if (saved == EEXIST && ::stat(folder.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
            return 0;
        }
        return saved == EEXIST && isParent ? ENOTDIR : saved;
    };
    if (withIntermediateDirectories) {
        for (std::size_t slash = target.find('/', 1); slash != std::string::npos;
             slash = target.find('/', slash + 1)) {
            if (target[slash - 1] == '/') {
                continue;
            }
            const std::string parent = target.substr(0, slash);
            if (int failure = makeOne(parent, true); failure != 0) {
                return fail(error, failure, parent);
            }
        }
    }
    if (int failure = makeOne(target, false); failure != 0) {
        return fail(error, failure, path);
    }
    return true;
}

bool LinuxFileManager::removeItemAtPath(const std::string& path, Error* error) {
    const std::string item = withoutTrailingSeparators(path);
    if (item.empty()) {
        return fail(error, ENOENT, path);
    }
    std::optional<Error> firstError;
    removeEntry(AT_FDCWD, item.c_str(), item, firstError);
    if (firstError) {
        return fail(error, *firstError);
    }
    return true;
}

bool LinuxFileManager::copyItemAtPath(const std::string& source, const std::string& destination,
                                      Error* error) {
    const std::string from = withoutTrailingSeparators(source);
    const std::string to = withoutTrailingSeparators(destination);
    struct stat status {};
    if (::lstat(to.c_str(), &status) == 0) {
        return fail(error, EEXIST, destination);
    }
    if (::lstat(from.c_str(), &status) != 0) {
        return fail(error, errno, source);
    }
    // A folder copied into itself would never end.
    if (S_ISDIR(status.st_mode) && to.size() > from.size() &&
        to.compare(0, from.size(), from) == 0 && to[from.size()] == '/') {
        return fail(error, EINVAL, destination);
    }
    if (auto failure = copyEntry(from, to)) {
        // A half-made copy would make every retry fail because the destination exists.
        std::optional<Error> ignored;
        if (failure->filePath != to || failure->code != EEXIST) {
            removeEntry(AT_FDCWD, to.c_str(), to, ignored);
        }
        return fail(error, *failure);
    }
    return true;
}

bool LinuxFileManager::moveItemAtPath(const std::string& source, const std::string& destination,
                                      Error* error) {
    const std::string from = withoutTrailingSeparators(source);
    const std::string to = withoutTrailingSeparators(destination);
    const int failure = renameWithoutReplacing(from, to);
    if (failure == 0) {
        return true;
    }
    return fail(error, failure, failure == EEXIST ? destination : source);
}

bool LinuxFileManager::exchangeItemAtPath(const std::string& first, const std::string& second,
                                          Error* error) {
    const std::string a = withoutTrailingSeparators(first);
    const std::string b = withoutTrailingSeparators(second);
    if (renameWithFlags(a, b, RENAME_EXCHANGE) == 0) {
        return true;
    }
    int failure = errno;
    if (failure == EINVAL || failure == ENOSYS) {
        // A file system without the one-step exchange: three renames, each undone when the
        // next fails, so that both items survive under one of their names. None of them may
        // replace an item, and none needs a flag that such a file system refuses.
        const std::string aside = exchangeAsidePathForPath(b);
        struct stat status {};
        if (::lstat(a.c_str(), &status) != 0 || ::lstat(b.c_str(), &status) != 0) {
            failure = errno;
        } else if ((failure = renameWithoutReplacing(b, aside)) == 0) {
            if ((failure = renameWithoutReplacing(a, b)) == 0) {
                if ((failure = renameWithoutReplacing(aside, a)) == 0) {
                    return true;
                }
                ::rename(b.c_str(), a.c_str());
            }
            ::rename(aside.c_str(), b.c_str());
        }
    }
    struct stat status {};
    const bool firstExists = ::lstat(a.c_str(), &status) == 0;
    return fail(error, failure, firstExists ? second : first);
}

}  // namespace platform::linux_platform

namespace platform::linux_platform {

std::string LinuxFileManager::stringByResolvingSymlinksInPath(const std::string& path) {
    if (path.empty() || path.front() != '/' || path.find('\0') != std::string::npos) {
        return path;
    }
    // The longest leading part that exists is resolved by the system; what follows it is
    // appended as text.
    std::string existing = withoutTrailingSeparators(path);
    std::vector<std::string> rest;
    while (true) {
        if (char* real = ::realpath(existing.c_str(), nullptr)) {
            std::string result = real;
            std::free(real);
            for (auto part = rest.rbegin(); part != rest.rend(); ++part) {
                if (*part == "..") {
                    result = stringByDeletingLastPathComponent(result);
                } else if (!part->empty() && *part != ".") {
                    result = stringByAppendingPathComponent(result, *part);
                }
            }
            return result;
        }
        rest.push_back(lastPathComponent(existing));
        existing = stringByDeletingLastPathComponent(existing);
    }
}

}  // namespace platform::linux_platform

namespace platform::linux_platform {

std::optional<std::vector<std::string>> LinuxFileManager::contentsOfDirectoryAtPath(
    const std::string& path, Error* error) {
    DIR* directory = ::opendir(path.c_str());
    if (directory == nullptr) {
        fail(error, errno, path);
        return std::nullopt;
    }
    std::vector<std::string> names;
    while (true) {
        errno = 0;
        dirent* entry = ::readdir(directory);
        if (entry == nullptr) {
            break;
        }
        std::string_view name = entry->d_name;
        if (name != "." && name != "..") {
            names.emplace_back(name);
        }
    }
    const int failure = errno;
    ::closedir(directory);
    if (failure != 0) {
        fail(error, failure, path);
        return std::nullopt;
    }
    return names;
}

LinuxFileManager& systemFileManager() {
    static LinuxFileManager files;
    return files;
}

std::optional<std::vector<std::uint8_t>> LinuxFileManager::contentsAtPath(const std::string& path,
                                                                          std::uint64_t maximumSize,
                                                                          Error* error) {
    // Without blocking, so that a FIFO in the way is refused below instead of waited on.
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    struct stat status {};
    if (fd.get() < 0 || ::fstat(fd.get(), &status) != 0) {
        fail(error, errno, path);
        return std::nullopt;
    }
    if (!S_ISREG(status.st_mode)) {
        fail(error, S_ISDIR(status.st_mode) ? EISDIR : EINVAL, path);
        return std::nullopt;
    }
    const std::uint64_t limit =
        std::min<std::uint64_t>(maximumSize, std::numeric_limits<std::size_t>::max() / 2);
    if (static_cast<std::uint64_t>(status.st_size) > limit) {
        fail(error, EFBIG, path);
        return std::nullopt;
    }
    // The size is where reading starts, not a promise: a file that grows meanwhile is read to
    // one byte past the bound, and refused there.
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(status.st_size));
    std::size_t used = 0;
    while (true) {
        if (used == bytes.size()) {
            if (used > limit) {
                fail(error, EFBIG, path);
                return std::nullopt;
            }
            bytes.resize(std::min<std::uint64_t>(limit + 1, std::max<std::size_t>(used * 2, 4096)));
        }
        const ssize_t count = ::read(fd.get(), bytes.data() + used, bytes.size() - used);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            fail(error, errno, path);
            return std::nullopt;
        }
        if (count == 0) {
            break;
        }
        used += static_cast<std::size_t>(count);
    }
    bytes.resize(used);
    return bytes;
}

bool LinuxFileManager::synchronizeItemAtPath(const std::string& path, Error* error) {
    const std::string item = withoutTrailingSeparators(path);
    if (auto failure = synchronizeEntry(item)) {
        return fail(error, *failure);
    }
    // The item's own name lives in the folder that holds it.
    const std::size_t slash = item.rfind('/');
    const std::string folder =
        slash == std::string::npos ? "." : (slash == 0 ? "/" : item.substr(0, slash));
    FileDescriptor fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() < 0 || (::fsync(fd.get()) != 0 && errno != EINVAL)) {
        return fail(error, errno, folder);
    }
    return true;
}

std::unique_ptr<FileLock> LinuxFileManager::lockItemAtPath(const std::string& path, Error* error) {
    const int fd = ::open(withoutTrailingSeparators(path).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        fail(error, errno, path);
        return nullptr;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int failure = errno;
        ::close(fd);
        fail(error, failure, path);
        return nullptr;
    }
    return std::make_unique<LinuxFileLock>(fd);
}

}  // namespace platform::linux_platform
