// The helper's entry in the session's login items: one entry, for the running copy only.
#include <optional>
#include <string>

#include "helper/pendra_sandbox_helper.h"
#include "platform/platform.h"

namespace pendra {
namespace {

// Who the running helper is, read afresh for every walk over the list.
struct HelperIdentity {
    std::optional<platform::URL> bundleURL;
    std::optional<std::string> bundleIdentifier;
};

HelperIdentity currentIdentity() {
    const platform::RunningApplication current = platform::workspace().currentApplication();
    return {current.bundleURL, current.bundleIdentifier};
}

// An item belongs to the helper when the bundle it points at carries the helper's identifier.
// Without an identifier on either side nothing matches.
bool bundleHasIdentifier(const platform::URL& url,
                         const std::optional<std::string>& bundleIdentifier) {
    if (!bundleIdentifier) {
        return false;
    }
    const std::shared_ptr<platform::Bundle> bundle = platform::bundles().bundleWithURL(url);
    if (!bundle) {
        return false;
    }
    const std::optional<std::string> identifier = bundle->bundleIdentifier();
    return identifier && *identifier == *bundleIdentifier;
}

std::optional<platform::URL> resolve(const platform::LSSharedFileListRef& list,
                                     const platform::LSSharedFileListItem& item) {
    std::optional<platform::URL> url;
    if (platform::launchServices().LSSharedFileListItemResolve(list, item, 0, &url) !=
        platform::noErr) {
        return std::nullopt;
    }
    return url;
}

}  // namespace

void PendraSandboxHelper::registerLoginItem() {
    setHelperToRunAsLoginItem(true);
}

void PendraSandboxHelper::unregisterLoginItem() {
    setHelperToRunAsLoginItem(false);
}

void PendraSandboxHelper::setHelperToRunAsLoginItem(bool enable) {
    const std::string bundlePath = platform::mainBundle()->bundlePath();
    const platform::LSSharedFileListRef list = platform::launchServices().LSSharedFileListCreate(
        platform::kLSSharedFileListSessionLoginItems);
    if (!list) {
        return;
    }
    // Asked before anything is removed: registering keeps the own entry and must not add a
    // second one.
    const bool exists = loginItemExistsForPendraHelperWithLoginItemsList(list);
    disableLoginItemsForPendraHelperWithLoginItemsList(list, enable);
    if (enable && !exists) {
        enableLoginItemWithLoginItemsList(list, platform::URL::fileURLWithPath(bundlePath));
    }
}

bool PendraSandboxHelper::loginItemExistsForPendraHelperWithLoginItemsList(
    const platform::LSSharedFileListRef& list) {
    const HelperIdentity helper = currentIdentity();
    for (const platform::LSSharedFileListItem& item :
         platform::launchServices().LSSharedFileListCopySnapshot(list)) {
        const std::optional<platform::URL> url = resolve(list, item);
        if (!url || !helper.bundleURL || !(*url == *helper.bundleURL)) {
            continue;
        }
        if (bundleHasIdentifier(*url, helper.bundleIdentifier)) {
            return true;
        }
    }
    return false;
}

void PendraSandboxHelper::disableLoginItemsForPendraHelperWithLoginItemsList(
    const platform::LSSharedFileListRef& list, bool skipOwnBundle) {
    const HelperIdentity helper = currentIdentity();
    // The snapshot stays as it was while items are removed from the list.
    for (const platform::LSSharedFileListItem& item :
         platform::launchServices().LSSharedFileListCopySnapshot(list)) {
        const std::optional<platform::URL> url = resolve(list, item);
        if (!url) {
            continue;
        }
        if (skipOwnBundle && helper.bundleURL && *url == *helper.bundleURL) {
            continue;
        }
        if (bundleHasIdentifier(*url, helper.bundleIdentifier)) {
            platform::launchServices().LSSharedFileListItemRemove(list, item);
        }
    }
}

void PendraSandboxHelper::enableLoginItemWithLoginItemsList(
    const platform::LSSharedFileListRef& list, const platform::URL& forUrl) {
    const std::string displayName =
        platform::workspace().currentApplication().localizedName.value_or("");
    platform::launchServices().LSSharedFileListInsertItemURL(
        list, platform::kLSSharedFileListItemLast, displayName, forUrl);
}

}  // namespace pendra
