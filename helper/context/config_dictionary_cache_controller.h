// A process-wide cache of property-list dictionaries loaded from the main bundle's resources.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/property_list.h"
#include "platform/url.h"

namespace pendra {

class ConfigDictionaryCacheController {
  public:
    static ConfigDictionaryCacheController& sharedInstance();
    ConfigDictionaryCacheController() = default;

    // The dictionary of the resource "<name>.plist"; read once, then served from memory. A
    // failed read caches nothing, so the next call reads the file again.
    std::shared_ptr<const platform::PropertyList> dictForKey(const std::string& name);
    std::optional<platform::URL> _urlForResourceFromMainBundleWithName(
        const std::optional<std::string>& name, const std::optional<std::string>& inDirectory);

    const std::map<std::string, std::shared_ptr<const platform::PropertyList>>& dictionaries()
        const {
        return dictionaries_;
    }
    void setDictionaries(std::map<std::string, std::shared_ptr<const platform::PropertyList>> d) {
        dictionaries_ = std::move(d);
    }

  private:
    std::map<std::string, std::shared_ptr<const platform::PropertyList>> dictionaries_;
};

}  // namespace pendra
