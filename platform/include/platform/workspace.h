// The workspace: running, frontmost and installed applications, launching them, opening URLs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/error.h"
#include "platform/url.h"

namespace platform {

using pid_t = int;

struct RunningApplication {
    pid_t processIdentifier = -1;
    std::optional<std::string> bundleIdentifier;
    std::optional<std::string> localizedName;
    std::optional<URL> bundleURL;

    // Asks the application to quit in the ordinary way; returns at once. For the calling
    // process this is the application object's quit request.
    bool terminate() const;

    bool operator==(const RunningApplication&) const = default;
};

// Launch options.
using NSWorkspaceLaunchOptions = std::uint32_t;
inline constexpr NSWorkspaceLaunchOptions NSWorkspaceLaunchDefault = 0;
inline constexpr NSWorkspaceLaunchOptions NSWorkspaceLaunchWithoutActivation = 0x00000200;
inline constexpr NSWorkspaceLaunchOptions NSWorkspaceLaunchNewInstance = 0x00080000;

// The launch configuration (only its arguments, NSWorkspaceLaunchConfigurationArguments).
struct LaunchConfiguration {
    std::vector<std::string> arguments;
    bool operator==(const LaunchConfiguration&) const = default;
};

class Workspace {
  public:
    virtual ~Workspace() = default;

    virtual std::optional<RunningApplication> frontmostApplication() = 0;
    // The running applications with a bundle identifier, the calling process included.
    virtual std::vector<RunningApplication> runningApplicationsWithBundleIdentifier(
        const std::string& bundleIdentifier) = 0;
    // The running application that events for a bundle identifier reach, found without
    // listing the machine's processes where the platform can tell it otherwise; absent when
    // none runs. Counting copies needs runningApplicationsWithBundleIdentifier.
    virtual std::optional<RunningApplication> runningApplicationWithBundleIdentifier(
        const std::string& bundleIdentifier) {
        auto running = runningApplicationsWithBundleIdentifier(bundleIdentifier);
        if (running.empty()) {
            return std::nullopt;
        }
        return std::move(running.front());
    }
    virtual std::optional<RunningApplication> runningApplicationWithProcessIdentifier(
        pid_t pid) = 0;
    // Every running application that lies in a bundle.
    virtual std::vector<RunningApplication> runningApplications() = 0;
    // The running application object of the calling process.
    virtual RunningApplication currentApplication() = 0;
    // Asks a running application to quit; true when the request was delivered.
    virtual bool terminateApplication(const RunningApplication& application) = 0;

    // Installed applications.
    virtual std::optional<std::string> absolutePathForAppBundleWithIdentifier(
        const std::string& bundleIdentifier) = 0;
    virtual std::optional<URL> URLForApplicationWithBundleIdentifier(
        const std::string& bundleIdentifier) = 0;
    // The bundle URLs of every installed application, in the order the system searches them.
    virtual std::vector<URL> installedApplicationURLs() = 0;

    // Launches the application bundle at a file URL; answers the running application, or
    // absent with *error set (when error is given).
    virtual std::optional<RunningApplication> launchApplicationAtURL(
        const URL& url, NSWorkspaceLaunchOptions options, const LaunchConfiguration& configuration,
        Error* error) = 0;
    // Opens a URL with the system's handler for it; returns at once.
    virtual bool openURL(const URL& url) = 0;
};

}  // namespace platform
