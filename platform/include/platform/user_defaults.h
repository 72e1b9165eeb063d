// The standard user defaults of the running program's own domain.
#pragma once

#include <optional>
#include <string>

#include "platform/property_list.h"

namespace platform {

class UserDefaults {
  public:
    virtual ~UserDefaults() = default;
    virtual std::optional<PropertyList> objectForKey(const std::string& key) = 0;
    // NO when the key is absent or the domain cannot be read.
    bool boolForKey(const std::string& key) {
        auto value = objectForKey(key);
        return value && value->boolValue();
    }
};

}  // namespace platform
