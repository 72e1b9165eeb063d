// Which variants of the main application are installed, and which one the helper talks to.
// Nothing is cached: every answer asks the workspace afresh.
#include <optional>
#include <string>
#include <vector>

#include "helper/constants.h"
#include "helper/pendra_sandbox_helper.h"
#include "platform/platform.h"

namespace pendra {

std::vector<std::string> PendraSandboxHelper::supportedPendraBundleIdentifiers() {
    // The order is the order of preference.
    return {kPendraBundleIdentifier, kPendraDevelopmentBundleIdentifier};
}

bool PendraSandboxHelper::pendraBundleExistsWithIdentifier(
    const std::string& bundleIdentifier) const {
    return platform::workspace()
        .absolutePathForAppBundleWithIdentifier(bundleIdentifier)
        .has_value();
}

std::optional<std::string> PendraSandboxHelper::preferredPendraBundleIdentifier() const {
    std::optional<std::string> fallback;
    for (const std::string& bundleIdentifier : supportedPendraBundleIdentifiers()) {
        // A copy that runs from where the workspace cannot locate it is not a candidate.
        if (!pendraBundleExistsWithIdentifier(bundleIdentifier)) {
            continue;
        }
        if (platform::workspace().runningApplicationWithBundleIdentifier(bundleIdentifier)) {
            return bundleIdentifier;
        }
        if (!fallback) {
            fallback = bundleIdentifier;
        }
    }
    return fallback;
}

std::optional<std::string> PendraSandboxHelper::firstInstalledPendraBundleIdentifier() const {
    for (const std::string& bundleIdentifier : supportedPendraBundleIdentifiers()) {
        if (pendraBundleExistsWithIdentifier(bundleIdentifier)) {
            return bundleIdentifier;
        }
    }
    return std::nullopt;
}

}  // namespace pendra
