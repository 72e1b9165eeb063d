// The handlers an Apple Event manager holds by event class and ID, and how an arriving event
// finds its handler: one table for every implementation of the manager.
#pragma once

#include <map>
#include <utility>

#include "platform/apple_event_manager.h"

namespace platform {

class AppleEventHandlerTable {
  public:
    using Key = std::pair<AEEventClass, AEEventID>;

    // Registers (or replaces) the handler for a class and ID.
    void set(AEEventClass eventClass, AEEventID eventID, AppleEventHandler handler);
    void remove(AEEventClass eventClass, AEEventID eventID);
    bool contains(const Key& key) const;

    // Runs the handler of the event's class and ID with a fresh reply and answers the reply.
    // Without a handler the reply carries 'errn' errAEEventNotHandled (-1708), as the platform
    // answers an event nobody handles.
    AppleEventDescriptor dispatch(const AppleEventDescriptor& event) const;

    // The empty reply a handler receives: an 'aevt'/'ansr' event with the event's return and
    // transaction IDs.
    static AppleEventDescriptor emptyReply(const AppleEventDescriptor& event);

  private:
    std::map<Key, AppleEventHandler> handlers_;
};

}  // namespace platform
