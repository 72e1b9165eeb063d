// Distributed notifications: a name, an optional object and string user information, delivered
// to every interested process of the user's session.
#pragma once

#include <map>
#include <optional>
#include <string>

namespace platform {

using NotificationUserInfo = std::map<std::string, std::string>;

class DistributedNotificationCenter {
  public:
    virtual ~DistributedNotificationCenter() = default;
    virtual void postNotificationName(const std::string& name,
                                      const std::optional<std::string>& object,
                                      const NotificationUserInfo& userInfo = {}) = 0;
};

}  // namespace platform
