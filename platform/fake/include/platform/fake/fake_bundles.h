// Fakes of bundles, the standard user defaults and the standard folders.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/bundle.h"
#include "platform/paths.h"
#include "platform/user_defaults.h"

namespace platform::fake {

struct FakeBundle : Bundle {
    FakeBundle() = default;
    // A bundle at a path; with an identifier, the Info.plist also carries it.
    explicit FakeBundle(std::string bundlePath,
                        std::optional<std::string> bundleIdentifier = std::nullopt);

    std::string bundlePath() const override { return path; }
    std::optional<std::string> bundleIdentifier() const override { return identifier; }
    std::optional<PropertyList> objectForInfoDictionaryKey(const std::string& key) const override;
    // Looks up "name.type" (or "name" when the type is empty), prefixed with "dir/" when a
    // folder is given.
    std::optional<std::string> pathForResource(
        const std::string& name, const std::string& type,
        const std::optional<std::string>& directory) const override;
    std::optional<std::string> pathForAuxiliaryExecutable(const std::string& name) const override;

    std::string path;
    std::optional<std::string> identifier;
    PropertyList::Dictionary info;
    std::map<std::string, std::string> resources;  // "name.type" or "dir/name.type" -> path
    std::map<std::string, std::string> auxiliaryExecutables;  // name -> path
};

class FakeBundles : public BundleService {
  public:
    FakeBundles();

    std::shared_ptr<Bundle> mainBundle() override { return main; }
    // The main bundle or an added one whose path matches the URL's path.
    std::shared_ptr<Bundle> bundleWithURL(const URL& url) override;

    void addBundle(std::shared_ptr<FakeBundle> bundle) { others.push_back(std::move(bundle)); }

    std::shared_ptr<FakeBundle> main;
    std::vector<std::shared_ptr<FakeBundle>> others;
    std::vector<URL> opened;  // every bundleWithURL request
};

class FakeUserDefaults : public UserDefaults {
  public:
    std::optional<PropertyList> objectForKey(const std::string& key) override;

    PropertyList::Dictionary values;
    bool unreadable = false;
    std::vector<std::string> reads;
};

class FakePaths : public PathService {
  public:
    // Application Support in the user domain; the home folder becomes "~" unless expanded.
    std::vector<std::string> NSSearchPathForDirectoriesInDomains(NSSearchPathDirectory directory,
                                                                 NSSearchPathDomainMask domain,
                                                                 bool expandTilde) override;
    std::string NSTemporaryDirectory() override { return temporaryDirectory; }
    std::string NSHomeDirectory() override { return home; }

    std::string home = "/home/user";
    std::string applicationSupport = "/home/user/Library/Application Support";
    std::string temporaryDirectory = "/tmp/";
};

}  // namespace platform::fake
