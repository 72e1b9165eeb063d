// Callback URLs: applications that cannot be scripted answer a quick entry later by opening
// pendrahelper://quickentry?name=value&... . The sender's connector script turns the query into
// a title and notes, which go to the preferred copy of the main application.
#include <map>
#include <optional>
#include <string>

#include "helper/context/application_connector.h"
#include "helper/pendra_sandbox_helper.h"
#include "helper/requests/quick_entry_with_autofill_call.h"
#include "helper/requests/sender.h"
#include "platform/apple_script.h"
#include "platform/platform.h"
#include "platform/property_list.h"
#include "platform/url.h"

namespace pendra {

namespace {

constexpr const char* kCallbackURLScheme = "pendrahelper";
constexpr const char* kCallbackURLHost = "quickentry";
constexpr const char* kCallbackHandlerName = "handle_callback";

using CallbackParameters = std::map<std::string, std::string>;

// Query items by name. Items without "=" carry nothing and are left out; of two items with the
// same name the later one counts.
CallbackParameters callbackParametersFromComponents(const platform::URLComponents& components) {
    CallbackParameters parameters;
    if (const auto& items = components.queryItems()) {
        for (const platform::URLQueryItem& item : *items) {
            if (item.value) {
                parameters[item.name] = *item.value;
            }
        }
    }
    return parameters;
}

// The subroutine call of the handler with one argument: a record whose user fields are the
// callback parameters.
platform::AppleEventDescriptor handlerCallEvent(const CallbackParameters& parameters) {
    using platform::AppleEventDescriptor;
    AppleEventDescriptor event = AppleEventDescriptor::appleEventWithEventClass(
        platform::kASAppleScriptSuite, platform::kASSubroutineEvent,
        AppleEventDescriptor::nullDescriptor(), platform::kAutoGenerateReturnID,
        platform::kAnyTransactionID);
    event.setParamDescriptor(AppleEventDescriptor::descriptorWithString(kCallbackHandlerName),
                             platform::keyASSubroutineName);

    AppleEventDescriptor userFields = AppleEventDescriptor::listDescriptor();
    for (const auto& [name, value] : parameters) {
        userFields.insertDescriptor(AppleEventDescriptor::descriptorWithString(name),
                                    userFields.numberOfItems() + 1);
        userFields.insertDescriptor(AppleEventDescriptor::descriptorWithString(value),
                                    userFields.numberOfItems() + 1);
    }
    AppleEventDescriptor record = AppleEventDescriptor::recordDescriptor();
    record.setDescriptor(userFields, platform::keyASUserRecordFields);
    AppleEventDescriptor arguments = AppleEventDescriptor::listDescriptor();
    arguments.insertDescriptor(record, 1);
    event.setParamDescriptor(arguments, platform::keyDirectObject);
    return event;
}

// The text of a list item, or the empty string when the result is no list, lacks the item or
// the item has no text form.
std::string textOfItem(const platform::AppleEventDescriptor& result, std::int64_t index) {
    if (!result.isList()) {
        return {};
    }
    const auto item = result.descriptorAtIndex(index);
    if (!item) {
        return {};
    }
    return item->stringValue().value_or(std::string());
}

}  // namespace

void PendraSandboxHelper::getURL(const platform::AppleEventDescriptor& event,
                                 platform::AppleEventDescriptor& /*withReplyEvent*/) {
    const std::optional<platform::RunningApplication> sender = senderApplication(event);

    // Anything that is not one of our callback URLs is none of our business: no log, no answer.
    const auto directObject = event.paramDescriptorForKeyword(platform::keyDirectObject);
    if (!directObject) {
        return;
    }
    const std::optional<std::string> text = directObject->stringValue();
    if (!text) {
        return;
    }
    const std::optional<platform::URL> url = platform::URL::URLWithString(*text);
    if (!url) {
        return;
    }
    const std::optional<platform::URLComponents> components =
        platform::URLComponents::componentsWithURL(*url);
    if (!components) {
        return;
    }
    if (components->scheme() != kCallbackURLScheme || components->host() != kCallbackURLHost) {
        return;
    }

    const CallbackParameters parameters = callbackParametersFromComponents(*components);

    std::optional<std::string> handlerSource;
    if (sender && sender->bundleIdentifier) {
        handlerSource = applicationConnector().callbackHandlerForApplicationWithBundleIdentifier(
            *sender->bundleIdentifier);
    }
    std::unique_ptr<platform::AppleScript> script;
    if (handlerSource) {
        script = platform::scripting().makeAppleScriptWithSource(*handlerSource);
    }

    // Whatever goes wrong from here on, the main application gets an answer, empty if need be.
    std::string title;
    std::string notes;
    if (script) {
        platform::ScriptErrorInfo errorInfo;
        const std::optional<platform::AppleEventDescriptor> result =
            script->executeAppleEvent(handlerCallEvent(parameters), &errorInfo);
        if (!result || !errorInfo.empty()) {
            platform::NSLog("Error: %@", {platform::PropertyList(errorInfo).description()});
        } else {
            title = textOfItem(*result, 1);
            notes = textOfItem(*result, 2);
        }
    }

    auto call = PendraSandboxHelperQuickEntryWithAutofillCall::callWithCallerAppBundleIdentifier(
        preferredPendraBundleIdentifier(), std::nullopt);
    call.respondWithTitle(title, notes);
}

}  // namespace pendra
