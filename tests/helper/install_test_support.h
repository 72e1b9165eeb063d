// A helper object over the fakes, with the records of its construction cleared, so that a test
// sees only what the operation under test did.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

#include "helper/constants.h"
#include "helper/pendra_sandbox_helper.h"
#include "platform/fake/fake_platform.h"
#include "platform/platform.h"

namespace pendra::testing {

inline constexpr const char* kHelperPath = "/Applications/PendraMacSandboxHelper.app";
inline constexpr const char* kHelperIdentifier = "com.orvano.PendraMacSandboxHelper";
inline constexpr const char* kApplicationSupport = "/home/user/Library/Application Support";
inline constexpr const char* kDesignatedFolder =
    "/home/user/Library/Application Support/Pendra Sandbox Helper";
inline constexpr const char* kStandardPath = "/Applications/PendraMac.app";
inline constexpr const char* kDevelopmentPath = "/Applications/PendraMac Development.app";
// The relaunch tool inside the helper's bundle, and the copy that installing and updating start.
inline constexpr const char* kToolPath =
    "/Applications/PendraMacSandboxHelper.app/Contents/MacOS/PendraSandboxHelperRelaunchTool.app";
inline constexpr const char* kToolCopyPath = "/tmp/PendraSandboxHelperRelaunchTool.app";

inline std::shared_ptr<platform::fake::FakeBundle> makeBundle(
    const std::string& path, const std::optional<std::string>& identifier) {
    auto bundle = std::make_shared<platform::fake::FakeBundle>();
    bundle->path = path;
    bundle->identifier = identifier;
    return bundle;
}

class HelperFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        // The existence check at construction needs a main application to find.
        fake.workspace.addInstalledApplication(kPendraBundleIdentifier, kStandardPath);
        helper = std::make_unique<PendraSandboxHelper>();
        fake.files.addDirectory("/tmp");
        clearRecords();
    }

    void clearRecords() {
        fake.log.entries.clear();
        fake.notifications.posted.clear();
        fake.workspace.launches.clear();
        fake.tasks.launched.clear();
        fake.files.operations.clear();
        fake.processInfo.queries.clear();
        fake.application.yieldedActivations.clear();
    }

    // Puts the relaunch tool into the helper's bundle, where installing and updating look for it.
    void addRelaunchTool() {
        fake.bundles.main->auxiliaryExecutables[kRelaunchToolName] = kToolPath;
        fake.files.addDirectory(kToolPath);
    }

    // An application bundle at a path, with an identifier and its executable file.
    void addBundleWithExecutable(const std::string& path, const std::string& identifier) {
        auto bundle = makeBundle(path, identifier);
        bundle->info["CFBundleIdentifier"] = platform::PropertyList(identifier);
        bundle->info["CFBundleExecutable"] = platform::PropertyList("PendraMacSandboxHelper");
        fake.bundles.addBundle(bundle);
        fake.files.addFile(path + "/Contents/MacOS/PendraMacSandboxHelper");
    }

    // Runs an operation that may end the process; answers the exit status if it did.
    template <typename Operation>
    std::optional<int> exitStatusOf(Operation operation) {
        try {
            operation();
        } catch (const platform::ProcessExit& exit) {
            return exit.status;
        }
        return std::nullopt;
    }

    platform::fake::FakePlatform fake;
    platform::ScopedInstall installed{fake.services()};
    std::unique_ptr<PendraSandboxHelper> helper;
};

}  // namespace pendra::testing
