// Bundles as folders on disk: their Info.plist, resources and executable.
#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>

#include "platform/bundle.h"

namespace platform::linux_platform {

class LinuxBundle final : public Bundle {
  public:
    // A bundle at a folder; its Info.plist is read now (a missing one leaves it empty), or
    // taken from the parsed copies while its file is unchanged.
    explicit LinuxBundle(std::string path);

    std::string bundlePath() const override { return path_; }
    std::optional<std::string> bundleIdentifier() const override;
    std::optional<PropertyList> objectForInfoDictionaryKey(const std::string& key) const override;
    std::optional<std::string> pathForResource(
        const std::string& name, const std::string& type,
        const std::optional<std::string>& directory) const override;
    std::optional<std::string> pathForAuxiliaryExecutable(const std::string& name) const override;

    // The bundle's name as people see it: CFBundleDisplayName, CFBundleName, then the folder's
    // name without its extension.
    std::string displayName() const;
    // Contents/MacOS/<CFBundleExecutable>; absent when the Info.plist names none.
    std::optional<std::string> executablePath() const;

  private:
    std::string path_;
    std::shared_ptr<const PropertyList> info_;
};

// The bundle folder of an executable at ".../X/Contents/MacOS/<name>"; absent otherwise.
std::optional<std::string> bundlePathForExecutable(const std::string& executable);
// The executable a process runs, from /proc/<pid>/exe, also after its file was deleted or
// replaced; absent when it cannot be read.
std::optional<std::string> executableOfProcess(pid_t pid);
// The running program's executable, from /proc/self/exe.
std::string currentExecutablePath();

class LinuxBundleService final : public BundleService {
  public:
    std::shared_ptr<Bundle> mainBundle() override;
    std::shared_ptr<Bundle> bundleWithURL(const URL& url) override;

  private:
    std::shared_ptr<LinuxBundle> main_;
};

}  // namespace platform::linux_platform
