// Fakes of the Apple Event manager and of the scripting component.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/apple_event_handler_table.h"
#include "platform/apple_event_manager.h"
#include "platform/apple_script.h"

namespace platform::fake {

class FakeAppleEventManager : public AppleEventManager {
  public:
    using EventKey = std::pair<AEEventClass, AEEventID>;

    struct Sent {
        AppleEventDescriptor event;
        std::int32_t sendMode = 0;
        long timeout = 0;
        bool replyRequested = false;
    };

    void setEventHandler(AEEventClass eventClass, AEEventID eventID,
                         AppleEventHandler handler) override;
    void removeEventHandler(AEEventClass eventClass, AEEventID eventID) override;
    // Records the event. Answers sendStatus when it is not noErr; otherwise the responder's
    // status (and reply) when one is set, else noErr with sendReply as the reply.
    OSStatus AESendMessage(const AppleEventDescriptor& event, AppleEventDescriptor* reply,
                           std::int32_t sendMode, long timeoutInTicks) override;

    // Delivers an event as the transport would: runs the registered handler with a fresh reply
    // and answers the reply; without a handler the reply carries 'errn' -1708.
    AppleEventDescriptor dispatch(const AppleEventDescriptor& event);
    bool hasHandler(AEEventClass eventClass, AEEventID eventID) const {
        return handlers.contains({eventClass, eventID});
    }
    // An empty reply event, as a handler receives it.
    static AppleEventDescriptor emptyReply(const AppleEventDescriptor& event) {
        return AppleEventHandlerTable::emptyReply(event);
    }

    AppleEventHandlerTable handlers;
    // Every setEventHandler call in order (a replacement appears again).
    std::vector<EventKey> registrationOrder;
    std::vector<EventKey> removals;

    std::vector<Sent> sent;
    OSStatus sendStatus = noErr;
    std::optional<AppleEventDescriptor> sendReply;
    std::function<OSStatus(const AppleEventDescriptor& event, AppleEventDescriptor* reply)>
        responder;
};

class FakeScripting : public ScriptingComponent {
  public:
    using Behaviour = std::function<std::optional<AppleEventDescriptor>(
        const std::string& source, const AppleEventDescriptor* event, ScriptErrorInfo* error)>;

    struct Execution {
        std::string source;
        std::optional<AppleEventDescriptor> event;  // absent for executeAndReturnError
    };

    FakeScripting();

    // Absent for the sources in unmakeable; the object refers back to this fake, which must
    // outlive it.
    std::unique_ptr<AppleScript> makeAppleScriptWithSource(const std::string& source) override;

    // The default behaviour: error -2700 "scripting is not available".
    static std::optional<AppleEventDescriptor> unavailable(const std::string& source,
                                                           const AppleEventDescriptor* event,
                                                           ScriptErrorInfo* error);
    // Fills error information with a number and a message, as a failing script does.
    static void fillError(ScriptErrorInfo* error, std::int64_t number, const std::string& message);

    std::vector<std::string> createdSources;
    Behaviour behaviour;
    std::set<std::string> unmakeable;
    std::vector<Execution> executions;

    // Used by the script objects.
    std::optional<AppleEventDescriptor> execute(const std::string& source,
                                                const AppleEventDescriptor* event,
                                                ScriptErrorInfo* error);
};

}  // namespace platform::fake
