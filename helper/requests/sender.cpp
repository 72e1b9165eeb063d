#include "helper/requests/sender.h"

#include "platform/platform.h"

namespace pendra {

namespace {

// The process id of the event's 'addr' attribute, coerced to a process serial number.
std::optional<platform::pid_t> senderProcessIdentifier(
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
    return pid;
}

// The executable of the installed bundle of an identifier: its CFBundleExecutable in the
// bundle's executable folder.
std::optional<std::string> installedExecutablePath(const std::string& bundleIdentifier) {
    const auto url = platform::workspace().URLForApplicationWithBundleIdentifier(bundleIdentifier);
    if (!url) {
        return std::nullopt;
    }
    const auto bundle = platform::bundles().bundleWithURL(*url);
    if (!bundle) {
        return std::nullopt;
    }
    const auto name = bundle->objectForInfoDictionaryKey("CFBundleExecutable");
    if (!name || name->stringValue() == nullptr || name->stringValue()->empty()) {
        return std::nullopt;
    }
    return bundle->pathForAuxiliaryExecutable(*name->stringValue());
}

// The same file under either path: equal paths, or the same inode on the same device (a path
// through a symbolic link to a folder names the same file).
bool isSameFile(const std::string& first, const std::string& second) {
    if (first == second) {
        return true;
    }
    const auto a = platform::fileManager().attributesOfItemAtPath(first, nullptr);
    const auto b = platform::fileManager().attributesOfItemAtPath(second, nullptr);
    return a && b && a->type == platform::FileType::Regular && a->systemNumber == b->systemNumber &&
           a->systemFileNumber == b->systemFileNumber;
}

}  // namespace

std::optional<platform::RunningApplication> senderApplication(
    const platform::AppleEventDescriptor& event) {
    const auto pid = senderProcessIdentifier(event);
    if (!pid) {
        return std::nullopt;
    }
    return platform::workspace().runningApplicationWithProcessIdentifier(*pid);
}

std::optional<std::string> senderBundleIdentifier(const platform::AppleEventDescriptor& event) {
    const auto application = senderApplication(event);
    if (!application) {
        return std::nullopt;
    }
    return application->bundleIdentifier;
}

}  // namespace pendra

namespace pendra {

std::optional<std::string> senderExecutablePath(const platform::AppleEventDescriptor& event) {
    const auto pid = senderProcessIdentifier(event);
    if (!pid) {
        return std::nullopt;
    }
    return platform::processManager().proc_pidpath(*pid);
}

bool senderRunsInstalledApplication(const platform::AppleEventDescriptor& event,
                                    const std::vector<std::string>& bundleIdentifiers) {
    const auto running = senderExecutablePath(event);
    if (!running) {
        return false;
    }
    for (const std::string& bundleIdentifier : bundleIdentifiers) {
        const auto installed = installedExecutablePath(bundleIdentifier);
        if (installed && isSameFile(*running, *installed)) {
            return true;
        }
    }
    return false;
}

}  // namespace pendra
