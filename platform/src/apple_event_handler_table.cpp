#include "platform/apple_event_handler_table.h"

namespace platform {
namespace {

constexpr AEEventClass kCoreEventClass = fourCharCode("aevt");
constexpr AEEventID kAnswerEventID = fourCharCode("ansr");

}  // namespace

void AppleEventHandlerTable::set(AEEventClass eventClass, AEEventID eventID,
                                 AppleEventHandler handler) {
    handlers_[{eventClass, eventID}] = std::move(handler);
}

void AppleEventHandlerTable::remove(AEEventClass eventClass, AEEventID eventID) {
    handlers_.erase({eventClass, eventID});
}

bool AppleEventHandlerTable::contains(const Key& key) const {
    return handlers_.count(key) != 0;
}

AppleEventDescriptor AppleEventHandlerTable::emptyReply(const AppleEventDescriptor& event) {
    return AppleEventDescriptor::appleEventWithEventClass(kCoreEventClass, kAnswerEventID,
                                                          AppleEventDescriptor::nullDescriptor(),
                                                          event.returnID(), event.transactionID());
}

AppleEventDescriptor AppleEventHandlerTable::dispatch(const AppleEventDescriptor& event) const {
    AppleEventDescriptor reply = emptyReply(event);
    auto found = handlers_.find({event.eventClass(), event.eventID()});
    if (found == handlers_.end() || !found->second) {
        reply.setParamDescriptor(AppleEventDescriptor::descriptorWithInt32(errAEEventNotHandled),
                                 keyErrorNumber);
        return reply;
    }
    // A copy, so that a handler may replace or remove itself while it runs.
    const AppleEventHandler handler = found->second;
    handler(event, reply);
    return reply;
}

}  // namespace platform
