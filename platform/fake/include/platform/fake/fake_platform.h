// One fake of every platform service, for a test's duration:
//   platform::fake::FakePlatform fake;
//   platform::ScopedInstall installed(fake.services());
#pragma once

#include "platform/fake/fake_application.h"
#include "platform/fake/fake_bundles.h"
#include "platform/fake/fake_events.h"
#include "platform/fake/fake_file_manager.h"
#include "platform/fake/fake_launch_services.h"
#include "platform/fake/fake_log.h"
#include "platform/fake/fake_processes.h"
#include "platform/platform.h"

namespace platform::fake {

inline constexpr const char* kFakeHelperPath = "/Applications/PendraMacSandboxHelper.app";
inline constexpr const char* kFakeHelperIdentifier = "com.orvano.PendraMacSandboxHelper";

class FakePlatform {
  public:
    // The helper's bundle as the main bundle and the current, running application (pid 4242,
    // parent 1000); OS 14.0.0; nothing installed, no frontmost application.
    FakePlatform();
    // The members refer to each other.
    FakePlatform(const FakePlatform&) = delete;
    FakePlatform& operator=(const FakePlatform&) = delete;

    // Pointers to the members; the file manager is fileManagerOverride when set.
    Services services();

    FakeApplication application;
    FakeWorkspace workspace;
    FakeNotificationCenter notifications;
    FakeAppleEventManager appleEvents;
    FakeScripting scripting;
    FakeBundles bundles;
    FakeUserDefaults defaults;
    FakeFileManager files;
    FileManager* fileManagerOverride = nullptr;
    FakeProcessManager processes;
    FakeTasks tasks;
    FakeProcessInfo processInfo;
    FakeLaunchServices launchServices;
    FakePaths paths;
    FakeLog log;
};

}  // namespace platform::fake
