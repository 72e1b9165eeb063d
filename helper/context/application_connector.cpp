// The connector table's lookups and the capture of the frontmost application's context.
#include "helper/context/application_connector.h"

#include <cstdint>
#include <string>

#include "helper/constants.h"
#include "helper/context/config_dictionary_cache_controller.h"
#include "platform/format.h"
#include "platform/log.h"
#include "platform/platform.h"
#include "platform/utf.h"

namespace pendra {
namespace {

constexpr const char* kAppleScriptUsingBundleIDKey = "AppleScriptUsingBundleID";
constexpr const char* kAppleScriptKey = "AppleScript";
constexpr const char* kIsExperimentalKey = "IsExperimental";
constexpr const char* kURLKey = "URL";
constexpr const char* kCallbackHandlerKey = "CallbackHandler";
constexpr const char* kApplicationNamePlaceholder = "CURRENTAPPNAME";
constexpr const char* kBundleIdentifierPlaceholder = "CURRENTBUNDLEID";

// The connector dictionary under a key, exactly as given; null without a table or connector.
const platform::PropertyList* connectorForKey(
    const std::shared_ptr<const platform::PropertyList>& table, const std::string& key) {
    if (!table) {
        return nullptr;
    }
    const platform::PropertyList* connector = table->objectForKey(key);
    if (connector == nullptr || !connector->isDictionary()) {
        return nullptr;
    }
    return connector;
}

std::shared_ptr<const platform::PropertyList> connectorTable() {
    return ConfigDictionaryCacheController::sharedInstance().dictForKey(
        kApplicationConnectorsResource);
}

std::optional<std::string> stringForKey(const platform::PropertyList* connector,
                                        const std::string& key) {
    if (connector == nullptr) {
        return std::nullopt;
    }
    const platform::PropertyList* value = connector->objectForKey(key);
    if (value == nullptr || value->stringValue() == nullptr) {
        return std::nullopt;
    }
    return *value->stringValue();
}

void replaceAll(std::string& text, const std::string& placeholder, const std::string& value) {
    std::size_t position = 0;
    while ((position = text.find(placeholder, position)) != std::string::npos) {
        text.replace(position, placeholder.size(), value);
        position += value.size();
    }
}

// A value made safe inside an AppleScript string literal: the generic script is run by a
// helper without a sandbox, so a crafted application name must not end the literal and add code.
std::string escapedForStringLiteral(const std::string& value) {
    std::string escaped = value;
    replaceAll(escaped, "\\", "\\\\");
    replaceAll(escaped, "\"", "\\\"");
    return escaped;
}

// The error number of a script's error information as a 32-bit integer; 0 when missing.
std::int32_t errorNumber(const platform::ScriptErrorInfo& errorInfo) {
    const auto entry = errorInfo.find(platform::NSAppleScriptErrorNumber);
    if (entry == errorInfo.end()) {
        return 0;
    }
    const platform::PropertyList& value = entry->second;
    if (const auto number = value.integerValue()) {
        return static_cast<std::int32_t>(*number);
    }
    if (const auto real = value.realValue()) {
        return static_cast<std::int32_t>(static_cast<std::int64_t>(*real));
    }
    if (const std::string* text = value.stringValue()) {
        return static_cast<std::int32_t>(platform::integerValueOfText(*text));
    }
    return 0;
}

// A value as a log line prints a lone object: text and numbers as they are, containers in
// their described form.
std::string objectText(const platform::PropertyList& value) {
    if (const std::string* text = value.stringValue()) {
        return *text;
    }
    if (const auto number = value.integerValue()) {
        return std::to_string(*number);
    }
    if (const auto flag = value.booleanValue()) {
        return *flag ? "1" : "0";
    }
    return value.description();
}

std::shared_ptr<platform::AppleScript> makeScript(const std::string& source) {
    return std::shared_ptr<platform::AppleScript>(
        platform::scripting().makeAppleScriptWithSource(source));
}

}  // namespace

ApplicationConnector::ApplicationConnector() {
    _precompileAppleScripts();
}

void ApplicationConnector::_precompileAppleScripts() {
    const std::shared_ptr<const platform::PropertyList> table = connectorTable();
    if (!table || table->dictionaryValue() == nullptr) {
        return;
    }
    for (const auto& [key, connector] : *table->dictionaryValue()) {
        if (const std::optional<std::string> source = _appleScriptStringForConnectorWithKey(key)) {
            // Made from source only: compiled at its first run, then reused by every capture.
            if (auto script = makeScript(*source)) {
                compiledScripts_[key] = std::move(script);
            } else {
                // The application is then served by the generic connector.
                platform::NSLog("Could not make the AppleScript of application connector %@",
                                {key});
            }
        } else {
            bundleIdentifiersWithoutAppleScriptSupport_.insert(key);
        }
    }
}

std::optional<std::string> ApplicationConnector::_appleScriptStringForConnectorWithKey(
    const std::string& key) {
    const std::shared_ptr<const platform::PropertyList> table = connectorTable();
    const platform::PropertyList* connector = connectorForKey(table, key);
    if (auto source = stringForKey(connector, kAppleScriptUsingBundleIDKey)) {
        return source;
    }
    return stringForKey(connector, kAppleScriptKey);
}

bool ApplicationConnector::_isConnectorExperimentalForKey(const std::string& key) {
    const std::shared_ptr<const platform::PropertyList> table = connectorTable();
    const platform::PropertyList* connector = connectorForKey(table, key);
    if (connector == nullptr) {
        return false;
    }
    const platform::PropertyList* experimental = connector->objectForKey(kIsExperimentalKey);
    return experimental != nullptr && experimental->boolValue();
}

std::optional<platform::URL> ApplicationConnector::urlForApplicationWithBundleIdentifier(
    const std::string& bundleIdentifier) const {
    const std::shared_ptr<const platform::PropertyList> table = connectorTable();
    const std::optional<std::string> text = stringForKey(
        connectorForKey(table, platform::utf::asciiLowercased(bundleIdentifier)), kURLKey);
    if (!text) {
        return std::nullopt;
    }
    return platform::URL::URLWithString(*text);
}

std::optional<std::string> ApplicationConnector::callbackHandlerForApplicationWithBundleIdentifier(
    const std::string& bundleIdentifier) const {
    const std::shared_ptr<const platform::PropertyList> table = connectorTable();
    return stringForKey(connectorForKey(table, platform::utf::asciiLowercased(bundleIdentifier)),
                        kCallbackHandlerKey);
}

namespace {

// The frontmost application while a capture is being made: the name, the identifier and the
// generic connector's placeholders all need it, and each question costs the desktop a round
// trip, so a capture asks once.
struct FrontmostOfCapture {
    bool capturing = false;
    std::optional<platform::RunningApplication> application;  // absent: nothing in front
};
FrontmostOfCapture frontmostOfCapture;

std::optional<platform::RunningApplication> frontmostApplication() {
    return frontmostOfCapture.capturing ? frontmostOfCapture.application
                                        : platform::workspace().frontmostApplication();
}

}  // namespace

std::optional<std::string> ApplicationConnector::activeApplicationName() {
    const auto frontmost = frontmostApplication();
    if (!frontmost) {
        return std::nullopt;
    }
    return frontmost->localizedName;
}

std::optional<std::string> ApplicationConnector::activeApplicationBundleIdentifier() {
    const auto frontmost = frontmostApplication();
    if (!frontmost || !frontmost->bundleIdentifier) {
        return std::nullopt;
    }
    return platform::utf::asciiLowercased(*frontmost->bundleIdentifier);
}

std::shared_ptr<platform::AppleScript> ApplicationConnector::appleScriptForUnknownApps() {
    const std::optional<std::string> source =
        _appleScriptStringForConnectorWithKey(kUnknownConnectorKey);
    if (!source) {
        platform::NSLog("No AppleScript for the generic application connector %@",
                        {kUnknownConnectorKey});
        return nullptr;
    }
    std::string script = *source;
    _replacePlaceholdersInScript(script);
    return makeScript(script);
}

void ApplicationConnector::_replacePlaceholdersInScript(std::string& script) {
    // An application without a name or identifier leaves an empty literal behind.
    const std::optional<std::string> name = activeApplicationName();
    replaceAll(script, kApplicationNamePlaceholder, escapedForStringLiteral(name.value_or("")));
    const std::optional<std::string> bundleIdentifier = activeApplicationBundleIdentifier();
    replaceAll(script, kBundleIdentifierPlaceholder,
               escapedForStringLiteral(bundleIdentifier.value_or("")));
}

std::shared_ptr<platform::AppleScript>
ApplicationConnector::appleScriptForApplicationWithBundleIdentifier(
    const std::string& bundleIdentifier) {
    if (bundleIdentifiersWithoutAppleScriptSupport_.contains(bundleIdentifier)) {
        return nullptr;
    }
    const std::string key = platform::utf::asciiLowercased(bundleIdentifier);
    // Read at every capture, so that switching the default takes effect at once.
    const bool usable =
        !_isConnectorExperimentalForKey(key) ||
        platform::standardUserDefaults().boolForKey(kExperimentalIntegrationsEnabledKey);
    if (usable) {
        if (const auto script = compiledScripts_.find(key); script != compiledScripts_.end()) {
            return script->second;
        }
    }
    return appleScriptForUnknownApps();
}

bool ApplicationConnector::updateCurrentApplicationContext() {
    resetCurrentApplicationContext();
    frontmostOfCapture = {true, platform::workspace().frontmostApplication()};
    struct EndOfCapture {
        ~EndOfCapture() { frontmostOfCapture = {}; }
    } endOfCapture;

    const std::optional<std::string> bundleIdentifier = activeApplicationBundleIdentifier();
    const std::optional<std::string> name = activeApplicationName();
    if (!bundleIdentifier) {
        platform::NSLog(
            "The frontmost application has no bundle identifier (%@); using the generic connector",
            {name});
    }

    const std::shared_ptr<platform::AppleScript> script =
        bundleIdentifier ? appleScriptForApplicationWithBundleIdentifier(*bundleIdentifier)
                         : appleScriptForUnknownApps();
    if (!script) {
        platform::NSLog("No AppleScript to run for application connector %@", {bundleIdentifier});
        std::optional<platform::URL> url;
        if (bundleIdentifier) {
            url = urlForApplicationWithBundleIdentifier(*bundleIdentifier);
        }
        if (url) {
            // The application answers later through the helper's callback URL.
            platform::workspace().openURL(*url);
        } else {
            platform::NSLog("No URL to open for application connector %@", {bundleIdentifier});
        }
        return false;
    }

    platform::ScriptErrorInfo errorInfo;
    const std::optional<platform::AppleEventDescriptor> result =
        script->executeAndReturnError(&errorInfo);
    if (!errorInfo.empty()) {
        for (const auto& [key, value] : errorInfo) {
            platform::NSLog("AppleScript execution error: %@ = %@", {key, objectText(value)});
        }
        if (errorNumber(errorInfo) == platform::errAEEventNotPermitted) {
            platform::NotificationUserInfo userInfo;
            if (name) {
                userInfo[ApplicationNameKey] = *name;
            }
            platform::distributedNotificationCenter().postNotificationName(
                PendraMacSandboxHelperDidFailDueToMissingPermissionsNotification, std::nullopt,
                userInfo);
            return false;
        }
        return true;
    }
    if (!result) {
        return true;
    }

    std::optional<std::string> title;
    if (const auto item = result->descriptorAtIndex(1)) {
        title = item->stringValue();
    }
    std::optional<std::string> link;
    if (const auto item = result->descriptorAtIndex(2)) {
        link = item->stringValue();
    }
    if (!link || link->empty()) {
        return true;
    }
    if (bundleIdentifier) {
        currentApplicationContext_[kContextBundleIdentifierKey] = *bundleIdentifier;
    }
    if (title) {
        currentApplicationContext_[kContextTitleKey] = *title;
    }
    currentApplicationContext_[kContextLinkKey] = *link;
    return true;
}

std::optional<std::string> ApplicationConnector::currentApplicationContextBundleIdentifier() const {
    const auto entry = currentApplicationContext_.find(kContextBundleIdentifierKey);
    if (entry == currentApplicationContext_.end()) {
        return std::nullopt;
    }
    return entry->second;
}

std::string ApplicationConnector::currentApplicationContextTitle() const {
    const auto entry = currentApplicationContext_.find(kContextTitleKey);
    return entry == currentApplicationContext_.end() ? std::string() : entry->second;
}

std::string ApplicationConnector::currentApplicationContextLink() const {
    const auto entry = currentApplicationContext_.find(kContextLinkKey);
    return entry == currentApplicationContext_.end() ? std::string() : entry->second;
}

void ApplicationConnector::resetCurrentApplicationContext() {
    currentApplicationContext_.clear();
}

}  // namespace pendra
