// Captures the frontmost application's context (bundle identifier, title, link) by running the
// connector script that the connector table holds for it.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "platform/apple_script.h"
#include "platform/url.h"

namespace pendra {

inline constexpr const char* kApplicationConnectorsResource = "ApplicationConnectors";
inline constexpr const char* kUnknownConnectorKey = ".unknown";
inline constexpr const char* kContextBundleIdentifierKey = "bundleIdentifier";
inline constexpr const char* kContextTitleKey = "title";
inline constexpr const char* kContextLinkKey = "link";

class ApplicationConnector {
  public:
    ApplicationConnector();

    bool updateCurrentApplicationContext();
    std::optional<std::string> currentApplicationContextBundleIdentifier() const;
    std::string currentApplicationContextTitle() const;
    std::string currentApplicationContextLink() const;
    void resetCurrentApplicationContext();

    // The script object for a bundle identifier; null for a connector without a script. The
    // generic script is made afresh; a connector's own object is shared.
    std::shared_ptr<platform::AppleScript> appleScriptForApplicationWithBundleIdentifier(
        const std::string& bundleIdentifier);

    std::optional<platform::URL> urlForApplicationWithBundleIdentifier(
        const std::string& bundleIdentifier) const;
    std::optional<std::string> callbackHandlerForApplicationWithBundleIdentifier(
        const std::string& bundleIdentifier) const;

    static std::optional<std::string> activeApplicationName();
    static std::optional<std::string> activeApplicationBundleIdentifier();
    static std::shared_ptr<platform::AppleScript> appleScriptForUnknownApps();
    static void _replacePlaceholdersInScript(std::string& script);
    static std::optional<std::string> _appleScriptStringForConnectorWithKey(const std::string& key);
    static bool _isConnectorExperimentalForKey(const std::string& key);

    const std::map<std::string, std::string>& currentApplicationContext() const {
        return currentApplicationContext_;
    }
    const std::map<std::string, std::shared_ptr<platform::AppleScript>>& compiledScripts() const {
        return compiledScripts_;
    }
    const std::set<std::string>& bundleIdentifiersWithoutAppleScriptSupport() const {
        return bundleIdentifiersWithoutAppleScriptSupport_;
    }

  private:
    void _precompileAppleScripts();

    std::map<std::string, std::string> currentApplicationContext_;
    std::map<std::string, std::shared_ptr<platform::AppleScript>> compiledScripts_;
    std::set<std::string> bundleIdentifiersWithoutAppleScriptSupport_;
};

}  // namespace pendra
