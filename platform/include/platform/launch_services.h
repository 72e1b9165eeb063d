// Shared file lists: the session's login items.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/four_char_code.h"
#include "platform/url.h"

namespace platform {

enum class SharedFileListKind { SessionLoginItems };
inline constexpr SharedFileListKind kLSSharedFileListSessionLoginItems =
    SharedFileListKind::SessionLoginItems;

// A list, released when the last reference goes.
class SharedFileList {
  public:
    virtual ~SharedFileList() = default;
};
using LSSharedFileListRef = std::shared_ptr<SharedFileList>;

// An item of a snapshot; it keeps identifying its entry after the list has changed.
struct LSSharedFileListItem {
    std::uint64_t identifier = 0;
    std::string displayName;
    bool operator==(const LSSharedFileListItem&) const = default;
};

enum class SharedFileListInsertPosition { First, Last };
inline constexpr SharedFileListInsertPosition kLSSharedFileListItemLast =
    SharedFileListInsertPosition::Last;

class LaunchServices {
  public:
    virtual ~LaunchServices() = default;
    virtual LSSharedFileListRef LSSharedFileListCreate(SharedFileListKind kind) = 0;
    // The list's current items, in list order.
    virtual std::vector<LSSharedFileListItem> LSSharedFileListCopySnapshot(
        const LSSharedFileListRef& list) = 0;
    // noErr and the URL the item points to, or another status and no URL.
    virtual OSStatus LSSharedFileListItemResolve(const LSSharedFileListRef& list,
                                                 const LSSharedFileListItem& item,
                                                 std::uint32_t flags, std::optional<URL>* url) = 0;
    virtual OSStatus LSSharedFileListItemRemove(const LSSharedFileListRef& list,
                                                const LSSharedFileListItem& item) = 0;
    virtual std::optional<LSSharedFileListItem> LSSharedFileListInsertItemURL(
        const LSSharedFileListRef& list, SharedFileListInsertPosition position,
        const std::string& displayName, const URL& url) = 0;
};

}  // namespace platform
