// The helper's spine: construction with its start-up registrations, the single-instance rule,
// the reported version, the hourly existence check, the delegate callbacks and the process entry.
#include "helper/pendra_sandbox_helper.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "helper/constants.h"
#include "helper/context/application_connector.h"
#include "helper/requests/apple_events_handler.h"
#include "platform/format.h"
#include "platform/platform.h"

namespace pendra {
namespace {

constexpr double kExistenceCheckInterval = 3600.0;
constexpr const char* kServiceQuickEntryWithAutofill = "quickEntryWithAutofill";

}  // namespace

PendraSandboxHelper::PendraSandboxHelper() {
    log_ = platform::os_log_create(kLogSubsystem, kLogCategory);

    applicationConnector_ = std::make_unique<ApplicationConnector>();

    platform::Application& application = platform::application();
    application.setServicesProvider(this);
    application.updateDynamicServices();

    appleEventsHandler_ = std::make_unique<AppleEventsHandler>();
    appleEventsHandler_->setPendraSandboxHelper(this);

    platform::appleEventManager().setEventHandler(
        platform::kInternetEventClass, platform::kAEGetURL,
        [this](const platform::AppleEventDescriptor& event, platform::AppleEventDescriptor& reply) {
            getURL(event, reply);
        });

    // The first check runs at once; it ends the process when no main application is left.
    pendraExistenceCheckTimerFired();

    existenceCheckTimer_ = application.scheduledTimerWithTimeInterval(
        kExistenceCheckInterval, true, [this] { pendraExistenceCheckTimerFired(); });
}

PendraSandboxHelper::~PendraSandboxHelper() {
    // The application object and the event manager outlive the helper; withdraw what points at
    // it so that nothing reaches a destroyed helper.
    const platform::Services& services = platform::installed();
    if (services.application != nullptr) {
        if (existenceCheckTimer_) {
            services.application->invalidateTimer(*existenceCheckTimer_);
        }
        if (services.application->delegate() == this) {
            services.application->setDelegate(nullptr);
        }
        if (services.application->servicesProvider() == this) {
            services.application->setServicesProvider(nullptr);
        }
    }
    if (services.appleEventManager != nullptr) {
        services.appleEventManager->removeEventHandler(platform::kInternetEventClass,
                                                       platform::kAEGetURL);
    }
}

bool PendraSandboxHelper::isUniqueInstance() const {
    // Read at run time: a renamed copy of the helper counts its own kind.
    const std::optional<std::string> bundleIdentifier = platform::mainBundle()->bundleIdentifier();
    if (!bundleIdentifier) {
        return false;
    }
    return platform::workspace()
               .runningApplicationsWithBundleIdentifier(*bundleIdentifier)
               .size() == 1;
}

std::int64_t PendraSandboxHelper::version() const {
    const std::optional<platform::PropertyList> value =
        platform::mainBundle()->objectForInfoDictionaryKey("CFBundleVersion");
    if (!value) {
        return 0;
    }
    if (const std::string* text = value->stringValue()) {
        return platform::integerValueOfText(*text);
    }
    if (const std::optional<std::int64_t> number = value->integerValue()) {
        return *number;
    }
    if (const std::optional<double> real = value->realValue()) {
        if (*real >= -9.2e18 && *real <= 9.2e18) {
            return static_cast<std::int64_t>(*real);
        }
    }
    return 0;
}

void PendraSandboxHelper::pendraExistenceCheckTimerFired() {
    platform::os_log_debug(log_, "Performing Pendra existence check");
    if (firstInstalledPendraBundleIdentifier()) {
        return;
    }
    platform::os_log_debug(log_, "No more Pendra bundles found locally");
    disable();
    // Straight out, past the application object: no termination notification goes out.
    platform::processManager().terminateProcess(0);
}

void PendraSandboxHelper::applicationDidFinishLaunching() {
    platform::distributedNotificationCenter().postNotificationName(
        PendraMacSandboxHelperDidLaunchNotification, std::nullopt);
}

void PendraSandboxHelper::applicationWillTerminate() {
    platform::distributedNotificationCenter().postNotificationName(
        PendraMacSandboxHelperDidTerminateNotification, std::nullopt);
}

bool PendraSandboxHelper::performService(const std::string& message,
                                         const platform::Pasteboard& pasteboard,
                                         const std::string& userData, std::string* error) {
    if (message == kServiceQuickEntryWithAutofill) {
        quickEntryWithAutofill(pasteboard, userData, error);
        return true;
    }
    return false;
}

int helperMain(const std::vector<std::string>& arguments) {
    // The shared application object exists before the helper, which reaches it from init.
    platform::Application& application = platform::application();

    auto helper = std::make_unique<PendraSandboxHelper>();
    const platform::OSLog log = helper->log();

    if (helper->isUniqueInstance()) {
        helper->installToDesignatedFolderIfNecessary(
            std::ranges::find(arguments, PendraSandboxHelperInstallationFailedLaunchArgument) !=
            arguments.end());
        helper->registerLoginItem();
        application.setDelegate(helper.get());
        platform::os_log_debug(log, "Helper about to start running");
        application.run();
    } else {
        platform::os_log_debug(log, "Helper already running, exiting");
    }

    platform::os_log_debug(log, "Exiting the helper");
    helper.reset();
    return 0;
}

}  // namespace pendra
