#include "platform/linux_platform.h"

#include <cstdlib>
#include <cstring>

#include "linux_application.h"
#include "linux_bundles.h"
#include "linux_bus.h"
#include "linux_file_manager.h"
#include "linux_login_items.h"
#include "linux_processes.h"
#include "linux_scripting.h"
#include "linux_support.h"
#include "linux_workspace.h"

namespace platform::linux_platform {
namespace {

// PENDRA_LOG_TO_STDERR=1 keeps unified logging on standard error, for runs from a terminal
// and for tests that read the lines.
bool journalWanted() {
    const char* value = std::getenv("PENDRA_LOG_TO_STDERR");
    return value == nullptr || std::strcmp(value, "1") != 0;
}

}  // namespace

struct LinuxPlatform::Impl {
    LinuxFileManager fileManager;
    LinuxProcessManager processManager;
    LinuxTaskService tasks;
    LinuxProcessInfo processInfo;
    LinuxPathService paths;
    LinuxLogService log{journalWanted()};
    LinuxBundleService bundles;
    LinuxApplication application{[this](int status) { processManager.terminateProcess(status); }};
    LinuxWorkspace workspace{[this] { application.terminate(); }};
    LinuxUserDefaults defaults{[this] { return bundles.mainBundle()->bundleIdentifier(); }};
    LinuxLaunchServices launchServices;
    LinuxScriptingComponent scripting;
    SessionBus bus{application, bundles.mainBundle()->bundleIdentifier()};
    LinuxAppleEventManager events{bus, [this](pid_t pid) -> std::optional<std::string> {
                                      auto running =
                                          workspace.runningApplicationWithProcessIdentifier(pid);
                                      return running ? running->bundleIdentifier : std::nullopt;
                                  }};
    LinuxDistributedNotificationCenter notifications{bus};
    URLOpener opener{application, workspace, events, bus};
    DistributedNotificationObservers observers{bus};

    explicit Impl(Options options) {
        workspace.setURLOpener([this](const URL& url) { return opener.openURL(url); });
        workspace.setTurnOfEventLoop([this] { return application.turnBeingHandled(); });
        workspace.setNameOwnerResolver([this](const std::string& bundleIdentifier) {
            return bus.processOwningName(busNameForBundleIdentifier(bundleIdentifier));
        });
        processManager.processOfSerialNumber = [this](const ProcessSerialNumber& psn) {
            return bus.processOfSerialNumber(psn);
        };
        if (options.endWhenUnreachable) {
            bus.whenUnreachable = [this](const std::string&) {
                processManager.terminateProcess(1);
            };
        }
        events.setDesktopAnswerer(
            [this](const std::string& bundleIdentifier, const AppleEventDescriptor& event,
                   AppleEventDescriptor& reply, std::chrono::milliseconds timeout) {
                return workspace.answerDesktopEvent(bundleIdentifier, event, reply, timeout);
            });
        bus.serviceReceiver = [this](const std::string& message, const std::string& userData,
                                     const Pasteboard& pasteboard) {
            // The declarations are read afresh, as after NSUpdateDynamicServices.
            auto info = PropertyList::readFromFile(
                bundles.mainBundle()->bundlePath() + "/Contents/Info.plist", fileManager);
            return performServiceRequest(application.servicesProvider(),
                                         info.value_or(PropertyList()), message, userData,
                                         pasteboard);
        };
    }
};

LinuxPlatform::LinuxPlatform(Options options) : impl_(std::make_unique<Impl>(options)) {
    services_.application = &impl_->application;
    services_.workspace = &impl_->workspace;
    services_.distributedNotificationCenter = &impl_->notifications;
    services_.appleEventManager = &impl_->events;
    services_.scripting = &impl_->scripting;
    services_.bundles = &impl_->bundles;
    services_.standardUserDefaults = &impl_->defaults;
    services_.fileManager = &impl_->fileManager;
    services_.processManager = &impl_->processManager;
    services_.tasks = &impl_->tasks;
    services_.processInfo = &impl_->processInfo;
    services_.launchServices = &impl_->launchServices;
    services_.paths = &impl_->paths;
    services_.log = &impl_->log;
}

LinuxPlatform::~LinuxPlatform() = default;

OSStatus LinuxPlatform::sendServicesRequest(const std::string& bundleIdentifier,
                                            const std::string& message, const std::string& userData,
                                            const Pasteboard& pasteboard, std::string* error) {
    return linux_platform::sendServicesRequest(impl_->bus, bundleIdentifier, message, userData,
                                               pasteboard, error);
}

bool LinuxPlatform::addDistributedNotificationObserver(NotificationObserver observer) {
    return impl_->observers.add(std::move(observer));
}

std::string userDefaultsPathForDomain(const std::string& domain) {
    return LinuxUserDefaults::pathForDomain(domain);
}

}  // namespace platform::linux_platform
