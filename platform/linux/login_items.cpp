#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "linux_bundles.h"
#include "linux_desktop_entry_files.h"
#include "linux_file_manager.h"
#include "linux_login_items.h"
#include "linux_processes.h"
#include "linux_support.h"
#include "platform/format.h"

namespace platform::linux_platform {
namespace {

class AutostartList final : public SharedFileList {
  public:
    explicit AutostartList(std::string folder) : folder(std::move(folder)) {}
    const std::string folder;
};

struct Entry {
    std::string fileName;
    std::uint64_t identifier = 0;
    DesktopEntry values;
    bool ours = false;
    long long order = 0;
};

// Item identifiers come from the entry's file name, so an item keeps naming its entry however
// the list changes around it.
std::uint64_t identifierForFileName(const std::string& name) {
    std::uint64_t hash = 1469598103934665603ull;
    for (unsigned char c : name) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    return hash;
}

const std::string* valueFor(const DesktopEntry& entry, const std::string& key) {
    auto found = entry.find(key);
    return found == entry.end() ? nullptr : &found->second;
}

// The entries in list order: other programs' entries by file name, then ours in the order
// they were inserted.
std::vector<Entry> readEntries(const std::string& folder) {
    std::vector<Entry> entries;
    DIR* directory = ::opendir(folder.c_str());
    if (directory == nullptr) {
        return entries;
    }
    while (dirent* item = ::readdir(directory)) {
        std::string name = item->d_name;
        if (!isDesktopEntryName(name) || name.front() == '.') {
            continue;
        }
        std::string why;
        auto text = readDesktopEntryFile(folder + "/" + name, &why);
        if (!text) {
            logLine("Ignoring the autostart entry " + name + ": " + why);
            continue;
        }
        auto values = parseDesktopEntry(*text);
        if (!values) {
            logLine("Ignoring the autostart entry " + name + ": it has no [Desktop Entry]");
            continue;
        }
        Entry entry;
        entry.fileName = name;
        entry.identifier = identifierForFileName(name);
        entry.values = std::move(*values);
        entry.ours = valueFor(entry.values, kBundlePathKey) != nullptr;
        if (const std::string* order = valueFor(entry.values, kOrderKey)) {
            entry.order = integerValueOfText(*order);
        }
        entries.push_back(std::move(entry));
    }
    ::closedir(directory);
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        if (a.ours != b.ours) {
            return !a.ours;
        }
        if (a.ours && a.order != b.order) {
            return a.order < b.order;
        }
        return a.fileName < b.fileName;
    });
    return entries;
}

const AutostartList* asAutostartList(const LSSharedFileListRef& list) {
    return dynamic_cast<const AutostartList*>(list.get());
}

std::optional<Entry> findEntry(const AutostartList& list, const LSSharedFileListItem& item) {
    for (auto& entry : readEntries(list.folder)) {
        if (entry.identifier == item.identifier) {
            return entry;
        }
    }
    return std::nullopt;
}

// The entry an item names and the list that holds it; without one, the status that says why: a
// list that is not an autostart list, or an item whose entry has gone.
struct FoundEntry {
    const AutostartList* list = nullptr;
    std::optional<Entry> entry;
    OSStatus status = noErr;
};

FoundEntry lookUpItem(const LSSharedFileListRef& list, const LSSharedFileListItem& item) {
    FoundEntry found;
    found.list = asAutostartList(list);
    if (found.list == nullptr) {
        found.status = paramErr;
        return found;
    }
    found.entry = findEntry(*found.list, item);
    if (!found.entry) {
        found.status = kFileNotFoundStatus;
    }
    return found;
}

std::string displayNameOf(const Entry& entry) {
    if (const std::string* name = valueFor(entry.values, "Name")) {
        return *name;
    }
    return entry.fileName.substr(0, entry.fileName.size() - 8);
}

std::string fileNameFor(const std::string& bundlePath, const std::optional<std::string>& identifier,
                        const std::string& fallbackName) {
    std::string stem = identifier.value_or(fallbackName);
    for (char& c : stem) {
        const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                             (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_';
        if (!allowed) {
            c = '_';
        }
    }
    char suffix[17];
    std::snprintf(suffix, sizeof suffix, "%08llx",
                  static_cast<unsigned long long>(identifierForFileName(bundlePath) & 0xffffffffu));
    return stem + "-" + suffix + ".desktop";
}

}  // namespace

std::string LinuxLaunchServices::autostartFolder() {
    return xdgDirectory("XDG_CONFIG_HOME", ".config") + "/autostart";
}

LSSharedFileListRef LinuxLaunchServices::LSSharedFileListCreate(SharedFileListKind kind) {
    if (kind != SharedFileListKind::SessionLoginItems) {
        return nullptr;
    }
    return std::make_shared<AutostartList>(autostartFolder());
}

std::vector<LSSharedFileListItem> LinuxLaunchServices::LSSharedFileListCopySnapshot(
    const LSSharedFileListRef& list) {
    std::vector<LSSharedFileListItem> items;
    const AutostartList* autostart = asAutostartList(list);
    if (autostart == nullptr) {
        return items;
    }
    for (const auto& entry : readEntries(autostart->folder)) {
        items.push_back({entry.identifier, displayNameOf(entry)});
    }
    return items;
}

OSStatus LinuxLaunchServices::LSSharedFileListItemResolve(const LSSharedFileListRef& list,
                                                          const LSSharedFileListItem& item,
                                                          std::uint32_t /*flags*/,
                                                          std::optional<URL>* url) {
    if (url != nullptr) {
        url->reset();
    }
    const FoundEntry found = lookUpItem(list, item);
    if (found.status != noErr) {
        return found.status;
    }
    const Entry& entry = *found.entry;
    std::optional<std::string> target;
    if (const std::string* bundle = valueFor(entry.values, kBundlePathKey)) {
        struct stat status {};
        if (::stat(bundle->c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
            target = *bundle;
        }
    } else if (const std::string* exec = valueFor(entry.values, "Exec")) {
        auto arguments = splitExecLine(*exec);
        if (!arguments.empty()) {
            target = findProgram(arguments.front());
        }
    }
    if (!target) {
        return kFileNotFoundStatus;
    }
    if (url != nullptr) {
        *url = URL::fileURLWithPath(*target);
    }
    return noErr;
}

OSStatus LinuxLaunchServices::LSSharedFileListItemRemove(const LSSharedFileListRef& list,
                                                         const LSSharedFileListItem& item) {
    const FoundEntry found = lookUpItem(list, item);
    if (found.status != noErr) {
        return found.status;
    }
    const Entry& entry = *found.entry;
    if (!entry.ours) {
        // Entries that other programs wrote are theirs to change.
        return kPermissionStatus;
    }
    if (::unlink((found.list->folder + "/" + entry.fileName).c_str()) != 0) {
        return errno == ENOENT ? kFileNotFoundStatus : kPermissionStatus;
    }
    return noErr;
}

std::optional<LSSharedFileListItem> LinuxLaunchServices::LSSharedFileListInsertItemURL(
    const LSSharedFileListRef& list, SharedFileListInsertPosition position,
    const std::string& displayName, const URL& url) {
    const AutostartList* autostart = asAutostartList(list);
    if (autostart == nullptr || !url.isFileURL()) {
        return std::nullopt;
    }
    std::string bundlePath = url.path();
    while (bundlePath.size() > 1 && bundlePath.back() == '/') {
        bundlePath.pop_back();
    }
    LinuxBundle bundle(bundlePath);
    auto executable = bundle.executablePath();
    if (!executable) {
        logLine("Cannot add a login item for " + bundlePath + ": it declares no executable");
        return std::nullopt;
    }
    Error error;
    LinuxFileManager files;
    if (!files.createDirectoryAtPath(autostart->folder, true, &error)) {
        logLine("Cannot add a login item: " + error.description());
        return std::nullopt;
    }

    auto entries = readEntries(autostart->folder);
    std::string fileName = fileNameFor(bundlePath, bundle.bundleIdentifier(), bundle.displayName());
    long long first = 0;
    long long last = 0;
    bool anyOurs = false;
    for (const auto& entry : entries) {
        if (!entry.ours) {
            continue;
        }
        first = anyOurs ? std::min(first, entry.order) : entry.order;
        last = anyOurs ? std::max(last, entry.order) : entry.order;
        anyOurs = true;
        // An item for the same bundle is moved, not doubled.
        if (*valueFor(entry.values, kBundlePathKey) == bundlePath) {
            fileName = entry.fileName;
        }
    }
    const long long order =
        !anyOurs ? 1 : (position == SharedFileListInsertPosition::First ? first - 1 : last + 1);
    const std::string name = displayName.empty() ? bundle.displayName() : displayName;

    std::string text;
    text += "[Desktop Entry]\n";
    text += "Type=Application\n";
    text += "Name=" + escapeDesktopString(name) + "\n";
    text += "Exec=" + escapeDesktopString(quoteExecArgument(*executable)) + "\n";
    text += "TryExec=" + escapeDesktopString(*executable) + "\n";
    text += std::string(kBundlePathKey) + "=" + escapeDesktopString(bundlePath) + "\n";
    text += std::string(kOrderKey) + "=" + std::to_string(order) + "\n";
    if (!writeFileAtomically(stringByAppendingPathComponent(autostart->folder, fileName), text)) {
        logLine("Cannot write the login item " + autostart->folder + "/" + fileName);
        return std::nullopt;
    }
    return LSSharedFileListItem{identifierForFileName(fileName), name};
}

}  // namespace platform::linux_platform
