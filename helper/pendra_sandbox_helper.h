// The helper's main object: start-up registrations, the existence check, discovery of the main
// application, the quick-entry entry points, installation, self-update, disabling and login
// items. Its operations are grouped by role in their own source files.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/apple_event_descriptor.h"
#include "platform/application.h"
#include "platform/launch_services.h"
#include "platform/log.h"
#include "platform/url.h"

namespace pendra {

class AppleEventsHandler;
class ApplicationConnector;

class PendraSandboxHelper : public platform::ApplicationDelegate,
                            public platform::ServicesProvider {
  public:
    // init: log handle, connector, services provider, Apple Event handlers, GetURL handler,
    // the first existence check (which may end the process), the hourly timer.
    PendraSandboxHelper();
    ~PendraSandboxHelper() override;
    PendraSandboxHelper(const PendraSandboxHelper&) = delete;
    PendraSandboxHelper& operator=(const PendraSandboxHelper&) = delete;

    const platform::OSLog& log() const { return log_; }
    AppleEventsHandler& appleEventsHandler() { return *appleEventsHandler_; }
    ApplicationConnector& applicationConnector() { return *applicationConnector_; }

    bool isUniqueInstance() const;
    std::int64_t version() const;
    void pendraExistenceCheckTimerFired();

    // Application delegate.
    void applicationDidFinishLaunching() override;
    void applicationWillTerminate() override;

    // Main application discovery.
    static std::vector<std::string> supportedPendraBundleIdentifiers();
    bool pendraBundleExistsWithIdentifier(const std::string& bundleIdentifier) const;
    std::optional<std::string> preferredPendraBundleIdentifier() const;
    std::optional<std::string> firstInstalledPendraBundleIdentifier() const;

    // Quick entry with autofill.
    void invokeQuickEntryWithAutofillWithPropertiesDescriptor(
        const std::optional<platform::AppleEventDescriptor>& propertiesDescriptor,
        const std::optional<std::string>& replyingToAppWithBundleIdentifier);
    // The Services entry; never sets *error.
    void quickEntryWithAutofill(const platform::Pasteboard& pasteboard, const std::string& userData,
                                std::string* error);
    bool performService(const std::string& message, const platform::Pasteboard& pasteboard,
                        const std::string& userData, std::string* error) override;

    // Callback URLs.
    void getURL(const platform::AppleEventDescriptor& event,
                platform::AppleEventDescriptor& withReplyEvent);

    // Installation into the designated folder. A copy started again after its installation
    // failed (handOverFailedBefore) runs where it is and logs why, instead of handing itself
    // over once more.
    void installToDesignatedFolderIfNecessary(bool handOverFailedBefore = false);
    void notifyPendraAboutInstalledHelper();

    // Self-update.
    std::string installationFolderPath() const;
    std::string installationFilePath() const;
    bool updateFromBundleAtPath(const std::optional<std::string>& path);

    // Disabling.
    void disable();

    // Login items.
    void registerLoginItem();
    void unregisterLoginItem();
    void setHelperToRunAsLoginItem(bool enable);
    bool loginItemExistsForPendraHelperWithLoginItemsList(
        const platform::LSSharedFileListRef& list);
    void disableLoginItemsForPendraHelperWithLoginItemsList(
        const platform::LSSharedFileListRef& list, bool skipOwnBundle);
    void enableLoginItemWithLoginItemsList(const platform::LSSharedFileListRef& list,
                                           const platform::URL& forUrl);

  private:
    // Self-update: whether a source may take the installed bundle's place (refusals logged),
    // and starting the relaunch tool for it.
    bool _isAcceptableUpdateSource(const std::string& path);
    bool _handOverToRelaunchTool(const std::string& path);

    platform::OSLog log_;
    std::unique_ptr<AppleEventsHandler> appleEventsHandler_;
    std::unique_ptr<ApplicationConnector> applicationConnector_;
    // Kept only so that a destroyed helper leaves no timer behind that points at it.
    std::optional<platform::TimerID> existenceCheckTimer_;
};

// The process entry: builds the helper, refuses to run twice, installs, registers the login
// item and runs the event loop. Answers the process's exit status. The arguments are those the
// process was launched with, its own path left out.
int helperMain(const std::vector<std::string>& arguments = {});

}  // namespace pendra
