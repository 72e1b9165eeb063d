// Fixtures shared by the helper's tests: the fake platform, a workspace whose installed
// applications the test controls, and a connector table placed straight into the shared cache.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "helper/context/config_dictionary_cache_controller.h"
#include "platform/fake/fake_platform.h"
#include "platform/platform.h"

namespace pendra::testing {

// A workspace whose installed applications can also be taken away again, and that lets a test
// look at the world at the moment the helper asks for an installed application.
class ControlledWorkspace : public platform::fake::FakeWorkspace {
  public:
    std::map<std::string, std::string> installedPaths;
    std::function<void(const std::string&)> onLookup;

    std::optional<std::string> absolutePathForAppBundleWithIdentifier(
        const std::string& bundleIdentifier) override {
        if (onLookup) {
            onLookup(bundleIdentifier);
        }
        const auto entry = installedPaths.find(bundleIdentifier);
        if (entry == installedPaths.end()) {
            return std::nullopt;
        }
        return entry->second;
    }
};

inline platform::RunningApplication runningApplication(platform::pid_t pid,
                                                       const std::string& bundleIdentifier,
                                                       const std::string& name = "") {
    platform::RunningApplication application;
    application.processIdentifier = pid;
    application.bundleIdentifier = bundleIdentifier;
    application.localizedName = name;
    return application;
}

inline platform::Services servicesWithWorkspace(platform::fake::FakePlatform& fake,
                                                platform::Workspace& workspace) {
    platform::Services services = fake.services();
    services.workspace = &workspace;
    return services;
}

class HelperTest : public ::testing::Test {
  protected:
    HelperTest() {
        // The controlled workspace starts as the fake's: this process runs as the helper.
        workspace.current = fake.workspace.current;
        if (workspace
                .runningApplicationsWithBundleIdentifier(
                    workspace.current.bundleIdentifier.value_or(""))
                .empty()) {
            workspace.addRunningApplication(workspace.current);
        }
        ConfigDictionaryCacheController::sharedInstance().setDictionaries({});
    }
    ~HelperTest() override {
        ConfigDictionaryCacheController::sharedInstance().setDictionaries({});
    }

    void installMainApplication(const std::string& bundleIdentifier) {
        workspace.installedPaths[bundleIdentifier] = "/Applications/" + bundleIdentifier + ".app";
    }

    // The connector table as if it had been read from the bundle.
    static void useConnectorTable(platform::PropertyList::Dictionary table) {
        ConfigDictionaryCacheController::sharedInstance().setDictionaries(
            {{"ApplicationConnectors",
              std::make_shared<const platform::PropertyList>(std::move(table))}});
    }

    platform::fake::FakePlatform fake;
    ControlledWorkspace workspace;
    platform::ScopedInstall installed{servicesWithWorkspace(fake, workspace)};
};

}  // namespace pendra::testing
