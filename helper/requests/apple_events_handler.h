// The helper's custom Apple Events (class 'pdqe'): getVersion, update, invoke Quick Entry
// Autofill service item and disable, each turned into a call on the helper.
#pragma once

#include <atomic>
#include <optional>
#include <string>

#include "platform/apple_event_descriptor.h"

namespace pendra {

class PendraSandboxHelper;

// What a deferred quick entry carries from the invoke event to its run 0.1 seconds later. Each
// member stands for one key of the parameters dictionary and is absent when the key is:
//   bundleIdentifier               <- BundleIdentifierParameter: the application to answer
//   additionalPropertiesDescriptor <- AdditionalPropertiesDescriptorParameter: the 'pdap'
//                                     descriptor, exactly as the event carried it
struct QuickEntryAutofillParameters {
    std::optional<std::string> bundleIdentifier;
    std::optional<platform::AppleEventDescriptor> additionalPropertiesDescriptor;
};

class AppleEventsHandler {
  public:
    // Registers the four handlers with the shared Apple Event manager, in the order getVersion,
    // update, invoke, disable. They stay registered for the life of the process.
    AppleEventsHandler();
    // In the running helper this object lives as long as the process. A handler object that
    // goes earlier (in tests) withdraws its handlers so that no event reaches it.
    ~AppleEventsHandler();
    AppleEventsHandler(const AppleEventsHandler&) = delete;
    AppleEventsHandler& operator=(const AppleEventsHandler&) = delete;

    // The helper the handlers call and log through. Not owned: the helper owns this object.
    // While it is unset the handlers do nothing.
    PendraSandboxHelper* pendraSandboxHelper() const {
        return pendraSandboxHelper_.load(std::memory_order_acquire);
    }
    void setPendraSandboxHelper(PendraSandboxHelper* helper) {
        pendraSandboxHelper_.store(helper, std::memory_order_release);
    }

    // Replies with the major ('pdmj') and minor ('pdmi') version of the helper's bundle.
    void handleGetVersionEvent(const platform::AppleEventDescriptor& event,
                               platform::AppleEventDescriptor& withReplyEvent);
    // Updates from the bundle named by the direct object; ends the process when the update
    // has started, else leaves the reply empty. Only an installed main application may ask
    // (_senderMayReplaceOrRemoveTheHelper).
    void handleUpdateEvent(const platform::AppleEventDescriptor& event,
                           platform::AppleEventDescriptor& withReplyEvent);
    // Schedules a quick entry for 0.1 seconds later and returns with an empty reply.
    void handleInvokeQuickEntryAutofillServiceItemEvent(
        const platform::AppleEventDescriptor& event,
        platform::AppleEventDescriptor& withReplyEvent);
    // Disables the helper; only an installed main application may ask.
    void handleDisableEvent(const platform::AppleEventDescriptor& event,
                            platform::AppleEventDescriptor& withReplyEvent);

    // The deferred step of the invoke event.
    void invokeQuickEntryAutofillServiceItemWithParameters(
        const QuickEntryAutofillParameters& parameters);

  private:
    // Replacing and removing the helper are for the main application alone: true when the
    // sending process runs the executable of an installed variant of it. Otherwise the reply
    // carries errAEPrivilegeError with a text, and the refusal is logged.
    bool _senderMayReplaceOrRemoveTheHelper(const platform::AppleEventDescriptor& event,
                                            platform::AppleEventDescriptor& withReplyEvent,
                                            const char* eventName) const;

    std::atomic<PendraSandboxHelper*> pendraSandboxHelper_{nullptr};
};

}  // namespace pendra
