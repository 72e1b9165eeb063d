#include "platform/fake/fake_file_manager.h"

#include <cerrno>
#include <vector>

namespace platform::fake {
namespace {

bool report(Error* error, Error value) {
    if (error != nullptr) {
        *error = std::move(value);
    }
    return false;
}

// The folder holding a normalized path: "/" for a top-level item, "" for a single relative name.
std::string parentOf(const std::string& path) {
    auto slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return "";
    }
    if (slash == 0) {
        return "/";
    }
    return path.substr(0, slash);
}

// The prefix that every path strictly below a normalized path starts with.
std::string childPrefix(const std::string& path) {
    return path == "/" ? "/" : path + "/";
}

bool isAtOrBelow(const std::string& path, const std::string& ancestor) {
    return path == ancestor || path.starts_with(childPrefix(ancestor));
}

// The root and the current folder always exist.
bool isImplicitFolder(const std::string& path) {
    return path.empty() || path == "/";
}

}  // namespace

std::string normalizedPath(const std::string& path) {
    const bool absolute = path.starts_with('/');
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        auto end = path.find('/', start);
        if (end == std::string::npos) {
            end = path.size();
        }
        std::string part = path.substr(start, end - start);
        if (part == "..") {
            if (!parts.empty() && parts.back() != "..") {
                parts.pop_back();
            } else if (!absolute) {
                parts.push_back(part);
            }
        } else if (!part.empty() && part != ".") {
            parts.push_back(std::move(part));
        }
        start = end + 1;
    }
    std::string result = absolute ? "/" : "";
    for (std::size_t index = 0; index < parts.size(); ++index) {
        if (index > 0) {
            result += '/';
        }
        result += parts[index];
    }
    return result;
}

std::uint64_t FakeFileManager::add(const std::string& rawPath, Item item) {
    const std::string path = normalizedPath(rawPath);
    if (isImplicitFolder(path)) {
        return 0;
    }
    makeParents(path);
    auto existing = items_.find(path);
    if (existing != items_.end()) {
        if (existing->second.type == FileType::Directory && item.type == FileType::Directory) {
            return existing->second.fileNumber;
        }
        eraseSubtree(path);
    }
    if (item.fileNumber == 0) {
        item.fileNumber = nextFileNumber_++;
    }
    items_[path] = item;
    return item.fileNumber;
}

void FakeFileManager::makeParents(const std::string& path) {
    std::vector<std::string> missing;
    for (std::string parent = parentOf(path); !isImplicitFolder(parent);
         parent = parentOf(parent)) {
        missing.push_back(parent);
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        auto found = items_.find(*it);
        if (found != items_.end() && found->second.type == FileType::Directory) {
            continue;
        }
        if (found != items_.end()) {
            eraseSubtree(*it);
        }
        items_[*it] = Item{FileType::Directory, nextFileNumber_++, 0, 0755, {}, {}};
    }
}

std::uint64_t FakeFileManager::addFile(const std::string& path, std::uint64_t size) {
    return add(path, Item{FileType::Regular, 0, size, 0644, {}, {}});
}

std::uint64_t FakeFileManager::addFileWithContents(const std::string& path,
                                                   std::string_view contents) {
    Item item{FileType::Regular, 0, contents.size(), 0644, {}, {}};
    item.contents.assign(contents.begin(), contents.end());
    return add(path, std::move(item));
}

std::uint64_t FakeFileManager::addDirectory(const std::string& path) {
    return add(path, Item{FileType::Directory, 0, 0, 0755, {}, {}});
}

std::uint64_t FakeFileManager::addSymbolicLink(const std::string& path, const std::string& target) {
    return add(path, Item{FileType::SymbolicLink, 0, target.size(), 0755, target, {}});
}

void FakeFileManager::setFileNumber(const std::string& path, std::uint64_t number) {
    auto found = items_.find(normalizedPath(path));
    if (found != items_.end()) {
        found->second.fileNumber = number;
    }
}

bool FakeFileManager::exists(const std::string& path) const {
    const std::string normalized = normalizedPath(path);
    return isImplicitFolder(normalized) || items_.count(normalized) != 0;
}

std::optional<FakeFileManager::Item> FakeFileManager::item(const std::string& path) const {
    auto found = items_.find(normalizedPath(path));
    if (found == items_.end()) {
        return std::nullopt;
    }
    return found->second;
}

std::vector<std::string> FakeFileManager::paths() const {
    std::vector<std::string> result;
    for (const auto& entry : items_) {
        result.push_back(entry.first);
    }
    return result;
}

std::vector<std::string> FakeFileManager::subtree(const std::string& rawPath) const {
    const std::string path = normalizedPath(rawPath);
    std::vector<std::string> result;
    if (items_.count(path) != 0) {
        result.push_back(path);
    }
    const std::string prefix = childPrefix(path);
    for (auto it = items_.lower_bound(prefix); it != items_.end() && it->first.starts_with(prefix);
         ++it) {
        result.push_back(it->first);
    }
    return result;
}

void FakeFileManager::eraseSubtree(const std::string& path) {
    items_.erase(path);
    const std::string prefix = childPrefix(path);
    auto it = items_.lower_bound(prefix);
    while (it != items_.end() && it->first.starts_with(prefix)) {
        it = items_.erase(it);
    }
}

void FakeFileManager::relocate(const std::string& from, const std::string& to) {
    std::vector<std::pair<std::string, Item>> moved;
    for (const auto& path : subtree(from)) {
        moved.emplace_back(to + path.substr(from.size()), items_[path]);
    }
    eraseSubtree(from);
    for (auto& [path, item] : moved) {
        items_[path] = std::move(item);
    }
}

const Error* FakeFileManager::failure(const std::map<std::string, Error>& failures,
                                      const std::string& path) {
    for (const auto& [failingPath, error] : failures) {
        if (normalizedPath(failingPath) == path) {
            return &error;
        }
    }
    return nullptr;
}

std::optional<Error> FakeFileManager::parentProblem(const std::string& path) const {
    const std::string parent = parentOf(path);
    if (isImplicitFolder(parent)) {
        return std::nullopt;
    }
    auto found = items_.find(parent);
    if (found == items_.end()) {
        return Error::posix(ENOENT, path);
    }
    if (found->second.type != FileType::Directory) {
        return Error::posix(ENOTDIR, path);
    }
    return std::nullopt;
}

bool FakeFileManager::fileExistsAtPath(const std::string& rawPath) {
    std::string path = normalizedPath(rawPath);
    // Follows links as the system does, with the system's bound on their number.
    for (int hops = 0; hops < 32; ++hops) {
        if (isImplicitFolder(path)) {
            return true;
        }
        auto found = items_.find(path);
        if (found == items_.end()) {
            return false;
        }
        if (found->second.type != FileType::SymbolicLink) {
            return true;
        }
        const std::string& target = found->second.linkTarget;
        path =
            normalizedPath(target.starts_with('/') ? target : childPrefix(parentOf(path)) + target);
    }
    return false;
}

std::optional<std::vector<std::uint8_t>> FakeFileManager::contentsAtPath(const std::string& rawPath,
                                                                         std::uint64_t maximumSize,
                                                                         Error* error) {
    std::string path = normalizedPath(rawPath);
    if (const Error* injected = failure(failRead, path)) {
        report(error, *injected);
        return std::nullopt;
    }
    // Follows links as fileExistsAtPath does.
    for (int hops = 0; hops < 32; ++hops) {
        auto found = items_.find(path);
        if (isImplicitFolder(path) || found == items_.end()) {
            report(error, Error::posix(isImplicitFolder(path) ? EISDIR : ENOENT, rawPath));
            return std::nullopt;
        }
        const Item& item = found->second;
        if (item.type == FileType::SymbolicLink) {
            path = normalizedPath(item.linkTarget.starts_with('/')
                                      ? item.linkTarget
                                      : childPrefix(parentOf(path)) + item.linkTarget);
            continue;
        }
        if (item.type != FileType::Regular) {
            report(error,
                   Error::posix(item.type == FileType::Directory ? EISDIR : EINVAL, rawPath));
            return std::nullopt;
        }
        if (item.size > maximumSize) {
            report(error, Error::posix(EFBIG, rawPath));
            return std::nullopt;
        }
        return item.contents;
    }
    report(error, Error::posix(ELOOP, rawPath));
    return std::nullopt;
}

std::optional<FileAttributes> FakeFileManager::attributesOfItemAtPath(const std::string& rawPath,
                                                                      Error* error) {
    const std::string path = normalizedPath(rawPath);
    if (const Error* injected = failure(failAttributes, path)) {
        report(error, *injected);
        return std::nullopt;
    }
    FileAttributes attributes;
    attributes.systemNumber = deviceNumber;
    if (isImplicitFolder(path)) {
        attributes.type = FileType::Directory;
        attributes.systemFileNumber = 2;
        attributes.posixPermissions = 0755;
        return attributes;
    }
    auto found = items_.find(path);
    if (found == items_.end()) {
        report(error, Error::posix(ENOENT, rawPath));
        return std::nullopt;
    }
    attributes.systemFileNumber = found->second.fileNumber;
    attributes.type = found->second.type;
    attributes.size = found->second.size;
    attributes.posixPermissions = found->second.permissions;
    return attributes;
}

bool FakeFileManager::createDirectoryAtPath(const std::string& rawPath,
                                            bool withIntermediateDirectories, Error* error) {
    operations.push_back("mkdir " + rawPath);
    const std::string path = normalizedPath(rawPath);
    if (const Error* injected = failure(failCreate, path)) {
        return report(error, *injected);
    }
    if (isImplicitFolder(path)) {
        return true;
    }
    if (auto found = items_.find(path); found != items_.end()) {
        if (found->second.type == FileType::Directory) {
            return true;
        }
        return report(error, Error::posix(EEXIST, rawPath));
    }
    if (withIntermediateDirectories) {
        for (std::string parent = parentOf(path); !isImplicitFolder(parent);
             parent = parentOf(parent)) {
            auto found = items_.find(parent);
            if (found != items_.end() && found->second.type != FileType::Directory) {
                return report(error, Error::posix(ENOTDIR, rawPath));
            }
        }
        makeParents(path);
    } else if (auto problem = parentProblem(path)) {
        return report(error, *problem);
    }
    items_[path] = Item{FileType::Directory, nextFileNumber_++, 0, 0755, {}, {}};
    return true;
}

std::optional<Error> FakeFileManager::transferProblem(const std::map<std::string, Error>& failures,
                                                      const std::string& rawSource,
                                                      const std::string& rawDestination) const {
    const std::string source = normalizedPath(rawSource);
    const std::string destination = normalizedPath(rawDestination);
    for (const auto& path : {source, destination}) {
        if (const Error* injected = failure(failures, path)) {
            return *injected;
        }
    }
    if (items_.count(source) == 0) {
        return Error::posix(ENOENT, rawSource);
    }
    if (exists(destination)) {
        return Error::posix(EEXIST, rawDestination);
    }
    if (auto problem = parentProblem(destination)) {
        return problem;
    }
    if (isAtOrBelow(destination, source)) {
        return Error::posix(EINVAL, rawDestination);
    }
    return std::nullopt;
}

bool FakeFileManager::removeItemAtPath(const std::string& rawPath, Error* error) {
    operations.push_back("remove " + rawPath);
    const std::string path = normalizedPath(rawPath);
    if (const Error* injected = failure(failRemove, path)) {
        return report(error, *injected);
    }
    if (isImplicitFolder(path)) {
        return report(error, Error::posix(EBUSY, rawPath));
    }
    if (items_.count(path) == 0) {
        return report(error, Error::posix(ENOENT, rawPath));
    }
    // A link goes alone: its target is never touched.
    eraseSubtree(path);
    return true;
}

bool FakeFileManager::copyItemAtPath(const std::string& rawSource,
                                     const std::string& rawDestination, Error* error) {
    operations.push_back("copy " + rawSource + " -> " + rawDestination);
    const std::string source = normalizedPath(rawSource);
    const std::string destination = normalizedPath(rawDestination);
    if (auto problem = transferProblem(failCopy, rawSource, rawDestination)) {
        return report(error, *problem);
    }
    std::vector<std::pair<std::string, Item>> copies;
    for (const auto& path : subtree(source)) {
        Item copy = items_[path];
        copy.fileNumber = nextFileNumber_++;
        copies.emplace_back(destination + path.substr(source.size()), copy);
    }
    for (auto& [path, item] : copies) {
        items_[path] = std::move(item);
    }
    return true;
}

bool FakeFileManager::moveItemAtPath(const std::string& rawSource,
                                     const std::string& rawDestination, Error* error) {
    operations.push_back("move " + rawSource + " -> " + rawDestination);
    const std::string source = normalizedPath(rawSource);
    const std::string destination = normalizedPath(rawDestination);
    if (auto problem = transferProblem(failMove, rawSource, rawDestination)) {
        return report(error, *problem);
    }
    relocate(source, destination);
    return true;
}

bool FakeFileManager::exchangeItemAtPath(const std::string& rawFirst, const std::string& rawSecond,
                                         Error* error) {
    operations.push_back("exchange " + rawFirst + " <-> " + rawSecond);
    const std::string first = normalizedPath(rawFirst);
    const std::string second = normalizedPath(rawSecond);
    for (const auto& path : {first, second}) {
        if (const Error* injected = failure(failExchange, path)) {
            return report(error, *injected);
        }
    }
    if (items_.count(first) == 0) {
        return report(error, Error::posix(ENOENT, rawFirst));
    }
    if (items_.count(second) == 0) {
        return report(error, Error::posix(ENOENT, rawSecond));
    }
    if (isAtOrBelow(first, second) || isAtOrBelow(second, first)) {
        return report(error, Error::posix(EINVAL, rawSecond));
    }
    // Through a name that cannot clash with any real item.
    const std::string parking = childPrefix(parentOf(first)) + "\x01exchange";
    relocate(first, parking);
    relocate(second, first);
    relocate(parking, second);
    return true;
}

std::string FakeFileManager::stringByResolvingSymlinksInPath(const std::string& path) {
    if (!path.starts_with('/')) {
        return path;
    }
    // Components still to walk, the next one last.
    std::vector<std::string> pending;
    auto push = [&pending](const std::string& text) {
        std::vector<std::string> parts;
        std::size_t start = 0;
        while (start <= text.size()) {
            std::size_t end = text.find('/', start);
            if (end == std::string::npos) {
                end = text.size();
            }
            parts.push_back(text.substr(start, end - start));
            start = end + 1;
        }
        pending.insert(pending.end(), parts.rbegin(), parts.rend());
    };
    push(path);
    std::string resolved = "/";
    for (int links = 0; !pending.empty();) {
        const std::string part = pending.back();
        pending.pop_back();
        if (part.empty() || part == ".") {
            continue;
        }
        if (part == "..") {
            resolved = parentOf(resolved).empty() ? "/" : parentOf(resolved);
            continue;
        }
        const std::string candidate = childPrefix(resolved) + part;
        auto found = items_.find(candidate);
        if (found != items_.end() && found->second.type == FileType::SymbolicLink && links++ < 32) {
            if (found->second.linkTarget.starts_with('/')) {
                resolved = "/";
            }
            push(found->second.linkTarget);
            continue;
        }
        resolved = candidate;
    }
    return resolved;
}

std::optional<std::vector<std::string>> FakeFileManager::contentsOfDirectoryAtPath(
    const std::string& rawPath, Error* error) {
    const std::string path = normalizedPath(rawPath);
    if (!isImplicitFolder(path)) {
        auto found = items_.find(path);
        if (found == items_.end() || found->second.type != FileType::Directory) {
            report(error, Error::posix(found == items_.end() ? ENOENT : ENOTDIR, rawPath));
            return std::nullopt;
        }
    }
    std::vector<std::string> names;
    const std::string prefix = childPrefix(path);
    for (auto it = items_.lower_bound(prefix); it != items_.end() && it->first.starts_with(prefix);
         ++it) {
        if (it->first.find('/', prefix.size()) == std::string::npos) {
            names.push_back(it->first.substr(prefix.size()));
        }
    }
    return names;
}

bool FakeFileManager::synchronizeItemAtPath(const std::string& rawPath, Error* error) {
    operations.push_back("sync " + rawPath);
    const std::string path = normalizedPath(rawPath);
    if (const Error* injected = failure(failSynchronize, path)) {
        return report(error, *injected);
    }
    if (!exists(path)) {
        return report(error, Error::posix(ENOENT, rawPath));
    }
    return true;
}

namespace {

class FakeFileLock final : public FileLock {
  public:
    FakeFileLock(std::set<std::string>& locked, std::string path)
        : locked_(locked), path_(std::move(path)) {
        locked_.insert(path_);
    }
    ~FakeFileLock() override { locked_.erase(path_); }
    FakeFileLock(const FakeFileLock&) = delete;
    FakeFileLock& operator=(const FakeFileLock&) = delete;

  private:
    std::set<std::string>& locked_;
    std::string path_;
};

}  // namespace

std::unique_ptr<FileLock> FakeFileManager::lockItemAtPath(const std::string& rawPath,
                                                          Error* error) {
    const std::string path = normalizedPath(rawPath);
    if (!exists(path)) {
        report(error, Error::posix(ENOENT, rawPath));
        return nullptr;
    }
    if (lockedElsewhere.count(path) != 0 || locked.count(path) != 0) {
        report(error, Error::posix(EWOULDBLOCK, rawPath));
        return nullptr;
    }
    return std::make_unique<FakeFileLock>(locked, path);
}

}  // namespace platform::fake
