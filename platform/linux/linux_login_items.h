// Session login items as XDG autostart entries: $XDG_CONFIG_HOME/autostart/*.desktop.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/launch_services.h"

namespace platform::linux_platform {

// Our own key: the bundle an entry starts, so that the entry resolves to the bundle's URL.
inline constexpr const char* kBundlePathKey = "X-Pendra-Bundle-Path";
// Our own key: the entry's place in the list among our entries.
inline constexpr const char* kOrderKey = "X-Pendra-Order";

// Status of an item whose file is gone (fnfErr), and of a change refused to a foreign entry.
inline constexpr OSStatus kFileNotFoundStatus = -43;
inline constexpr OSStatus kPermissionStatus = -54;

// The keys of the [Desktop Entry] group, values unescaped.
using DesktopEntry = std::map<std::string, std::string>;

// Reading and writing desktop entries as the Desktop Entry format defines them.
std::optional<DesktopEntry> parseDesktopEntry(const std::string& text);
std::string escapeDesktopString(const std::string& value);
// One argument of an Exec line, quoted where it must be, per-cent signs doubled; the result
// still needs escapeDesktopString as every string value does.
std::string quoteExecArgument(const std::string& argument);
// The arguments of an unescaped Exec value, field codes dropped.
std::vector<std::string> splitExecLine(const std::string& exec);

class LinuxLaunchServices final : public LaunchServices {
  public:
    LSSharedFileListRef LSSharedFileListCreate(SharedFileListKind kind) override;
    std::vector<LSSharedFileListItem> LSSharedFileListCopySnapshot(
        const LSSharedFileListRef& list) override;
    OSStatus LSSharedFileListItemResolve(const LSSharedFileListRef& list,
                                         const LSSharedFileListItem& item, std::uint32_t flags,
                                         std::optional<URL>* url) override;
    OSStatus LSSharedFileListItemRemove(const LSSharedFileListRef& list,
                                        const LSSharedFileListItem& item) override;
    std::optional<LSSharedFileListItem> LSSharedFileListInsertItemURL(
        const LSSharedFileListRef& list, SharedFileListInsertPosition position,
        const std::string& displayName, const URL& url) override;

    // The folder of the session's autostart entries.
    static std::string autostartFolder();
};

}  // namespace platform::linux_platform
