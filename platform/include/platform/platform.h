// The installed platform: the shared instances that the helper and the tools reach. An
// executable's main() installs the Linux platform; a test installs fakes for its own duration.
#pragma once

#include "platform/apple_event_manager.h"
#include "platform/apple_script.h"
#include "platform/application.h"
#include "platform/bundle.h"
#include "platform/distributed_notification_center.h"
#include "platform/file_manager.h"
#include "platform/launch_services.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "platform/process_manager.h"
#include "platform/user_defaults.h"
#include "platform/workspace.h"

namespace platform {

struct Services {
    Application* application = nullptr;
    Workspace* workspace = nullptr;
    DistributedNotificationCenter* distributedNotificationCenter = nullptr;
    AppleEventManager* appleEventManager = nullptr;
    ScriptingComponent* scripting = nullptr;
    BundleService* bundles = nullptr;
    UserDefaults* standardUserDefaults = nullptr;
    FileManager* fileManager = nullptr;
    ProcessManager* processManager = nullptr;
    TaskService* tasks = nullptr;
    ProcessInfo* processInfo = nullptr;
    LaunchServices* launchServices = nullptr;
    PathService* paths = nullptr;
    LogService* log = nullptr;
};

// Installs the services (not owned) and answers the ones installed before.
Services install(const Services& services);
const Services& installed();

// Installs services for the lifetime of the object, then restores the previous ones.
class ScopedInstall {
  public:
    explicit ScopedInstall(const Services& services) : previous_(install(services)) {}
    ~ScopedInstall() { install(previous_); }
    ScopedInstall(const ScopedInstall&) = delete;
    ScopedInstall& operator=(const ScopedInstall&) = delete;

  private:
    Services previous_;
};

// Accessors of the shared instances; each aborts with a message when its service is missing.
Application& application();
Workspace& workspace();
DistributedNotificationCenter& distributedNotificationCenter();
AppleEventManager& appleEventManager();
ScriptingComponent& scripting();
BundleService& bundles();
std::shared_ptr<Bundle> mainBundle();
UserDefaults& standardUserDefaults();
FileManager& fileManager();
ProcessManager& processManager();
TaskService& tasks();
ProcessInfo& processInfo();
LaunchServices& launchServices();
PathService& paths();
LogService& logService();

}  // namespace platform
