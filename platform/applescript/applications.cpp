#include "applications.h"

#include <vector>

#include "platform/bundle.h"
#include "platform/paths.h"
#include "platform/platform.h"
#include "platform/workspace.h"
#include "terms.h"

namespace platform::applescript {
namespace {

// An installed application as a name lookup sees it: its identifier and the names it goes by.
struct Installed {
    std::string bundleIdentifier;
    std::vector<std::string> names;
};

std::vector<Installed> installedApplications() {
    std::vector<Installed> installed;
    for (const URL& url : platform::workspace().installedApplicationURLs()) {
        const auto bundle = platform::bundles().bundleWithURL(url);
        if (!bundle || !bundle->bundleIdentifier()) {
            continue;
        }
        Installed application{*bundle->bundleIdentifier(),
                              {stringByDeletingPathExtension(lastPathComponent(url.path()))}};
        for (const char* key : {"CFBundleName", "CFBundleDisplayName"}) {
            const auto value = bundle->objectForInfoDictionaryKey(key);
            if (value && value->stringValue() != nullptr) {
                application.names.push_back(*value->stringValue());
            }
        }
        installed.push_back(std::move(application));
    }
    return installed;
}

}  // namespace

std::optional<std::string> bundleIdentifierForApplicationNamed(const std::string& name) {
    Workspace& workspace = platform::workspace();
    const auto named = [&](const std::optional<std::string>& candidate) {
        return candidate && equalIgnoringCase(*candidate, name);
    };
    if (const auto front = workspace.frontmostApplication();
        front && front->bundleIdentifier && named(front->localizedName)) {
        return front->bundleIdentifier;
    }
    for (const Installed& installed : installedApplications()) {
        for (const std::string& candidate : installed.names) {
            if (named(candidate)) {
                return installed.bundleIdentifier;
            }
        }
    }
    // An application may be named by its identifier too.
    if (workspace.runningApplicationWithBundleIdentifier(name) ||
        workspace.absolutePathForAppBundleWithIdentifier(name)) {
        return name;
    }
    // Listing the running applications may walk every process of the machine: only when
    // nothing cheaper knows the name.
    for (const RunningApplication& running : workspace.runningApplications()) {
        if (running.bundleIdentifier && named(running.localizedName)) {
            return running.bundleIdentifier;
        }
    }
    return std::nullopt;
}

std::string declaredBundleIdentifier(const std::string& identifier,
                                     const std::optional<RunningApplication>& running) {
    Workspace& workspace = platform::workspace();
    if (running && running->bundleIdentifier) {
        return *running->bundleIdentifier;
    }
    const auto same = [&](const std::optional<std::string>& candidate) {
        return candidate && equalIgnoringCase(*candidate, identifier);
    };
    if (const auto front = workspace.frontmostApplication();
        front && same(front->bundleIdentifier)) {
        return *front->bundleIdentifier;
    }
    for (const Installed& installed : installedApplications()) {
        if (same(installed.bundleIdentifier)) {
            return installed.bundleIdentifier;
        }
    }
    for (const RunningApplication& running : workspace.runningApplications()) {
        if (same(running.bundleIdentifier)) {
            return *running.bundleIdentifier;
        }
    }
    return identifier;
}

}  // namespace platform::applescript
