#include "platform/fake/fake_launch_services.h"

#include <algorithm>

namespace platform::fake {
namespace {

// Counts its own release, so that a test sees whether the caller let the list go.
class FakeSharedFileList : public SharedFileList {
  public:
    explicit FakeSharedFileList(std::shared_ptr<int> released) : released_(std::move(released)) {}
    ~FakeSharedFileList() override { ++*released_; }

  private:
    std::shared_ptr<int> released_;
};

}  // namespace

FakeLaunchServices::FakeLaunchServices() : released_(std::make_shared<int>(0)) {}

LSSharedFileListRef FakeLaunchServices::LSSharedFileListCreate(SharedFileListKind) {
    ++listsCreated;
    if (createFails) {
        return nullptr;
    }
    return std::make_shared<FakeSharedFileList>(released_);
}

std::vector<LSSharedFileListItem> FakeLaunchServices::LSSharedFileListCopySnapshot(
    const LSSharedFileListRef& list) {
    ++snapshots;
    noteIds();
    std::vector<LSSharedFileListItem> snapshot;
    if (!list) {
        return snapshot;
    }
    for (const auto& item : items) {
        snapshot.push_back({item.id, item.displayName});
    }
    return snapshot;
}

OSStatus FakeLaunchServices::LSSharedFileListItemResolve(const LSSharedFileListRef& list,
                                                         const LSSharedFileListItem& item,
                                                         std::uint32_t, std::optional<URL>* url) {
    resolved.push_back(item.identifier);
    if (url != nullptr) {
        url->reset();
    }
    if (!list) {
        return paramErr;
    }
    auto found = std::find_if(items.begin(), items.end(),
                              [&](const Item& entry) { return entry.id == item.identifier; });
    if (found == items.end() || !found->resolvesTo) {
        return fnfErr;
    }
    if (url != nullptr) {
        *url = found->resolvesTo;
    }
    return noErr;
}

OSStatus FakeLaunchServices::LSSharedFileListItemRemove(const LSSharedFileListRef& list,
                                                        const LSSharedFileListItem& item) {
    removed.push_back(item.identifier);
    noteIds();
    if (!list) {
        return paramErr;
    }
    auto found = std::find_if(items.begin(), items.end(),
                              [&](const Item& entry) { return entry.id == item.identifier; });
    if (found == items.end()) {
        return fnfErr;
    }
    items.erase(found);
    return noErr;
}

std::optional<LSSharedFileListItem> FakeLaunchServices::LSSharedFileListInsertItemURL(
    const LSSharedFileListRef& list, SharedFileListInsertPosition position,
    const std::string& displayName, const URL& url) {
    if (!list || insertFails) {
        return std::nullopt;
    }
    Item item{nextId(), displayName, url};
    if (position == SharedFileListInsertPosition::First) {
        items.insert(items.begin(), item);
    } else {
        items.push_back(item);
    }
    inserted.push_back(item);
    return LSSharedFileListItem{item.id, item.displayName};
}

std::uint64_t FakeLaunchServices::addItem(const std::string& displayName,
                                          std::optional<URL> resolvesTo) {
    Item item{nextId(), displayName, std::move(resolvesTo)};
    items.push_back(item);
    return item.id;
}

void FakeLaunchServices::noteIds() {
    for (const auto& item : items) {
        lastId_ = std::max(lastId_, item.id);
    }
}

std::uint64_t FakeLaunchServices::nextId() {
    // Items a test put in directly keep their ids; a new one never takes the id of an item the
    // list has shown, removed ones included.
    noteIds();
    return ++lastId_;
}

}  // namespace platform::fake
