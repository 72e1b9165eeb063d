#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <unordered_map>

#include "linux_bundles.h"
#include "linux_file_manager.h"
#include "platform/paths.h"

namespace platform::linux_platform {
namespace {

bool isDirectory(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

bool isFile(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && !S_ISDIR(status.st_mode);
}

std::string baseName(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::optional<std::string> readLink(const std::string& path) {
    std::string target(4096, '\0');
    ssize_t length = ::readlink(path.c_str(), target.data(), target.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= target.size()) {
        return std::nullopt;
    }
    target.resize(static_cast<std::size_t>(length));
    // The kernel marks an executable whose file has been unlinked.
    static constexpr std::string_view kDeleted = " (deleted)";
    if (target.size() > kDeleted.size() &&
        target.compare(target.size() - kDeleted.size(), kDeleted.size(), kDeleted) == 0) {
        target.resize(target.size() - kDeleted.size());
    }
    return target;
}

std::optional<std::string> stringValue(const std::optional<PropertyList>& value) {
    if (value && value->stringValue() != nullptr && !value->stringValue()->empty()) {
        return *value->stringValue();
    }
    return std::nullopt;
}

// Parsed Info.plists by path, each kept while its file is the same file with the same size and
// modification time: requests look at the same few bundles again and again.
class InfoDictionaryCache {
  public:
    std::shared_ptr<const PropertyList> infoAt(const std::string& path) {
        struct stat status {};
        if (::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
            return empty();
        }
        const Identity identity{status.st_dev, status.st_ino, status.st_size, status.st_mtim.tv_sec,
                                status.st_mtim.tv_nsec};
        {
            std::lock_guard lock(mutex_);
            if (auto found = entries_.find(path);
                found != entries_.end() && found->second.identity == identity) {
                return found->second.info;
            }
        }
        auto info = PropertyList::readFromFile(path, systemFileManager());
        auto parsed = info && info->isDictionary()
                          ? std::make_shared<const PropertyList>(std::move(*info))
                          : empty();
        std::lock_guard lock(mutex_);
        // Bundles come and go over a long session; a bound keeps the copies from piling up.
        if (entries_.size() >= kMaximumEntries && !entries_.contains(path)) {
            entries_.clear();
        }
        entries_[path] = Entry{identity, parsed};
        return parsed;
    }

  private:
    struct Identity {
        dev_t device;
        ino_t inode;
        off_t size;
        time_t seconds;
        long nanoseconds;
        bool operator==(const Identity&) const = default;
    };
    struct Entry {
        Identity identity;
        std::shared_ptr<const PropertyList> info;
    };
    static constexpr std::size_t kMaximumEntries = 512;

    static std::shared_ptr<const PropertyList> empty() {
        static const auto none = std::make_shared<const PropertyList>();
        return none;
    }

    std::mutex mutex_;
    std::unordered_map<std::string, Entry> entries_;
};

InfoDictionaryCache& infoDictionaries() {
    static InfoDictionaryCache cache;
    return cache;
}

}  // namespace

LinuxBundle::LinuxBundle(std::string path) : path_(std::move(path)) {
    while (path_.size() > 1 && path_.back() == '/') {
        path_.pop_back();
    }
    info_ = infoDictionaries().infoAt(path_ + "/Contents/Info.plist");
}

std::optional<std::string> LinuxBundle::bundleIdentifier() const {
    return stringValue(objectForInfoDictionaryKey("CFBundleIdentifier"));
}

std::optional<PropertyList> LinuxBundle::objectForInfoDictionaryKey(const std::string& key) const {
    if (const PropertyList* value = info_->objectForKey(key)) {
        return *value;
    }
    return std::nullopt;
}

std::optional<std::string> LinuxBundle::pathForResource(
    const std::string& name, const std::string& type,
    const std::optional<std::string>& directory) const {
    std::string folder = path_ + "/Contents/Resources";
    if (directory && !directory->empty()) {
        folder = stringByAppendingPathComponent(folder, *directory);
    }
    std::string file = name;
    if (!type.empty()) {
        file += (type.front() == '.' ? "" : ".") + type;
    }
    if (file.empty() || file.find('/') != std::string::npos) {
        return std::nullopt;
    }
    std::string path = stringByAppendingPathComponent(folder, file);
    if (!isFile(path) && !isDirectory(path)) {
        return std::nullopt;
    }
    return path;
}

std::optional<std::string> LinuxBundle::pathForAuxiliaryExecutable(const std::string& name) const {
    if (name.empty() || name.find('/') != std::string::npos) {
        return std::nullopt;
    }
    std::string path = path_ + "/Contents/MacOS/" + name;
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        return std::nullopt;
    }
    return path;
}

std::string LinuxBundle::displayName() const {
    if (auto name = stringValue(objectForInfoDictionaryKey("CFBundleDisplayName"))) {
        return *name;
    }
    if (auto name = stringValue(objectForInfoDictionaryKey("CFBundleName"))) {
        return *name;
    }
    std::string name = baseName(path_);
    if (auto dot = name.rfind('.'); dot != std::string::npos && dot > 0) {
        name.resize(dot);
    }
    return name;
}

std::optional<std::string> LinuxBundle::executablePath() const {
    auto name = stringValue(objectForInfoDictionaryKey("CFBundleExecutable"));
    if (!name || name->find('/') != std::string::npos) {
        return std::nullopt;
    }
    return path_ + "/Contents/MacOS/" + *name;
}

std::optional<std::string> bundlePathForExecutable(const std::string& executable) {
    auto macos = executable.rfind('/');
    if (macos == std::string::npos) {
        return std::nullopt;
    }
    std::string folder = executable.substr(0, macos);
    static constexpr std::string_view kSuffix = "/Contents/MacOS";
    if (folder.size() <= kSuffix.size() ||
        folder.compare(folder.size() - kSuffix.size(), kSuffix.size(), kSuffix) != 0) {
        return std::nullopt;
    }
    std::string bundle = folder.substr(0, folder.size() - kSuffix.size());
    if (bundle.empty()) {
        return std::nullopt;
    }
    return bundle;
}

std::optional<std::string> executableOfProcess(pid_t pid) {
    return readLink("/proc/" + std::to_string(pid) + "/exe");
}

std::string currentExecutablePath() {
    if (auto path = readLink("/proc/self/exe")) {
        return *path;
    }
    return {};
}

std::shared_ptr<Bundle> LinuxBundleService::mainBundle() {
    if (!main_) {
        const std::string executable = currentExecutablePath();
        if (auto bundle = bundlePathForExecutable(executable)) {
            main_ = std::make_shared<LinuxBundle>(*bundle);
        } else {
            // As on the platform: a program outside any bundle has its folder as main bundle.
            std::string folder = executable.substr(0, executable.rfind('/'));
            main_ = std::make_shared<LinuxBundle>(folder.empty() ? "/" : folder);
        }
    }
    return main_;
}

std::shared_ptr<Bundle> LinuxBundleService::bundleWithURL(const URL& url) {
    if (!url.isFileURL()) {
        return nullptr;
    }
    const std::string path = url.path();
    if (path.empty() || !isDirectory(path)) {
        return nullptr;
    }
    return std::make_shared<LinuxBundle>(path);
}

}  // namespace platform::linux_platform
