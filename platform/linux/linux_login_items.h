// Session login items as XDG autostart entries: $XDG_CONFIG_HOME/autostart/*.desktop.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "linux_desktop_entry_files.h"
#include "platform/launch_services.h"

namespace platform::linux_platform {

// Our own key: the bundle an entry starts, so that the entry resolves to the bundle's URL.
inline constexpr const char* kBundlePathKey = "X-Pendra-Bundle-Path";
// Our own key: the entry's place in the list among our entries.
inline constexpr const char* kOrderKey = "X-Pendra-Order";

// Status of an item whose file is gone (fnfErr), and of a change refused to a foreign entry.
inline constexpr OSStatus kFileNotFoundStatus = -43;
inline constexpr OSStatus kPermissionStatus = -54;

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
