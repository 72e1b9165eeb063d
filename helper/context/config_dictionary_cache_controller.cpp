// Property-list dictionaries from the main bundle's resources, read once per process.
#include "helper/context/config_dictionary_cache_controller.h"

#include <optional>
#include <string>

#include "platform/log.h"
#include "platform/platform.h"

namespace pendra {
ConfigDictionaryCacheController& ConfigDictionaryCacheController::sharedInstance() {
    static ConfigDictionaryCacheController instance;
    return instance;
}

std::shared_ptr<const platform::PropertyList> ConfigDictionaryCacheController::dictForKey(
    const std::string& name) {
    if (const auto cached = dictionaries_.find(name); cached != dictionaries_.end()) {
        return cached->second;
    }
    const std::optional<platform::URL> url = _urlForResourceFromMainBundleWithName(
        platform::formatString("%@.plist", {name}), std::nullopt);
    if (!url) {
        return nullptr;
    }
    std::optional<platform::PropertyList> dictionary =
        platform::PropertyList::dictionaryWithContentsOfURL(*url);
    if (!dictionary) {
        // Nothing is kept, so the next call reads the file again.
        return nullptr;
    }
    auto shared = std::make_shared<const platform::PropertyList>(std::move(*dictionary));
    dictionaries_.emplace(name, shared);
    return shared;
}

std::optional<platform::URL> ConfigDictionaryCacheController::_urlForResourceFromMainBundleWithName(
    const std::optional<std::string>& name, const std::optional<std::string>& inDirectory) {
    if (!name) {
        platform::NSLog(
            "[urlForResourceFromMainBundleWithName] resourceName == nil!, directory: %@",
            {inDirectory});
        return std::nullopt;
    }
    const std::optional<std::string> path =
        platform::mainBundle()->pathForResource(platform::stringByDeletingPathExtension(*name),
                                                platform::pathExtension(*name), inDirectory);
    if (!path) {
        return std::nullopt;
    }
    return platform::URL::fileURLWithPath(*path);
}

}  // namespace pendra
