#include "platform/fake/fake_platform.h"

namespace platform::fake {

FakePlatform::FakePlatform() {
    bundles.main = std::make_shared<FakeBundle>(kFakeHelperPath, kFakeHelperIdentifier);
    bundles.main->info["CFBundleVersion"] = PropertyList("100");
    bundles.main->info["CFBundleName"] = PropertyList("PendraMacSandboxHelper");
    bundles.main->info["CFBundleExecutable"] = PropertyList("PendraMacSandboxHelper");

    workspace.current.processIdentifier = processes.pid;
    workspace.current.bundleIdentifier = kFakeHelperIdentifier;
    workspace.current.localizedName = "PendraMacSandboxHelper";
    workspace.current.bundleURL = URL::fileURLWithPath(kFakeHelperPath);
    workspace.addRunningApplication(workspace.current);

    application.processManager = &processes;
    workspace.application = &application;
}

Services FakePlatform::services() {
    Services services;
    services.application = &application;
    services.workspace = &workspace;
    services.distributedNotificationCenter = &notifications;
    services.appleEventManager = &appleEvents;
    services.scripting = &scripting;
    services.bundles = &bundles;
    services.standardUserDefaults = &defaults;
    services.fileManager = fileManagerOverride != nullptr ? fileManagerOverride : &files;
    services.processManager = &processes;
    services.tasks = &tasks;
    services.processInfo = &processInfo;
    services.launchServices = &launchServices;
    services.paths = &paths;
    services.log = &log;
    return services;
}

}  // namespace platform::fake
