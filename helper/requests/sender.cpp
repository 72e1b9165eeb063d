#include "helper/requests/sender.h"

#include "platform/platform.h"

namespace pendra {

std::optional<platform::RunningApplication> senderApplication(
    const platform::AppleEventDescriptor& event) {
    const auto address = event.attributeDescriptorForKeyword(platform::keyAddressAttr);
    if (!address) {
        return std::nullopt;
    }
    const auto serialNumberDescriptor =
        address->coerceToDescriptorType(platform::typeProcessSerialNumber);
    if (!serialNumberDescriptor) {
        return std::nullopt;
    }
    const auto serialNumber = serialNumberDescriptor->processSerialNumberValue();
    if (!serialNumber) {
        return std::nullopt;
    }
    platform::pid_t pid = 0;
    if (platform::processManager().GetProcessPID(*serialNumber, &pid) != platform::noErr) {
        return std::nullopt;
    }
    return platform::workspace().runningApplicationWithProcessIdentifier(pid);
}

std::optional<std::string> senderBundleIdentifier(const platform::AppleEventDescriptor& event) {
    const auto application = senderApplication(event);
    if (!application) {
        return std::nullopt;
    }
    return application->bundleIdentifier;
}

}  // namespace pendra
