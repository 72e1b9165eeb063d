#include "helper/requests/apple_events_handler.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "helper/constants.h"
#include "helper/pendra_sandbox_helper.h"
#include "helper/requests/sender.h"
#include "platform/platform.h"

namespace pendra {

namespace {

// The quick entry waits this long, so that the invoke event's reply reaches the main
// application before the frontmost application is scripted.
constexpr double kQuickEntryDelay = 0.1;

}  // namespace

AppleEventsHandler::AppleEventsHandler() {
    auto& manager = platform::appleEventManager();
    manager.setEventHandler(
        kPendraHelperEventClass, kGetVersionEventID,
        [this](const platform::AppleEventDescriptor& event, platform::AppleEventDescriptor& reply) {
            handleGetVersionEvent(event, reply);
        });
    manager.setEventHandler(
        kPendraHelperEventClass, kUpdateEventID,
        [this](const platform::AppleEventDescriptor& event, platform::AppleEventDescriptor& reply) {
            handleUpdateEvent(event, reply);
        });
    manager.setEventHandler(
        kPendraHelperEventClass, kInvokeQuickEntryAutofillServiceItemEventID,
        [this](const platform::AppleEventDescriptor& event, platform::AppleEventDescriptor& reply) {
            handleInvokeQuickEntryAutofillServiceItemEvent(event, reply);
        });
    manager.setEventHandler(
        kPendraHelperEventClass, kDisableEventID,
        [this](const platform::AppleEventDescriptor& event, platform::AppleEventDescriptor& reply) {
            handleDisableEvent(event, reply);
        });
}

AppleEventsHandler::~AppleEventsHandler() {
    platform::AppleEventManager* manager = platform::installed().appleEventManager;
    if (manager == nullptr) {
        return;
    }
    for (const platform::AEEventID eventID :
         {kGetVersionEventID, kUpdateEventID, kInvokeQuickEntryAutofillServiceItemEventID,
          kDisableEventID}) {
        manager->removeEventHandler(kPendraHelperEventClass, eventID);
    }
}

void AppleEventsHandler::handleGetVersionEvent(const platform::AppleEventDescriptor& /*event*/,
                                               platform::AppleEventDescriptor& withReplyEvent) {
    PendraSandboxHelper* helper = pendraSandboxHelper();
    if (helper == nullptr) {
        return;
    }
    platform::os_log_debug(helper->log(), "Received getVersion Apple Event.");

    // The bundle version is major * 100 + minor; integer division truncates toward zero.
    const std::int64_t version = helper->version();
    const std::int64_t major = version / 100;
    const auto minor = static_cast<std::int32_t>(version - 100 * major);
    withReplyEvent.setParamDescriptor(
        platform::AppleEventDescriptor::descriptorWithInt32(static_cast<std::int32_t>(major)),
        kMajorVersionKeyword);
    withReplyEvent.setParamDescriptor(platform::AppleEventDescriptor::descriptorWithInt32(minor),
                                      kMinorVersionKeyword);
}

void AppleEventsHandler::handleUpdateEvent(const platform::AppleEventDescriptor& event,
                                           platform::AppleEventDescriptor& withReplyEvent) {
    PendraSandboxHelper* helper = pendraSandboxHelper();
    if (helper == nullptr) {
        return;
    }
    platform::os_log_debug(helper->log(), "Received update Apple Event.");
    if (!_senderMayReplaceOrRemoveTheHelper(event, withReplyEvent, "update")) {
        return;
    }

    std::optional<std::string> path;
    if (const auto directObject = event.paramDescriptorForKeyword(platform::keyDirectObject)) {
        path = directObject->stringValue();
    }
    if (helper->updateFromBundleAtPath(path)) {
        // The relaunch tool waits for this process to end; no orderly termination, no reply.
        platform::processManager().terminateProcess(0);
    }
    // Refused: the sender must not take the helper's silence for an update under way.
    withReplyEvent.setParamDescriptor(
        platform::AppleEventDescriptor::descriptorWithInt32(platform::errAEEventFailed),
        platform::keyErrorNumber);
    withReplyEvent.setParamDescriptor(platform::AppleEventDescriptor::descriptorWithString(
                                          "The update did not start; the helper's log says why"),
                                      platform::keyErrorString);
}

void AppleEventsHandler::handleInvokeQuickEntryAutofillServiceItemEvent(
    const platform::AppleEventDescriptor& event,
    platform::AppleEventDescriptor& /*withReplyEvent*/) {
    PendraSandboxHelper* helper = pendraSandboxHelper();
    if (helper == nullptr) {
        return;
    }
    platform::os_log_debug(helper->log(),
                           "Received invoke Quick Entry Autofill service item Apple Event.");

    QuickEntryAutofillParameters parameters;
    // A named recipient wins even when it cannot be read; only its absence falls back to the
    // sender.
    if (const auto recipient = event.paramDescriptorForKeyword(kReplyRecipientKeyword)) {
        parameters.bundleIdentifier = recipient->stringValue();
    } else {
        parameters.bundleIdentifier = senderBundleIdentifier(event);
    }
    // A capture tells what the person is looking at: it goes to the main application only,
    // never to a process that names itself, or is, another recipient.
    const std::vector<std::string> recipients =
        PendraSandboxHelper::supportedPendraBundleIdentifiers();
    if (!parameters.bundleIdentifier ||
        std::find(recipients.begin(), recipients.end(), *parameters.bundleIdentifier) ==
            recipients.end()) {
        platform::NSLog(
            "Refusing the invoke Apple Event: its answer would go to %@, which is not a Pendra "
            "application",
            {parameters.bundleIdentifier.value_or("an unknown process")});
        return;
    }
    parameters.additionalPropertiesDescriptor =
        event.paramDescriptorForKeyword(kAdditionalPropertiesKeyword);

    // The parameters move into the deferred step: a caller's note is not copied on its way.
    platform::application().performAfterDelay(
        kQuickEntryDelay, [this, parameters = std::move(parameters)] {
            invokeQuickEntryAutofillServiceItemWithParameters(parameters);
        });
}

void AppleEventsHandler::handleDisableEvent(const platform::AppleEventDescriptor& event,
                                            platform::AppleEventDescriptor& withReplyEvent) {
    PendraSandboxHelper* helper = pendraSandboxHelper();
    if (helper == nullptr) {
        return;
    }
    platform::os_log_debug(helper->log(), "Received disable Apple Event.");
    if (!_senderMayReplaceOrRemoveTheHelper(event, withReplyEvent, "disable")) {
        return;
    }
    helper->disable();
}

bool AppleEventsHandler::_senderMayReplaceOrRemoveTheHelper(
    const platform::AppleEventDescriptor& event, platform::AppleEventDescriptor& withReplyEvent,
    const char* eventName) const {
    if (senderRunsInstalledApplication(event,
                                       PendraSandboxHelper::supportedPendraBundleIdentifiers())) {
        return true;
    }
    const std::string sender = senderExecutablePath(event).value_or("an unknown process");
    platform::NSLog(
        "Refusing the %@ Apple Event from %@: only an installed Pendra application "
        "may ask for it",
        {eventName, sender});
    withReplyEvent.setParamDescriptor(
        platform::AppleEventDescriptor::descriptorWithInt32(platform::errAEPrivilegeError),
        platform::keyErrorNumber);
    withReplyEvent.setParamDescriptor(
        platform::AppleEventDescriptor::descriptorWithString(
            std::string("Only an installed Pendra application may send the ") + eventName +
            " event"),
        platform::keyErrorString);
    return false;
}

void AppleEventsHandler::invokeQuickEntryAutofillServiceItemWithParameters(
    const QuickEntryAutofillParameters& parameters) {
    PendraSandboxHelper* helper = pendraSandboxHelper();
    if (helper == nullptr) {
        return;
    }
    helper->invokeQuickEntryWithAutofillWithPropertiesDescriptor(
        parameters.additionalPropertiesDescriptor, parameters.bundleIdentifier);
}

}  // namespace pendra
