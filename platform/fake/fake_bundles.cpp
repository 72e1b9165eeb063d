#include "platform/fake/fake_bundles.h"

#include "platform/fake/fake_file_manager.h"

namespace platform::fake {

FakeBundle::FakeBundle(std::string bundlePath, std::optional<std::string> bundleIdentifier)
    : path(std::move(bundlePath)), identifier(std::move(bundleIdentifier)) {
    if (identifier) {
        info["CFBundleIdentifier"] = PropertyList(*identifier);
    }
}

std::optional<PropertyList> FakeBundle::objectForInfoDictionaryKey(const std::string& key) const {
    auto found = info.find(key);
    if (found == info.end()) {
        return std::nullopt;
    }
    return found->second;
}

std::optional<std::string> FakeBundle::pathForResource(
    const std::string& name, const std::string& type,
    const std::optional<std::string>& directory) const {
    std::string key = type.empty() ? name : name + "." + type;
    if (directory && !directory->empty()) {
        key = *directory + "/" + key;
    }
    auto found = resources.find(key);
    if (found == resources.end()) {
        return std::nullopt;
    }
    return found->second;
}

std::optional<std::string> FakeBundle::pathForAuxiliaryExecutable(const std::string& name) const {
    auto found = auxiliaryExecutables.find(name);
    if (found == auxiliaryExecutables.end()) {
        return std::nullopt;
    }
    return found->second;
}

FakeBundles::FakeBundles() : main(std::make_shared<FakeBundle>()) {}

std::shared_ptr<Bundle> FakeBundles::bundleWithURL(const URL& url) {
    opened.push_back(url);
    if (!url.isFileURL()) {
        return nullptr;
    }
    const std::string wanted = normalizedPath(url.path());
    if (main && normalizedPath(main->path) == wanted) {
        return main;
    }
    for (const auto& bundle : others) {
        if (bundle && normalizedPath(bundle->path) == wanted) {
            return bundle;
        }
    }
    return nullptr;
}

std::optional<PropertyList> FakeUserDefaults::objectForKey(const std::string& key) {
    reads.push_back(key);
    if (unreadable) {
        return std::nullopt;
    }
    auto found = values.find(key);
    if (found == values.end()) {
        return std::nullopt;
    }
    return found->second;
}

std::vector<std::string> FakePaths::NSSearchPathForDirectoriesInDomains(
    NSSearchPathDirectory directory, NSSearchPathDomainMask domain, bool expandTilde) {
    if (directory != NSApplicationSupportDirectory || (domain & NSUserDomainMask) == 0) {
        return {};
    }
    if (!expandTilde && !home.empty() && applicationSupport.starts_with(home) &&
        (applicationSupport.size() == home.size() || applicationSupport[home.size()] == '/')) {
        return {"~" + applicationSupport.substr(home.size())};
    }
    return {applicationSupport};
}

}  // namespace platform::fake
