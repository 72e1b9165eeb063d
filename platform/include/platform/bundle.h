// Bundles: an application's folder with its Info.plist, resources and auxiliary executables.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/property_list.h"
#include "platform/url.h"

namespace platform {

class Bundle {
  public:
    virtual ~Bundle() = default;

    virtual std::string bundlePath() const = 0;
    URL bundleURL() const { return URL::fileURLWithPath(bundlePath()); }
    // The identifier from the Info.plist; absent when there is none.
    virtual std::optional<std::string> bundleIdentifier() const = 0;
    virtual std::optional<PropertyList> objectForInfoDictionaryKey(
        const std::string& key) const = 0;
    // The path of a resource by base name, type (extension, may be empty) and optional
    // subfolder of the resources; absent when there is none.
    virtual std::optional<std::string> pathForResource(
        const std::string& name, const std::string& type,
        const std::optional<std::string>& directory) const = 0;
    // The path of a named item in the bundle's executable folder; absent when there is none.
    virtual std::optional<std::string> pathForAuxiliaryExecutable(
        const std::string& name) const = 0;
};

// Why the item at a path is not an application bundle of the identifier whose executable
// (CFBundleExecutable, a plain name) is a regular file in Contents/MacOS; absent when it is.
// Reads through the installed bundle service and file manager.
std::optional<std::string> applicationBundleProblem(const std::string& path,
                                                    const std::string& identifier);

class BundleService {
  public:
    virtual ~BundleService() = default;
    // The bundle of the running program; never null (a program outside any bundle has a main
    // bundle without an identifier).
    virtual std::shared_ptr<Bundle> mainBundle() = 0;
    // The bundle at a file URL; null when there is no bundle there.
    virtual std::shared_ptr<Bundle> bundleWithURL(const URL& url) = 0;
};

}  // namespace platform
