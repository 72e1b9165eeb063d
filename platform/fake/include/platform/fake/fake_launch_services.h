// A fake of the session login-item list.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/launch_services.h"

namespace platform::fake {

class FakeLaunchServices : public LaunchServices {
  public:
    struct Item {
        std::uint64_t id = 0;
        std::string displayName;
        std::optional<URL> resolvesTo;  // absent: resolving fails
    };

    FakeLaunchServices();

    // Null when createFails; every list made is counted, and counted again when released.
    LSSharedFileListRef LSSharedFileListCreate(SharedFileListKind kind) override;
    std::vector<LSSharedFileListItem> LSSharedFileListCopySnapshot(
        const LSSharedFileListRef& list) override;
    // noErr and the URL, or fnfErr (-43) and no URL when the item is gone or does not resolve.
    OSStatus LSSharedFileListItemResolve(const LSSharedFileListRef& list,
                                         const LSSharedFileListItem& item, std::uint32_t flags,
                                         std::optional<URL>* url) override;
    // Records the item and removes it from the list (-43 when it is not there any more).
    OSStatus LSSharedFileListItemRemove(const LSSharedFileListRef& list,
                                        const LSSharedFileListItem& item) override;
    // Adds an item with a new id at the position and records it; absent when insertFails.
    std::optional<LSSharedFileListItem> LSSharedFileListInsertItemURL(
        const LSSharedFileListRef& list, SharedFileListInsertPosition position,
        const std::string& displayName, const URL& url) override;

    // Appends an item to the list and answers its id.
    std::uint64_t addItem(const std::string& displayName, std::optional<URL> resolvesTo);
    int listsReleased() const { return *released_; }

    std::vector<Item> items;
    bool createFails = false;
    bool insertFails = false;
    int listsCreated = 0;
    int snapshots = 0;
    std::vector<std::uint64_t> resolved;
    std::vector<std::uint64_t> removed;
    std::vector<Item> inserted;

  private:
    std::uint64_t nextId();
    void noteIds();
    std::shared_ptr<int> released_;
    std::uint64_t lastId_ = 0;
};

inline constexpr OSStatus fnfErr = -43;

}  // namespace platform::fake
