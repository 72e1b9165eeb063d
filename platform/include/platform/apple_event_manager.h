// The Apple Event manager: handlers by event class and ID, and sending events.
#pragma once

#include <functional>

#include "platform/apple_event_descriptor.h"

namespace platform {

// A handler receives the event and fills the reply in place.
using AppleEventHandler =
    std::function<void(const AppleEventDescriptor& event, AppleEventDescriptor& reply)>;

class AppleEventManager {
  public:
    virtual ~AppleEventManager() = default;

    // Registers (or replaces) the handler for a class and ID.
    virtual void setEventHandler(AEEventClass eventClass, AEEventID eventID,
                                 AppleEventHandler handler) = 0;
    virtual void removeEventHandler(AEEventClass eventClass, AEEventID eventID) = 0;

    // Sends an event to the application its target addresses (AESendMessage). With
    // kAEWaitReply and a timeout in ticks (1/60 s) the reply is awaited that long and written
    // to *reply when given; a timeout of 0 returns once the event has been handed over.
    // Answers noErr, procNotFound when no process has the target, errAETimeout,
    // errAEEventFailed when the event is larger than the transport carries (logged; nothing is
    // sent), or another status of the transport.
    virtual OSStatus AESendMessage(const AppleEventDescriptor& event, AppleEventDescriptor* reply,
                                   std::int32_t sendMode, long timeoutInTicks) = 0;
};

}  // namespace platform
