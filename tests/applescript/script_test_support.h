// Running scripts of the interpreter in tests, with the fakes installed, and a fake scriptable
// application that answers get-data events from a table of specifiers.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>

#include "applescript/script.h"
#include "platform/fake/fake_platform.h"
#include "platform/platform.h"

namespace script_test {

using platform::AppleEventDescriptor;
using platform::ScriptErrorInfo;

struct ScriptRun {
    std::optional<AppleEventDescriptor> result;
    ScriptErrorInfo error;

    std::int64_t errorNumber() const {
        const auto found = error.find(platform::NSAppleScriptErrorNumber);
        return found == error.end() ? 0 : found->second.integerValue().value_or(0);
    }
    std::string errorText(const char* key) const {
        const auto found = error.find(key);
        return found == error.end() || found->second.stringValue() == nullptr
                   ? std::string()
                   : *found->second.stringValue();
    }
    std::string text() const { return result ? result->stringValue().value_or("") : ""; }
};

inline ScriptRun runScript(const std::string& source, platform::applescript::Options options = {}) {
    auto script = platform::applescript::makeScript(source, std::move(options));
    ScriptRun run;
    run.result = script->executeAndReturnError(&run.error);
    return run;
}

// A subroutine-call event for a handler with the given arguments.
inline AppleEventDescriptor subroutineCall(const std::string& name,
                                           std::vector<AppleEventDescriptor> arguments) {
    AppleEventDescriptor event = AppleEventDescriptor::appleEventWithEventClass(
        platform::kASAppleScriptSuite, platform::kASSubroutineEvent,
        AppleEventDescriptor::nullDescriptor(), platform::kAutoGenerateReturnID,
        platform::kAnyTransactionID);
    event.setParamDescriptor(AppleEventDescriptor::descriptorWithString(name),
                             platform::keyASSubroutineName);
    AppleEventDescriptor list = AppleEventDescriptor::listDescriptor();
    for (const AppleEventDescriptor& argument : arguments) {
        list.insertDescriptor(argument, 0);
    }
    event.setParamDescriptor(list, platform::keyDirectObject);
    return event;
}

// The path of a specifier as "pnam of docu 1", "titl of acTa of cwin 1", for the fake
// application's table.
inline std::string specifierPath(const AppleEventDescriptor& specifier) {
    const auto form = specifier.descriptorForKeyword(platform::keyAEKeyForm);
    const auto want = specifier.descriptorForKeyword(platform::keyAEDesiredClass);
    const auto key = specifier.descriptorForKeyword(platform::keyAEKeyData);
    if (!form || !want || !key) {
        return "?";
    }
    std::string path;
    const std::string formCode = platform::fourCharCodeString(form->typeCodeValue());
    if (formCode == "prop") {
        path = platform::fourCharCodeString(key->typeCodeValue());
    } else if (formCode == "name") {
        path = platform::fourCharCodeString(want->typeCodeValue()) + " \"" +
               key->stringValue().value_or("") + "\"";
    } else if (formCode == "usrp") {
        path = "|" + key->stringValue().value_or("") + "|";
    } else {
        path = platform::fourCharCodeString(want->typeCodeValue()) + " " +
               std::to_string(key->int32Value());
    }
    const auto from = specifier.descriptorForKeyword(platform::keyAEContainer);
    if (from && from->descriptorType() == platform::typeObjectSpecifier) {
        path += " of " + specifierPath(*from);
    }
    return path;
}

// Answers get-data events sent to one bundle identifier from `answers` (by specifier path);
// a missing entry answers -1728, other targets are not running.
class FakeScriptableApplication {
  public:
    FakeScriptableApplication(platform::fake::FakePlatform& fake, std::string bundleIdentifier)
        : bundleIdentifier_(std::move(bundleIdentifier)) {
        fake.appleEvents.responder = [this](const AppleEventDescriptor& event,
                                            AppleEventDescriptor* reply) {
            return respond(event, reply);
        };
    }

    std::map<std::string, AppleEventDescriptor> answers;
    std::optional<platform::OSStatus> refuseWith;  // an errn for every event
    std::vector<std::string> asked;

  private:
    platform::OSStatus respond(const AppleEventDescriptor& event, AppleEventDescriptor* reply) {
        const auto target = event.targetDescriptor();
        const std::string identifier =
            target ? std::string(target->data().begin(), target->data().end()) : "";
        if (identifier != bundleIdentifier_) {
            return platform::procNotFound;
        }
        if (event.eventClass() != platform::kAECoreSuite ||
            event.eventID() != platform::kAEGetData) {
            return platform::errAEEventNotHandled;
        }
        const auto direct = event.paramDescriptorForKeyword(platform::keyDirectObject);
        const std::string path = direct ? specifierPath(*direct) : "";
        asked.push_back(path);
        *reply = platform::fake::FakeAppleEventManager::emptyReply(event);
        const auto found = answers.find(path);
        if (refuseWith || found == answers.end()) {
            reply->setParamDescriptor(AppleEventDescriptor::descriptorWithInt32(
                                          refuseWith.value_or(platform::errAENoSuchObject)),
                                      platform::keyErrorNumber);
        } else {
            reply->setParamDescriptor(found->second, platform::keyDirectObject);
        }
        return platform::noErr;
    }

    std::string bundleIdentifier_;
};

}  // namespace script_test
