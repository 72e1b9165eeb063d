#include "platform/fake/fake_events.h"

namespace platform::fake {
namespace {

// A script object whose every run goes to the fake scripting component's behaviour.
class FakeAppleScript : public AppleScript {
  public:
    FakeAppleScript(FakeScripting& owner, std::string source)
        : owner_(owner), source_(std::move(source)) {}

    const std::string& source() const override { return source_; }
    std::optional<AppleEventDescriptor> executeAndReturnError(ScriptErrorInfo* errorInfo) override {
        return owner_.execute(source_, nullptr, errorInfo);
    }
    std::optional<AppleEventDescriptor> executeAppleEvent(const AppleEventDescriptor& event,
                                                          ScriptErrorInfo* errorInfo) override {
        return owner_.execute(source_, &event, errorInfo);
    }

  private:
    FakeScripting& owner_;
    std::string source_;
};

}  // namespace

void FakeAppleEventManager::setEventHandler(AEEventClass eventClass, AEEventID eventID,
                                            AppleEventHandler handler) {
    handlers.set(eventClass, eventID, std::move(handler));
    registrationOrder.emplace_back(eventClass, eventID);
}

void FakeAppleEventManager::removeEventHandler(AEEventClass eventClass, AEEventID eventID) {
    handlers.remove(eventClass, eventID);
    removals.emplace_back(eventClass, eventID);
}

OSStatus FakeAppleEventManager::AESendMessage(const AppleEventDescriptor& event,
                                              AppleEventDescriptor* reply, std::int32_t sendMode,
                                              long timeoutInTicks) {
    sent.push_back({event, sendMode, timeoutInTicks, reply != nullptr});
    if (sendStatus != noErr) {
        return sendStatus;
    }
    if (responder) {
        return responder(event, reply);
    }
    if (reply != nullptr && sendReply) {
        *reply = *sendReply;
    }
    return noErr;
}

AppleEventDescriptor FakeAppleEventManager::dispatch(const AppleEventDescriptor& event) {
    return handlers.dispatch(event);
}

FakeScripting::FakeScripting() : behaviour(&FakeScripting::unavailable) {}

std::unique_ptr<AppleScript> FakeScripting::makeAppleScriptWithSource(const std::string& source) {
    createdSources.push_back(source);
    if (unmakeable.count(source) != 0) {
        return nullptr;
    }
    return std::make_unique<FakeAppleScript>(*this, source);
}

void FakeScripting::fillError(ScriptErrorInfo* error, std::int64_t number,
                              const std::string& message) {
    if (error == nullptr) {
        return;
    }
    (*error)[NSAppleScriptErrorNumber] = PropertyList(number);
    (*error)[NSAppleScriptErrorMessage] = PropertyList(message);
    (*error)[NSAppleScriptErrorBriefMessage] = PropertyList(message);
}

std::optional<AppleEventDescriptor> FakeScripting::unavailable(const std::string&,
                                                               const AppleEventDescriptor*,
                                                               ScriptErrorInfo* error) {
    fillError(error, errOSASystemError, "scripting is not available");
    return std::nullopt;
}

std::optional<AppleEventDescriptor> FakeScripting::execute(const std::string& source,
                                                           const AppleEventDescriptor* event,
                                                           ScriptErrorInfo* error) {
    Execution execution{source, std::nullopt};
    if (event != nullptr) {
        execution.event = *event;
    }
    executions.push_back(std::move(execution));
    if (!behaviour) {
        return unavailable(source, event, error);
    }
    return behaviour(source, event, error);
}

}  // namespace platform::fake
