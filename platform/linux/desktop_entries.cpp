#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <mutex>
#include <set>
#include <sstream>

#include "linux_desktop_entries.h"
#include "linux_desktop_entry_files.h"
#include "linux_processes.h"
#include "linux_support.h"
#include "platform/utf.h"

namespace platform::linux_platform {
namespace {

std::string lowercase(const std::string& text) {
    return utf::asciiLowercased(text);
}

long long changeTime(const std::string& folder) {
    struct stat status {};
    if (::stat(folder.c_str(), &status) != 0) {
        return -1;
    }
    return static_cast<long long>(status.st_mtim.tv_sec) * 1000000000LL + status.st_mtim.tv_nsec;
}

std::string realPath(const std::string& path) {
    char resolved[PATH_MAX];
    return ::realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : std::string();
}

// A program as a real path, found as it is started by name.
std::string resolveProgram(const std::string& program) {
    const std::optional<std::string> found = findProgram(program);
    return found ? realPath(*found) : std::string();
}

// What one reading of the applications folders has seen: each folder once, by device and
// inode, however many links lead to it, so that a link to a folder above costs one look.
struct FolderWalk {
    std::vector<ApplicationEntry>& entries;
    std::vector<std::pair<std::string, long long>>& stamps;
    const std::vector<std::string>& locales;
    std::set<std::pair<dev_t, ino_t>> seen;
};

void readFolder(FolderWalk& walk, const std::string& folder, const std::string& prefix, int depth) {
    struct stat folderStatus {};
    const bool isFolder =
        ::stat(folder.c_str(), &folderStatus) == 0 && S_ISDIR(folderStatus.st_mode);
    if (isFolder && !walk.seen.emplace(folderStatus.st_dev, folderStatus.st_ino).second) {
        return;  // walked already, through another link
    }
    // A folder that is missing is stamped too, so that its making is noticed.
    walk.stamps.emplace_back(folder, changeTime(folder));
    if (!isFolder) {
        return;
    }
    DIR* directory = ::opendir(folder.c_str());
    if (directory == nullptr) {
        return;
    }
    std::vector<std::string> names;
    while (const dirent* item = ::readdir(directory)) {
        const std::string name = item->d_name;
        if (name != "." && name != "..") {
            names.push_back(name);
        }
    }
    ::closedir(directory);
    std::sort(names.begin(), names.end());
    for (const auto& name : names) {
        const std::string path = folder + "/" + name;
        struct stat status {};
        if (::stat(path.c_str(), &status) != 0) {
            continue;
        }
        if (S_ISDIR(status.st_mode)) {
            if (depth < 4) {
                readFolder(walk, path, prefix + name + "-", depth + 1);
            }
            continue;
        }
        if (!isDesktopEntryName(name)) {
            continue;
        }
        std::string why;
        const auto text = readDesktopEntryFile(path, &why);
        if (!text) {
            logLine("Ignoring the desktop entry " + path + ": " + why);
            continue;
        }
        auto entry = applicationEntryOf(*text, walk.locales);
        if (!entry) {
            continue;
        }
        entry->id = prefix + name.substr(0, name.size() - std::string_view(".desktop").size());
        entry->path = path;
        walk.entries.push_back(std::move(*entry));
    }
}

}  // namespace

std::string programOfExec(const std::string& exec, bool* options) {
    const auto words = splitExecLine(exec);
    std::size_t at = 0;
    if (at < words.size() && (words[at] == "env" || words[at] == "/usr/bin/env")) {
        ++at;
        while (at < words.size() && words[at].find('=') != std::string::npos) {
            ++at;
        }
    }
    if (options != nullptr) {
        // The field codes for files and URLs are dropped from the words already.
        *options = at + 1 < words.size();
    }
    return at < words.size() ? words[at] : std::string();
}

std::optional<ApplicationEntry> applicationEntryOf(const std::string& text,
                                                   const std::vector<std::string>& locales) {
    const auto values = parseDesktopEntry(text);
    if (!values) {
        return std::nullopt;
    }
    auto value = [&](const std::string& key) {
        auto found = values->find(key);
        return found != values->end() ? found->second : std::string();
    };
    if (value("Type") != "Application" || value("Hidden") == "true" || value("Name").empty()) {
        return std::nullopt;
    }
    ApplicationEntry entry;
    entry.name = value("Name");
    for (const auto& locale : locales) {
        if (auto localized = value("Name[" + locale + "]"); !localized.empty()) {
            entry.name = localized;
            break;
        }
    }
    entry.startupWMClass = value("StartupWMClass");
    entry.execProgram = programOfExec(value("Exec"), &entry.execHasOptions);
    entry.tryExecProgram = value("TryExec");
    entry.execPath = resolveProgram(entry.execProgram);
    entry.tryExecPath = resolveProgram(entry.tryExecProgram);
    const std::string categories = ";" + value("Categories") + ";";
    entry.terminalEmulator = categories.find(";TerminalEmulator;") != std::string::npos;
    return entry;
}

std::vector<std::string> localeKeys() {
    std::string locale;
    for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        if (const char* value = std::getenv(variable); value != nullptr && value[0] != '\0') {
            locale = value;
            break;
        }
    }
    std::string modifier;
    if (const auto at = locale.find('@'); at != std::string::npos) {
        modifier = locale.substr(at);
        locale.erase(at);
    }
    if (const auto dot = locale.find('.'); dot != std::string::npos) {
        locale.erase(dot);
    }
    if (locale.empty() || locale == "C" || locale == "POSIX") {
        return {};
    }
    std::string language = locale.substr(0, locale.find('_'));
    std::vector<std::string> keys;
    auto add = [&keys](const std::string& key) {
        if (std::find(keys.begin(), keys.end(), key) == keys.end()) {
            keys.push_back(key);
        }
    };
    if (!modifier.empty()) {
        add(locale + modifier);
    }
    add(locale);
    if (!modifier.empty()) {
        add(language + modifier);
    }
    add(language);
    return keys;
}

std::vector<std::string> desktopEntryFolders() {
    std::vector<std::string> folders{xdgDirectory("XDG_DATA_HOME", ".local/share") +
                                     "/applications"};
    const char* dirs = std::getenv("XDG_DATA_DIRS");
    for (const std::string& folder : utf::splitList(
             dirs != nullptr && dirs[0] != '\0' ? dirs : "/usr/local/share:/usr/share", ':')) {
        if (folder[0] == '/') {
            folders.push_back(folder + "/applications");
        }
    }
    return folders;
}

DesktopEntryIndex DesktopEntryIndex::read(const std::vector<std::string>& folders) {
    DesktopEntryIndex index;
    const auto locales = localeKeys();
    for (const auto& folder : folders) {
        std::vector<ApplicationEntry> found;
        FolderWalk walk{found, index.stamps_, locales, {}};
        readFolder(walk, folder, "", 0);
        for (auto& entry : found) {
            if (index.byId_.count(entry.id) == 0) {
                index.byId_[entry.id] = index.entries_.size();
                index.entries_.push_back(std::move(entry));
            }
        }
    }
    return index;
}

std::shared_ptr<const DesktopEntryIndex> DesktopEntryIndex::current() {
    static std::mutex lock;
    static std::shared_ptr<const DesktopEntryIndex> cached;
    static std::vector<std::string> cachedFolders;
    const auto folders = desktopEntryFolders();
    std::lock_guard guard(lock);
    bool fresh = cached != nullptr && folders == cachedFolders;
    if (fresh) {
        for (const auto& [folder, stamp] : cached->stamps_) {
            if (changeTime(folder) != stamp) {
                fresh = false;
                break;
            }
        }
    }
    if (!fresh) {
        cached = std::make_shared<const DesktopEntryIndex>(read(folders));
        cachedFolders = folders;
    }
    return cached;
}

const ApplicationEntry* DesktopEntryIndex::entryWithId(const std::string& id) const {
    auto found = byId_.find(id);
    return found != byId_.end() ? &entries_[found->second] : nullptr;
}

const ApplicationEntry* DesktopEntryIndex::entryWithWindowClass(
    const std::string& windowClass) const {
    if (windowClass.empty()) {
        return nullptr;
    }
    const std::string wanted = lowercase(windowClass);
    for (const auto& entry : entries_) {
        if (!entry.startupWMClass.empty() && lowercase(entry.startupWMClass) == wanted) {
            return &entry;
        }
    }
    return nullptr;
}

const ApplicationEntry* DesktopEntryIndex::entryWithExecutable(
    const std::string& executable) const {
    const std::string wanted = realPath(executable);
    if (wanted.empty()) {
        return nullptr;
    }
    const ApplicationEntry* withOptions = nullptr;
    for (const auto& entry : entries_) {
        if (entry.tryExecPath == wanted || entry.execPath == wanted) {
            if (!entry.execHasOptions) {
                return &entry;
            }
            withOptions = withOptions != nullptr ? withOptions : &entry;
        }
    }
    return withOptions;
}

}  // namespace platform::linux_platform
