// Machine identifiers and operating-system version tests. Every version test is one question to
// the platform, so the platform's own comparison decides.
#include "helper/application_environment.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "platform/utf.h"

namespace pendra {
namespace {

// A system value read in two steps: its size, then the value into a buffer of that size.
std::string systemStringValue(const char* name) {
    platform::ProcessInfo& processInfo = platform::processInfo();
    std::size_t size = 0;
    if (processInfo.sysctlbyname(name, nullptr, &size) != 0 || size < 1) {
        return "";
    }
    std::vector<char> buffer(size, '\0');
    std::size_t filled = buffer.size();
    if (processInfo.sysctlbyname(name, buffer.data(), &filled) != 0) {
        return "";
    }
    // A value without a terminating zero is taken whole, but never past the buffer.
    std::string_view bytes(buffer.data(), filled < buffer.size() ? filled : buffer.size());
    if (const std::size_t zero = bytes.find('\0'); zero != std::string_view::npos) {
        bytes = bytes.substr(0, zero);
    }
    return platform::utf::sanitizedUtf8(bytes);
}

bool atLeast(std::int64_t major, std::int64_t minor, std::int64_t patch) {
    return platform::processInfo().isOperatingSystemAtLeastVersion({major, minor, patch});
}

}  // namespace

std::string ApplicationEnvironment::machineIdentifier() {
    return systemStringValue("hw.machine");
}

std::string ApplicationEnvironment::modelIdentifier() {
    return systemStringValue("hw.model");
}

bool ApplicationEnvironment::isOperatingSystemAtLeastMajorVersion(std::int64_t major) {
    return atLeast(major, 0, 0);
}

bool ApplicationEnvironment::isOperatingSystemAtLeastMajorVersion(std::int64_t major,
                                                                  std::int64_t minorVersion) {
    return atLeast(major, minorVersion, 0);
}

bool ApplicationEnvironment::isOperatingSystemAtLeastMajorVersion(std::int64_t major,
                                                                  std::int64_t minorVersion,
                                                                  std::int64_t patchVersion) {
    return atLeast(major, minorVersion, patchVersion);
}

bool ApplicationEnvironment::isOperatingSystemAtMostMajorVersion(std::int64_t major,
                                                                 std::int64_t minorVersion) {
    // Any patch level of major.minor, or anything older: below major.(minor + 1).0. Wrapping
    // past the largest minor version would turn the answer around, so that case is capped.
    const std::int64_t nextMinor = minorVersion == INT64_MAX ? INT64_MAX : minorVersion + 1;
    return !atLeast(major, nextMinor, 0);
}

bool ApplicationEnvironment::isRunningInSandbox() {
    return true;
}

bool ApplicationEnvironment::isTouchBarSupported() {
    return atLeast(10, 12, 2);
}

bool ApplicationEnvironment::sharingServicePickerSupported() {
    return atLeast(13, 0, 0);
}

bool ApplicationEnvironment::modernUserNotificationsSupported() {
    return atLeast(10, 14, 0);
}

bool ApplicationEnvironment::automaticallyLocalizedKeyEquivalentsSupported() {
    return atLeast(12, 0, 0);
}

bool ApplicationEnvironment::dynamicTypeSupported() {
    return atLeast(10, 15, 0);
}

}  // namespace pendra
