// The Linux implementation of every platform service, owned by one object that an
// executable's main() creates and installs.
#pragma once

#include <memory>
#include <string>

#include "platform/platform.h"

namespace platform::linux_platform {

class LinuxPlatform {
  public:
    LinuxPlatform();
    ~LinuxPlatform();
    LinuxPlatform(const LinuxPlatform&) = delete;
    LinuxPlatform& operator=(const LinuxPlatform&) = delete;

    const Services& services() const { return services_; }

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    Services services_;
};

// The property-list file that holds a defaults domain: $XDG_CONFIG_HOME/<domain>.plist.
std::string userDefaultsPathForDomain(const std::string& domain);

}  // namespace platform::linux_platform
