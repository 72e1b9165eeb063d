// Apple Events, distributed notifications, Services requests and URL delivery over the D-Bus
// session bus (sd-bus on the application's sd-event loop).
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "platform/apple_event_manager.h"
#include "platform/application.h"
#include "platform/distributed_notification_center.h"
#include "platform/pasteboard.h"
#include "platform/property_list.h"
#include "platform/url.h"

struct sd_bus;
struct sd_bus_message;
struct sd_bus_slot;
struct sd_event;

namespace platform::linux_platform {

class LinuxApplication;
class LinuxWorkspace;

// Where an application answers on the bus.
inline constexpr const char* kApplicationObjectPath = "/org/pendra/Application";
inline constexpr const char* kApplicationInterface = "org.pendra.Application";
inline constexpr const char* kHandleEventMethod = "HandleEvent";
inline constexpr const char* kPerformServiceMethod = "PerformService";
// Distributed notifications: a signal with the name, the object (none or one) and user info.
inline constexpr const char* kNotificationObjectPath = "/org/pendra/DistributedNotifications";
inline constexpr const char* kNotificationInterface = "org.pendra.DistributedNotifications";
inline constexpr const char* kNotificationSignal = "Posted";

// The well-known bus name of a bundle identifier: characters that D-Bus does not allow in a
// name become "_", and so does a digit that starts an element; a single element gets the
// prefix "app.". Empty for an empty identifier.
std::string busNameForBundleIdentifier(const std::string& bundleIdentifier);

// One connection to the session bus, attached to the application's loop.
class SessionBus {
  public:
    // `bundleIdentifier` is the name to own (none for programs outside a bundle).
    SessionBus(LinuxApplication& application, std::optional<std::string> bundleIdentifier);
    ~SessionBus();
    SessionBus(const SessionBus&) = delete;
    SessionBus& operator=(const SessionBus&) = delete;

    // The connection, opened at first use; null when there is no session bus (logged once).
    sd_bus* connection();
    // Takes the well-known name (once). False when another process owns it or there is no bus.
    bool acquireName();
    bool ownsName() const { return ownsName_; }
    const std::optional<std::string>& bundleIdentifier() const { return bundleIdentifier_; }
    // True when a process owns the name now.
    bool nameHasOwner(const std::string& name);
    LinuxApplication& application() { return application_; }

    // What the exported methods call.
    std::function<std::vector<std::uint8_t>(std::span<const std::uint8_t>, pid_t sender)>
        eventReceiver;
    std::function<std::optional<std::string>(
        const std::string& message, const std::string& userData, const Pasteboard& pasteboard)>
        serviceReceiver;

  private:
    LinuxApplication& application_;
    std::optional<std::string> bundleIdentifier_;
    sd_bus* bus_ = nullptr;
    sd_bus_slot* objectSlot_ = nullptr;
    bool attempted_ = false;
    bool ownsName_ = false;
    bool nameAttempted_ = false;
};

class LinuxAppleEventManager final : public AppleEventManager {
  public:
    // `bundleOfProcess` answers the bundle identifier of a process, for events addressed by
    // process serial number.
    LinuxAppleEventManager(SessionBus& bus,
                           std::function<std::optional<std::string>(pid_t)> bundleOfProcess);

    void setEventHandler(AEEventClass eventClass, AEEventID eventID,
                         AppleEventHandler handler) override;
    void removeEventHandler(AEEventClass eventClass, AEEventID eventID) override;
    OSStatus AESendMessage(const AppleEventDescriptor& event, AppleEventDescriptor* reply,
                           std::int32_t sendMode, long timeoutInTicks) override;

    // Handles an event from a process and answers the reply (what the bus method does).
    AppleEventDescriptor dispatch(AppleEventDescriptor event, pid_t sender);

    // Answers events for the applications of the desktop, which do not speak the bus
    // protocol: the status when the target is one of them (the reply filled), absent when not.
    using DesktopAnswerer = std::function<std::optional<OSStatus>(
        const std::string& bundleIdentifier, const AppleEventDescriptor& event,
        AppleEventDescriptor& reply, std::chrono::milliseconds timeout)>;
    void setDesktopAnswerer(DesktopAnswerer answerer) { desktopAnswerer_ = std::move(answerer); }

  private:
    SessionBus& bus_;
    std::function<std::optional<std::string>(pid_t)> bundleOfProcess_;
    DesktopAnswerer desktopAnswerer_;
    std::map<std::pair<AEEventClass, AEEventID>, AppleEventHandler> handlers_;
};

class LinuxDistributedNotificationCenter final : public DistributedNotificationCenter {
  public:
    explicit LinuxDistributedNotificationCenter(SessionBus& bus) : bus_(bus) {}
    void postNotificationName(const std::string& name, const std::optional<std::string>& object,
                              const NotificationUserInfo& userInfo = {}) override;

  private:
    SessionBus& bus_;
};

// A Services request to the application that owns a bundle identifier's bus name. noErr and
// *error empty when the provider ran the service; procNotFound when nothing owns the name;
// paramErr with *error set when the provider refused or failed.
OSStatus sendServicesRequest(SessionBus& bus, const std::string& bundleIdentifier,
                             const std::string& message, const std::string& userData,
                             const Pasteboard& pasteboard, std::string* error);

// Answers a Services request in the receiving process: runs the provider's operation when its
// Info.plist declares the message under NSServices; otherwise, or without provider, the text
// of the refusal.
std::optional<std::string> performServiceRequest(ServicesProvider* provider,
                                                 const PropertyList& providerInfo,
                                                 const std::string& message,
                                                 const std::string& userData,
                                                 const Pasteboard& pasteboard);

// Observers of every distributed notification of the session; they run on the application's
// loop. The subscriptions end with the object.
class DistributedNotificationObservers {
  public:
    using Observer =
        std::function<void(const std::string& name, const std::optional<std::string>& object,
                           const NotificationUserInfo& userInfo)>;
    explicit DistributedNotificationObservers(SessionBus& bus) : bus_(bus) {}
    ~DistributedNotificationObservers();
    DistributedNotificationObservers(const DistributedNotificationObservers&) = delete;
    DistributedNotificationObservers& operator=(const DistributedNotificationObservers&) = delete;

    // False when there is no session bus or the subscription failed (logged).
    bool add(Observer observer);
    // Hands a received notification to every observer.
    void deliver(const std::string& name, const std::optional<std::string>& object,
                 const NotificationUserInfo& userInfo) const;

  private:
    SessionBus& bus_;
    sd_bus_slot* slot_ = nullptr;
    std::vector<Observer> observers_;
};

// openURL: the application that declares the URL's scheme gets a 'GURL' event, launched first
// when it does not run; other URLs go to xdg-open.
class URLOpener {
  public:
    URLOpener(LinuxApplication& application, LinuxWorkspace& workspace,
              LinuxAppleEventManager& events, SessionBus& bus);
    bool openURL(const URL& url);

    // How long a launched application has to appear on the bus.
    static constexpr double kLaunchWaitSeconds = 10.0;

  private:
    void deliver(const URL& url);
    LinuxApplication& application_;
    LinuxWorkspace& workspace_;
    LinuxAppleEventManager& events_;
    SessionBus& bus_;
};

// The bundle path of an application (running first, then installed) whose Info.plist declares
// the scheme under CFBundleURLTypes; absent when none does. Processes are seen machine-wide, so
// a running application counts only when `inSession` says its identifier can be reached (all
// do without it): one of another session could never be given the URL.
std::optional<std::string> applicationForURLScheme(
    LinuxWorkspace& workspace, const std::string& scheme,
    const std::function<bool(const std::string& bundleIdentifier)>& inSession = {});

}  // namespace platform::linux_platform
