// Class-level queries about the machine and the running operating system.
#pragma once

#include <cstdint>
#include <string>

namespace pendra {

class ApplicationEnvironment {
  public:
    static std::string machineIdentifier();
    static std::string modelIdentifier();
    static bool isOperatingSystemAtLeastMajorVersion(std::int64_t major);
    static bool isOperatingSystemAtLeastMajorVersion(std::int64_t major, std::int64_t minorVersion);
    static bool isOperatingSystemAtLeastMajorVersion(std::int64_t major, std::int64_t minorVersion,
                                                     std::int64_t patchVersion);
    static bool isOperatingSystemAtMostMajorVersion(std::int64_t major, std::int64_t minorVersion);
    static bool isRunningInSandbox();
    static bool isTouchBarSupported();
    static bool sharingServicePickerSupported();
    static bool modernUserNotificationsSupported();
    static bool automaticallyLocalizedKeyEquivalentsSupported();
    static bool dynamicTypeSupported();
};

}  // namespace pendra
