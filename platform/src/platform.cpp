#include "platform/platform.h"

#include <cstdio>
#include <cstdlib>

namespace platform {
namespace {

Services& current() {
    static Services services;
    return services;
}

template <typename T>
T& require(T* service, const char* name) {
    if (service == nullptr) {
        std::fprintf(stderr, "platform: the %s service is not installed\n", name);
        std::abort();
    }
    return *service;
}

}  // namespace

Services install(const Services& services) {
    Services previous = current();
    current() = services;
    return previous;
}

const Services& installed() {
    return current();
}

Application& application() {
    return require(current().application, "application");
}
Workspace& workspace() {
    return require(current().workspace, "workspace");
}
DistributedNotificationCenter& distributedNotificationCenter() {
    return require(current().distributedNotificationCenter, "distributed notification center");
}
AppleEventManager& appleEventManager() {
    return require(current().appleEventManager, "Apple Event manager");
}
ScriptingComponent& scripting() {
    return require(current().scripting, "scripting");
}
BundleService& bundles() {
    return require(current().bundles, "bundle");
}
std::shared_ptr<Bundle> mainBundle() {
    return bundles().mainBundle();
}
UserDefaults& standardUserDefaults() {
    return require(current().standardUserDefaults, "user defaults");
}
FileManager& fileManager() {
    return require(current().fileManager, "file manager");
}
ProcessManager& processManager() {
    return require(current().processManager, "process manager");
}
TaskService& tasks() {
    return require(current().tasks, "task");
}
ProcessInfo& processInfo() {
    return require(current().processInfo, "process information");
}
LaunchServices& launchServices() {
    return require(current().launchServices, "launch services");
}
PathService& paths() {
    return require(current().paths, "path");
}
LogService& logService() {
    return require(current().log, "log");
}

bool RunningApplication::terminate() const {
    return workspace().terminateApplication(*this);
}

}  // namespace platform
