// Apple Events, distributed notifications, Services requests and URL delivery over the D-Bus
// session bus (sd-bus on the application's sd-event loop). Each has a room of its own:
//   bus_connection.cpp            the connection, the application object, the following of names
//   event_transport.cpp           how events cross the bus (bytes or a memory file)
//   apple_event_manager.cpp       where an event goes: this process, the desktop, or the bus
//   services.cpp                  Services requests
//   distributed_notifications.cpp posting and observing notifications
//   url_opener.cpp                opening URLs
// and all of them speak to the bus through bus_messages.h.
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

#include "platform/apple_event_handler_table.h"
#include "platform/apple_event_manager.h"
#include "platform/application.h"
#include "platform/distributed_notification_center.h"
#include "platform/pasteboard.h"
#include "platform/property_list.h"
#include "platform/url.h"
#include "sd_bus_handles.h"

namespace platform::linux_platform {

class EventFiles;
class LinuxApplication;
class LinuxWorkspace;

// Where an application answers on the bus: every application process exports this object on
// the bus name of its bundle identifier.
//   HandleEvent(ay event) -> (ay reply): an Apple Event, flattened, and its reply
//   HandleEventInSharedMemory(h file, t size) -> (ay reply): the same, the flattened event in the
//     first `size` bytes of a memory file sealed against shrinking and growing (see
//     linux_event_files.h); senders use it for events of kEventInMemoryFileBytes and more, so
//     that the bus daemon relays a handle instead of the bytes, and fall back to HandleEvent
//     when the receiver does not know it
//   PerformService(s message, s userData, as types, a{ss} strings) -> (s result): a Services
//     request with its pasteboard; a refusal is the error kServiceFailedError
inline constexpr const char* kApplicationObjectPath = "/com/orvano/Pendra/Application";
inline constexpr const char* kApplicationInterface = "com.orvano.Pendra.Application";
inline constexpr const char* kHandleEventMethod = "HandleEvent";
inline constexpr const char* kHandleEventInSharedMemoryMethod = "HandleEventInSharedMemory";
inline constexpr std::size_t kEventInMemoryFileBytes = 64 * 1024;
inline constexpr const char* kPerformServiceMethod = "PerformService";
inline constexpr const char* kServiceFailedError = "com.orvano.Pendra.Error.ServiceFailed";
// Distributed notifications: every connection declares the signal on this object and posts
// it from there.
//   Posted(s name, as object, a{ss} userInfo): the object is an empty list or one string
inline constexpr const char* kNotificationObjectPath =
    "/com/orvano/Pendra/DistributedNotifications";
inline constexpr const char* kNotificationInterface = "com.orvano.Pendra.DistributedNotifications";
inline constexpr const char* kNotificationSignal = "Posted";

// The most bytes one event or reply may take on the bus (flattened): a message on the bus may
// carry at most 32 MiB by the daemon's default limit (an array at most 64 MiB by the protocol),
// and the daemon closes the connection of a process that sends more. Larger events are not
// sent and larger replies are answered with an error, both logged.
inline constexpr std::size_t kMaximumEventBytes = 30 * 1024 * 1024;

// The well-known bus name of a bundle identifier: characters that D-Bus does not allow in a
// name become "_", and so does a digit that starts an element; a single element gets the
// prefix "app.". Empty for an empty identifier.
std::string busNameForBundleIdentifier(const std::string& bundleIdentifier);

// The process id of a process handle (a pidfd); absent once the process has ended, or when it
// cannot be seen from here.
std::optional<pid_t> processOfHandle(int pidfd);

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
    // The unique name of the connection that owns a name now, as the daemon last told (the
    // name is followed from the first question on; a unique name owns itself); empty when none
    // does or the name cannot be followed.
    std::string ownerOfName(const std::string& name);
    // The memory files kept for large events to other connections.
    EventFiles& eventFiles() { return *eventFiles_; }
    // Calls `then` on the loop once a process owns the name (true), at once when one does
    // already, or after `seconds` without an owner (false). Follows the bus daemon's
    // NameOwnerChanged signal; the wait ends with this object.
    void whenNameHasOwner(const std::string& name, double seconds,
                          std::function<void(bool owned)> then);
    LinuxApplication& application() { return application_; }

    // The address of the connection that sent a message: the numbers of its unique name
    // (":A.B") as a process serial number {0x80000000 | A, B}, which stands for the process
    // without asking the bus daemon who it is. Absent for a name of another form.
    static std::optional<ProcessSerialNumber> serialNumberOfConnection(const char* uniqueName);
    // A sender's address as the log shows it.
    static std::string describeSender(const ProcessSerialNumber& sender);
    // The process id that a serial number stands for: {0, pid} holds it; a connection's address
    // asks the bus daemon (GetConnectionCredentials: the process handle taken when the
    // connection was made where the daemon gives one, else its process id) now. Absent when it
    // cannot be told, or the process of the handle has ended.
    std::optional<pid_t> processOfSerialNumber(const ProcessSerialNumber& psn);
    // The process that owns a name (well-known or unique) now, asked of the bus daemon; absent
    // when nobody owns it or there is no bus.
    std::optional<pid_t> processOwningName(const std::string& name);

    // Called when this process can no longer be reached: the connection to the bus was lost, or
    // the bus is there but another process owns the name (then from the loop, so that a
    // program that ends before running its loop is not ended by it). The reason is logged
    // either way.
    std::function<void(const std::string& reason)> whenUnreachable;

    // What the exported methods call with the bytes of an event and the message that holds
    // them; `sender` is the address of the sending connection. The answer is flattened straight
    // into the reply message.
    std::function<AppleEventDescriptor(std::span<const std::uint8_t>,
                                       std::shared_ptr<const void> message,
                                       const ProcessSerialNumber& sender)>
        eventReceiver;
    std::function<std::optional<std::string>(
        const std::string& message, const std::string& userData, const Pasteboard& pasteboard)>
        serviceReceiver;

  private:
    struct NameWait;
    struct FollowedName;
    void endNameWait(NameWait* wait, bool owned);
    // Ends the waits for a followed name, which has just got an owner.
    void nameHasAppeared(std::string name);
    // A well-known name whose owner is followed from the moment it is first asked about; null
    // for a unique name, or when it cannot be followed. Beyond the limit of followed names
    // only a name to wait for is followed, until its last wait ends.
    FollowedName* followedName(const std::string& name, bool forWait = false);
    void letGoOfWaitedName(const std::string& name);
    void unreachable(const std::string& reason);

    LinuxApplication& application_;
    std::optional<std::string> bundleIdentifier_;
    // Declared after the connection, so that the slots go before it.
    BusConnection bus_;
    BusSlot objectSlot_;
    BusSlot notificationSlot_;
    BusSlot disconnectSlot_;
    std::vector<std::unique_ptr<NameWait>> nameWaits_;
    std::map<std::string, std::unique_ptr<FollowedName>> followedNames_;
    std::shared_ptr<EventFiles> eventFiles_;
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

    // Handles an event from a sender (its 'addr' attribute) and answers the reply (what the
    // bus method does).
    AppleEventDescriptor dispatch(AppleEventDescriptor event, const ProcessSerialNumber& sender);

    // Answers events for the applications of the desktop, which do not speak the bus
    // protocol: the status when the target is one of them (the reply filled), absent when not.
    // Asked only when no process that owns the target's bus name speaks our interface.
    using DesktopAnswerer = std::function<std::optional<OSStatus>(
        const std::string& bundleIdentifier, const AppleEventDescriptor& event,
        AppleEventDescriptor& reply, std::chrono::milliseconds timeout)>;
    void setDesktopAnswerer(DesktopAnswerer answerer) { desktopAnswerer_ = std::move(answerer); }

  private:
    // The bundle identifier of the event's target: named, or the one of the process it names.
    // noErr, or paramErr for no target or one of another kind, procNotFound for none found.
    OSStatus targetBundleIdentifier(const AppleEventDescriptor& event,
                                    std::string& bundleIdentifier);

    SessionBus& bus_;
    std::function<std::optional<std::string>(pid_t)> bundleOfProcess_;
    DesktopAnswerer desktopAnswerer_;
    AppleEventHandlerTable handlers_;
    // Owners of a name (by unique name) that the desktop answers for without asking them over
    // the bus first, and until when: for good once one has said it does not speak our
    // interface, for a while once one has not answered in time.
    std::map<std::string, std::chrono::steady_clock::time_point> answeredByTheDesktop_;
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
// The application object's PerformService method (the connection exports it); `userdata` is
// the SessionBus, whose serviceReceiver answers.
int performServiceMethod(sd_bus_message* message, void* userdata, sd_bus_error* error);

// Observers of every distributed notification of the session; they run on the application's
// loop. The subscriptions end with the object.
class DistributedNotificationObservers {
  public:
    using Observer =
        std::function<void(const std::string& name, const std::optional<std::string>& object,
                           const NotificationUserInfo& userInfo)>;
    explicit DistributedNotificationObservers(SessionBus& bus) : bus_(bus) {}
    DistributedNotificationObservers(const DistributedNotificationObservers&) = delete;
    DistributedNotificationObservers& operator=(const DistributedNotificationObservers&) = delete;

    // False when there is no session bus or the subscription failed (logged).
    bool add(Observer observer);
    // Hands a received notification to every observer.
    void deliver(const std::string& name, const std::optional<std::string>& object,
                 const NotificationUserInfo& userInfo) const;

  private:
    SessionBus& bus_;
    BusSlot slot_;
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
