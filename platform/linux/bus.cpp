#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <climits>
#include <cstring>
#include <variant>

#include "linux_application.h"
#include "linux_bundles.h"
#include "linux_bus.h"
#include "linux_event_files.h"
#include "linux_support.h"
#include "platform/apple_event_descriptor.h"
#include "platform/utf.h"

namespace platform::linux_platform {
namespace {

constexpr std::uint64_t kServicesTimeoutUsec = 30'000'000;
// Marks a process serial number that holds a connection's unique name.
constexpr std::uint32_t kConnectionMark = 0x8000'0000u;

bool isNoOwnerError(const sd_bus_error* error) {
    return sd_bus_error_has_name(error, SD_BUS_ERROR_SERVICE_UNKNOWN) ||
           sd_bus_error_has_name(error, SD_BUS_ERROR_NAME_HAS_NO_OWNER);
}
bool isNoOwnerError(const BusError& error) {
    return isNoOwnerError(&error.error);
}

// Whether an event sent in a memory file goes again, as bytes, to the name it was meant for: a
// receiver that takes no memory files takes the bytes, and so does the name's owner when the
// connection that held a kept file is gone.
bool resendAsBytes(const sd_bus_error* error, const EventFile& file) {
    return sd_bus_error_has_name(error, SD_BUS_ERROR_UNKNOWN_METHOD) ||
           (!file.heldBy().empty() && isNoOwnerError(error));
}

std::uint64_t timeoutUsec(long ticks) {
    if (ticks == -1) {  // kAEDefaultTimeout: about two minutes, as on the platform
        return 120'000'000;
    }
    if (ticks < 0) {  // kNoTimeOut
        return 24ull * 3600 * 1'000'000;
    }
    return static_cast<std::uint64_t>(ticks) * 1'000'000 / 60;
}

// Keeps a message, and the bytes read from it, for as long as a descriptor shares them.
std::shared_ptr<const void> keptAlive(sd_bus_message* message) {
    return std::shared_ptr<const void>(sd_bus_message_ref(message), [](const void* kept) {
        sd_bus_message_unref(static_cast<sd_bus_message*>(const_cast<void*>(kept)));
    });
}

// The descriptor's byte form, written once, straight into the message.
int appendFlattening(sd_bus_message* message, const AppleEventDescriptor& descriptor) {
    const std::size_t size = descriptor.flattenedSize();
    void* room = nullptr;
    const int r = sd_bus_message_append_array_space(message, 'y', size, &room);
    if (r >= 0) {
        descriptor.flattenInto(static_cast<std::uint8_t*>(room));
    }
    return r;
}

// A call of an event method on the application object of `name`, not starting anything.
int newEventCall(sd_bus* bus, const std::string& name, bool inMemoryFile, BusMessage& call) {
    const int r = sd_bus_message_new_method_call(
        bus, call.out(), name.c_str(), kApplicationObjectPath, kApplicationInterface,
        inMemoryFile ? kHandleEventInSharedMemoryMethod : kHandleEventMethod);
    if (r >= 0) {
        sd_bus_message_set_auto_start(call.get(), 0);
    }
    return r;
}

// An event in a memory file sent without waiting: its reply is awaited on the loop all the
// same, so that a receiver that does not know memory files still gets the bytes, and so that
// the file is kept for the next event once the receiver is done with it.
struct EventFileInFlight {
    std::string name;
    std::string receiver;  // the unique name the file is kept for
    std::unique_ptr<EventFile> file;
    std::size_t size;
    std::weak_ptr<EventFiles> files;
};

int whenEventFileAnswered(sd_bus_message* answer, void* userdata, sd_bus_error* /*error*/) {
    auto* sent = static_cast<EventFileInFlight*>(userdata);
    const sd_bus_error* error = sd_bus_message_get_error(answer);
    if (error == nullptr) {
        const char* sender = sd_bus_message_get_sender(answer);
        if (const auto files = sent->files.lock();
            files && sender != nullptr && sent->receiver == sender) {
            files->keep(sent->receiver, std::move(sent->file));
        }
        return 0;
    }
    if (!resendAsBytes(error, *sent->file)) {
        return 0;
    }
    sd_bus* bus = sd_bus_message_get_bus(answer);
    BusMessage call;
    int r = newEventCall(bus, sent->name, false, call);
    if (r >= 0) {
        r = sd_bus_message_append_array(call.get(), 'y', sent->file->bytes(), sent->size);
    }
    if (r >= 0) {
        sd_bus_message_set_expect_reply(call.get(), 0);
        r = sd_bus_send(bus, call.get(), nullptr);
    }
    if (r < 0) {
        logLine("An event that " + sent->name +
                " took only as bytes could not be sent again: " + std::strerror(-r));
    }
    return 0;
}

int sendEventFileAwaitingAnswer(sd_bus* bus, std::unique_ptr<EventFileInFlight> inFlight,
                                sd_bus_message* call) {
    sd_bus_slot* slot = nullptr;
    const int r = sd_bus_call_async(bus, &slot, call, whenEventFileAnswered, inFlight.get(), 0);
    if (r < 0) {
        return r;
    }
    // The slot goes with the reply (or the connection) and takes the file with it.
    sd_bus_slot_set_destroy_callback(
        slot, [](void* userdata) { delete static_cast<EventFileInFlight*>(userdata); });
    inFlight.release();
    sd_bus_slot_set_floating(slot, 1);
    sd_bus_slot_unref(slot);
    return r;
}

// Answers an event, its bytes held by `owner`, with a reply when the sender expects one.
int answerEvent(sd_bus_message* message, SessionBus* bus, std::span<const std::uint8_t> bytes,
                std::shared_ptr<const void> owner) {
    // The sender is who the bus says it is, never what the event claims. Its process id is
    // asked for only when a handler reads it; a connection without a unique name (a direct
    // one) tells its process at once.
    auto sender = SessionBus::serialNumberOfConnection(sd_bus_message_get_sender(message));
    if (!sender) {
        pid_t pid = 0;
        BusCredentials creds;
        if (sd_bus_query_sender_creds(message, SD_BUS_CREDS_PID, creds.out()) >= 0) {
            sd_bus_creds_get_pid(creds.get(), &pid);
        }
        sender = ProcessSerialNumber{0, static_cast<std::uint32_t>(pid)};
    }
    if (!bus->eventReceiver) {
        return -ENOSYS;
    }
    const AppleEventDescriptor answer = bus->eventReceiver(bytes, std::move(owner), *sender);
    if (sd_bus_message_get_expect_reply(message) == 0) {
        return 1;
    }
    BusMessage reply;
    int r = sd_bus_message_new_method_return(message, reply.out());
    if (r >= 0) {
        r = appendFlattening(reply.get(), answer);
    }
    if (r >= 0) {
        r = sd_bus_send(nullptr, reply.get(), nullptr);
    }
    return r < 0 ? r : 1;
}

int handleEventMethod(sd_bus_message* message, void* userdata, sd_bus_error* /*error*/) {
    const void* bytes = nullptr;
    std::size_t size = 0;
    const int r = sd_bus_message_read_array(message, 'y', &bytes, &size);
    if (r < 0) {
        return r;
    }
    return answerEvent(message, static_cast<SessionBus*>(userdata),
                       std::span<const std::uint8_t>(static_cast<const std::uint8_t*>(bytes), size),
                       keptAlive(message));
}

int handleEventInSharedMemoryMethod(sd_bus_message* message, void* userdata, sd_bus_error* error) {
    int fd = -1;
    std::uint64_t size = 0;
    const int r = sd_bus_message_read(message, "ht", &fd, &size);
    if (r < 0) {
        return r;
    }
    auto* bus = static_cast<SessionBus*>(userdata);
    auto copied = bus->eventFiles().copyOfEvent(fd, size);
    if (const auto* refusal = std::get_if<std::string>(&copied)) {
        const char* sender = sd_bus_message_get_sender(message);
        logLine(std::string("Refusing an event from ") + (sender != nullptr ? sender : "a peer") +
                " in " + *refusal);
        return sd_bus_error_set(error, SD_BUS_ERROR_INVALID_ARGS, refusal->c_str());
    }
    auto& bytes = std::get<0>(copied);
    const std::span<const std::uint8_t> event(bytes.get(), static_cast<std::size_t>(size));
    return answerEvent(message, bus, event, std::move(bytes));
}

int readPasteboard(sd_bus_message* message, Pasteboard& pasteboard) {
    int r = sd_bus_message_enter_container(message, 'a', "s");
    if (r < 0) {
        return r;
    }
    const char* type = nullptr;
    while ((r = sd_bus_message_read(message, "s", &type)) > 0) {
        pasteboard.types.emplace_back(type);
    }
    if (r < 0 || (r = sd_bus_message_exit_container(message)) < 0) {
        return r;
    }
    r = sd_bus_message_enter_container(message, 'a', "{ss}");
    if (r < 0) {
        return r;
    }
    const char* key = nullptr;
    const char* value = nullptr;
    while ((r = sd_bus_message_read(message, "{ss}", &key, &value)) > 0) {
        pasteboard.strings[key] = value;
    }
    if (r < 0) {
        return r;
    }
    return sd_bus_message_exit_container(message);
}

int performServiceMethod(sd_bus_message* message, void* userdata, sd_bus_error* error) {
    auto* bus = static_cast<SessionBus*>(userdata);
    const char* name = nullptr;
    const char* userData = nullptr;
    int r = sd_bus_message_read(message, "ss", &name, &userData);
    if (r < 0) {
        return r;
    }
    Pasteboard pasteboard;
    if ((r = readPasteboard(message, pasteboard)) < 0) {
        return r;
    }
    std::optional<std::string> refusal = std::string("This application offers no services");
    if (bus->serviceReceiver) {
        refusal = bus->serviceReceiver(name, userData, pasteboard);
    }
    if (refusal) {
        return sd_bus_error_set(error, kServiceFailedError, refusal->c_str());
    }
    return sd_bus_reply_method_return(message, "s", "");
}

const sd_bus_vtable kApplicationVTable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD_WITH_NAMES(kHandleEventMethod, "ay", SD_BUS_PARAM(event), "ay",
                             SD_BUS_PARAM(reply), handleEventMethod, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD_WITH_NAMES(kHandleEventInSharedMemoryMethod, "ht",
                             SD_BUS_PARAM(file) SD_BUS_PARAM(size), "ay", SD_BUS_PARAM(reply),
                             handleEventInSharedMemoryMethod, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD_WITH_NAMES(
        "PerformService", "ssasa{ss}",
        SD_BUS_PARAM(message) SD_BUS_PARAM(userData) SD_BUS_PARAM(types) SD_BUS_PARAM(strings), "s",
        SD_BUS_PARAM(result), performServiceMethod, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END};

// Declared so that introspection shows the signal; posting builds the message itself.
const sd_bus_vtable kNotificationVTable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_SIGNAL_WITH_NAMES("Posted", "sasa{ss}",
                             SD_BUS_PARAM(name) SD_BUS_PARAM(object) SD_BUS_PARAM(userInfo), 0),
    SD_BUS_VTABLE_END};

// The bus daemon's own name, object and interface.
constexpr const char* kDaemonName = "org.freedesktop.DBus";
constexpr const char* kDaemonPath = "/org/freedesktop/DBus";

std::string describeSender(const ProcessSerialNumber& sender) {
    if ((sender.highLongOfPSN & kConnectionMark) != 0) {
        return "connection :" + std::to_string(sender.highLongOfPSN & ~kConnectionMark) + "." +
               std::to_string(sender.lowLongOfPSN);
    }
    return "process " + std::to_string(sender.lowLongOfPSN);
}

}  // namespace

std::string busNameForBundleIdentifier(const std::string& bundleIdentifier) {
    if (bundleIdentifier.empty()) {
        return {};
    }
    std::string name;
    bool elementStart = true;
    int elements = 1;
    for (char c : bundleIdentifier) {
        if (c == '.') {
            if (elementStart) {
                name += '_';  // an empty element is not allowed
            }
            name += '.';
            ++elements;
            elementStart = true;
            continue;
        }
        const bool letter =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == '-';
        const bool digit = c >= '0' && c <= '9';
        if (elementStart && digit) {
            name += '_';
        }
        name += (letter || digit) ? c : '_';
        elementStart = false;
    }
    if (elementStart) {
        name += '_';
    }
    if (elements < 2) {
        name = "app." + name;
    }
    if (name.size() > 255) {
        name.resize(255);
    }
    return name;
}

struct SessionBus::NameWait {
    SessionBus* owner = nullptr;
    std::string name;
    std::function<void(bool)> then;
    BusSlot match;
    EventSource timeout;
};

SessionBus::SessionBus(LinuxApplication& application, std::optional<std::string> bundleIdentifier)
    : application_(application),
      bundleIdentifier_(std::move(bundleIdentifier)),
      eventFiles_(std::make_shared<EventFiles>(application)) {}

SessionBus::~SessionBus() = default;

sd_bus* SessionBus::connection() {
    if (attempted_) {
        return bus_.get();
    }
    attempted_ = true;
    BusConnection bus;
    int r = sd_bus_open_user(bus.out());
    if (r < 0) {
        logLine(std::string("No session bus (") + std::strerror(-r) +
                "): running without Apple Events, notifications and Services from other processes");
        return nullptr;
    }
    if (application_.event() != nullptr) {
        sd_bus_attach_event(bus.get(), application_.event(), 0);
    }
    r = sd_bus_add_object_vtable(bus.get(), objectSlot_.out(), kApplicationObjectPath,
                                 kApplicationInterface, kApplicationVTable, this);
    if (r >= 0) {
        r = sd_bus_add_object_vtable(bus.get(), notificationSlot_.out(), kNotificationObjectPath,
                                     kNotificationInterface, kNotificationVTable, this);
    }
    if (r < 0) {
        logLine(std::string("Cannot offer the application object on the bus: ") +
                std::strerror(-r));
    }
    // sd-bus turns the end of the connection into this local signal.
    auto onDisconnected = [](sd_bus_message*, void* userdata, sd_bus_error*) {
        static_cast<SessionBus*>(userdata)->unreachable("Lost the connection to the session bus");
        return 0;
    };
    if (sd_bus_match_signal(bus.get(), disconnectSlot_.out(), nullptr,
                            "/org/freedesktop/DBus/Local", "org.freedesktop.DBus.Local",
                            "Disconnected", onDisconnected, this) < 0) {
        logLine("Cannot watch the connection to the session bus");
    }
    bus_ = std::move(bus);
    return bus_.get();
}

void SessionBus::unreachable(const std::string& reason) {
    logLine(reason + (whenUnreachable ? ": nothing can reach this process, so it ends"
                                      : ": nothing can reach this process"));
    if (whenUnreachable) {
        whenUnreachable(reason);
    }
}

std::optional<ProcessSerialNumber> SessionBus::serialNumberOfConnection(const char* uniqueName) {
    if (uniqueName == nullptr || uniqueName[0] != ':') {
        return std::nullopt;
    }
    const char* end = uniqueName + std::strlen(uniqueName);
    std::uint32_t major = 0, minor = 0;
    auto [dot, failure] = std::from_chars(uniqueName + 1, end, major);
    if (failure != std::errc() || dot == end || *dot != '.' || major >= kConnectionMark) {
        return std::nullopt;
    }
    auto [last, failed] = std::from_chars(dot + 1, end, minor);
    if (failed != std::errc() || last != end) {
        return std::nullopt;
    }
    return ProcessSerialNumber{kConnectionMark | major, minor};
}

std::optional<pid_t> SessionBus::processOfSerialNumber(const ProcessSerialNumber& psn) {
    if ((psn.highLongOfPSN & kConnectionMark) == 0) {
        if (psn.highLongOfPSN != 0 || psn.lowLongOfPSN == 0 || psn.lowLongOfPSN > INT_MAX) {
            return std::nullopt;
        }
        return static_cast<pid_t>(psn.lowLongOfPSN);
    }
    return processOwningName(":" + std::to_string(psn.highLongOfPSN & ~kConnectionMark) + "." +
                             std::to_string(psn.lowLongOfPSN));
}

namespace {

// The daemon's signal for the changes of one name's owner: the daemon filters by the first
// argument, so no other name's changes reach us.
std::string nameOwnerChangedRule(const std::string& name) {
    return std::string("type='signal',sender='") + kDaemonName + "',path='" + kDaemonPath +
           "',interface='" + kDaemonName + "',member='NameOwnerChanged',arg0='" + name + "'";
}

// Each followed name holds a match on the daemon; the names a helper asks about are the
// applications it scripts and its main application, far fewer than this.
constexpr std::size_t kMaximumFollowedNames = 64;

}  // namespace

// The owner of a well-known name as the daemon last told it: asked once, then kept up to date
// by the name's NameOwnerChanged signals, so that asking again costs no round trip.
struct SessionBus::FollowedName {
    SessionBus* bus = nullptr;
    std::string name;
    std::string owner;             // the owner's unique name; empty while there is none
    std::optional<pid_t> process;  // the owner's process, once asked for
    BusSlot match;
};

void SessionBus::nameHasAppeared(const std::string& name) {
    std::vector<NameWait*> ended;
    for (const auto& wait : nameWaits_) {
        if (wait->name == name && !wait->match) {
            ended.push_back(wait.get());
        }
    }
    for (NameWait* wait : ended) {
        endNameWait(wait, true);
    }
}

SessionBus::FollowedName* SessionBus::followedName(const std::string& name) {
    if (name.empty() || name.front() == ':') {
        return nullptr;  // a unique name has one owner for its whole life
    }
    if (const auto found = followedNames_.find(name); found != followedNames_.end()) {
        return found->second.get();
    }
    sd_bus* bus = connection();
    if (bus == nullptr || followedNames_.size() >= kMaximumFollowedNames) {
        return nullptr;
    }
    auto followed = std::make_unique<FollowedName>();
    followed->bus = this;
    followed->name = name;
    auto onChange = [](sd_bus_message* message, void* userdata, sd_bus_error*) {
        auto* followed = static_cast<FollowedName*>(userdata);
        const char* changed = nullptr;
        const char* oldOwner = nullptr;
        const char* newOwner = nullptr;
        if (sd_bus_message_read(message, "sss", &changed, &oldOwner, &newOwner) >= 0) {
            followed->owner = newOwner != nullptr ? newOwner : "";
            followed->process.reset();
            if (!followed->owner.empty()) {
                followed->bus->nameHasAppeared(followed->name);
            }
        }
        return 0;
    };
    if (sd_bus_add_match(bus, followed->match.out(), nameOwnerChangedRule(name).c_str(), onChange,
                         followed.get()) < 0) {
        return nullptr;
    }
    // Asked once the match is in place, so that no change goes unseen.
    BusError error;
    BusMessage reply;
    const char* owner = nullptr;
    if (sd_bus_call_method(bus, kDaemonName, kDaemonPath, kDaemonName, "GetNameOwner", &error.error,
                           reply.out(), "s", name.c_str()) >= 0) {
        if (sd_bus_message_read(reply.get(), "s", &owner) < 0 || owner == nullptr) {
            return nullptr;
        }
        followed->owner = owner;
    } else if (!error.has("org.freedesktop.DBus.Error.NameHasNoOwner")) {
        return nullptr;
    }
    return followedNames_.emplace(name, std::move(followed)).first->second.get();
}

std::optional<pid_t> SessionBus::processOwningName(const std::string& name) {
    sd_bus* bus = connection();
    if (bus == nullptr || name.empty()) {
        return std::nullopt;
    }
    FollowedName* followed = followedName(name);
    if (followed != nullptr) {
        if (followed->owner.empty()) {
            return std::nullopt;
        }
        if (followed->process) {
            return followed->process;
        }
    }
    // A followed name's process is its owner's: asked by the unique name, it stays that one's.
    const std::string& asked = followed != nullptr ? followed->owner : name;
    BusError error;
    BusMessage reply;
    std::uint32_t pid = 0;
    if (sd_bus_call_method(bus, kDaemonName, kDaemonPath, kDaemonName, "GetConnectionUnixProcessID",
                           &error.error, reply.out(), "s", asked.c_str()) < 0 ||
        sd_bus_message_read(reply.get(), "u", &pid) < 0 || pid == 0 || pid > INT_MAX) {
        return std::nullopt;
    }
    if (followed != nullptr) {
        followed->process = static_cast<pid_t>(pid);
    }
    return static_cast<pid_t>(pid);
}

bool SessionBus::acquireName() {
    if (nameAttempted_) {
        return ownsName_;
    }
    if (!bundleIdentifier_ || bundleIdentifier_->empty()) {
        return false;
    }
    sd_bus* bus = connection();
    if (bus == nullptr) {
        return false;
    }
    nameAttempted_ = true;
    const std::string name = busNameForBundleIdentifier(*bundleIdentifier_);
    // Neither replacing an owner nor queueing behind one: a second copy of an application
    // leaves the name with the first.
    int r = sd_bus_request_name(bus, name.c_str(), 0);
    if (r < 0) {
        const std::string reason =
            "Cannot own the bus name " + name + " (" +
            (r == -EEXIST ? std::string("another process owns it") : std::strerror(-r)) + ")";
        if (!whenUnreachable) {
            logLine(reason + ": events to this application go elsewhere");
        } else {
            application_.performAfterDelay(0, [this, reason] { unreachable(reason); });
        }
        return false;
    }
    ownsName_ = true;
    return true;
}

std::string SessionBus::ownerOfName(const std::string& name) {
    if (!name.empty() && name.front() == ':') {
        return name;
    }
    const FollowedName* followed = followedName(name);
    return followed != nullptr ? followed->owner : std::string();
}

bool SessionBus::nameHasOwner(const std::string& name) {
    sd_bus* bus = connection();
    if (bus == nullptr || name.empty()) {
        return false;
    }
    if (const FollowedName* followed = followedName(name)) {
        return !followed->owner.empty();
    }
    BusError error;
    BusMessage reply;
    int r = sd_bus_call_method(bus, kDaemonName, kDaemonPath, kDaemonName, "NameHasOwner",
                               &error.error, reply.out(), "s", name.c_str());
    int hasOwner = 0;
    if (r < 0 || sd_bus_message_read(reply.get(), "b", &hasOwner) < 0) {
        return false;
    }
    return hasOwner != 0;
}

void SessionBus::whenNameHasOwner(const std::string& name, double seconds,
                                  std::function<void(bool owned)> then) {
    sd_bus* bus = connection();
    if (bus == nullptr || application_.event() == nullptr) {
        application_.performAfterDelay(0, [then = std::move(then)] { then(false); });
        return;
    }
    auto wait = std::make_unique<NameWait>();
    wait->owner = this;
    wait->name = name;
    wait->then = std::move(then);
    const std::string rule = nameOwnerChangedRule(name);
    auto onChange = [](sd_bus_message* message, void* userdata, sd_bus_error*) {
        auto* wait = static_cast<NameWait*>(userdata);
        const char* changed = nullptr;
        const char* oldOwner = nullptr;
        const char* newOwner = nullptr;
        if (sd_bus_message_read(message, "sss", &changed, &oldOwner, &newOwner) >= 0 &&
            newOwner != nullptr && *newOwner != '\0') {
            wait->owner->endNameWait(wait, true);
        }
        return 0;
    };
    auto onTimeout = [](sd_event_source*, std::uint64_t, void* userdata) {
        auto* wait = static_cast<NameWait*>(userdata);
        wait->owner->endNameWait(wait, false);
        return 0;
    };
    // A followed name tells its waits itself; another name gets a match of its own.
    FollowedName* followed = followedName(name);
    int r = followed != nullptr
                ? 0
                : sd_bus_add_match(bus, wait->match.out(), rule.c_str(), onChange, wait.get());
    if (r >= 0) {
        r = sd_event_add_time_relative(application_.event(), wait->timeout.out(), CLOCK_MONOTONIC,
                                       static_cast<std::uint64_t>(seconds * 1e6), 0, onTimeout,
                                       wait.get());
    }
    if (r < 0) {
        logLine("Cannot wait for " + name + " on the bus: " + std::strerror(-r));
        application_.performAfterDelay(0, [then = std::move(wait->then)] { then(false); });
        return;
    }
    NameWait* pending = wait.get();
    nameWaits_.push_back(std::move(wait));
    // The name may have appeared before the match was in place.
    if (followed != nullptr ? !followed->owner.empty() : nameHasOwner(name)) {
        endNameWait(pending, true);
    }
}

void SessionBus::endNameWait(NameWait* wait, bool owned) {
    auto found = std::find_if(nameWaits_.begin(), nameWaits_.end(),
                              [wait](const auto& candidate) { return candidate.get() == wait; });
    if (found == nameWaits_.end()) {
        return;
    }
    // The wait (its match and its timer) ends before `then` runs, so that nothing fires twice;
    // sd-bus and sd-event allow a slot or source to go from inside its own callback.
    std::unique_ptr<NameWait> ended = std::move(*found);
    nameWaits_.erase(found);
    auto then = std::move(ended->then);
    ended.reset();
    then(owned);
}

LinuxAppleEventManager::LinuxAppleEventManager(
    SessionBus& bus, std::function<std::optional<std::string>(pid_t)> bundleOfProcess)
    : bus_(bus), bundleOfProcess_(std::move(bundleOfProcess)) {
    bus_.eventReceiver = [this](std::span<const std::uint8_t> bytes,
                                std::shared_ptr<const void> owner,
                                const ProcessSerialNumber& sender) {
        auto event = AppleEventDescriptor::unflatten(bytes, std::move(owner));
        if (!event || !event->isAppleEvent()) {
            logLine("Ignoring " + std::to_string(bytes.size()) + " bytes from " +
                    describeSender(sender) + " that are no Apple Event");
            AppleEventDescriptor reply =
                AppleEventHandlerTable::emptyReply(AppleEventDescriptor::appleEventWithEventClass(
                    0, 0, AppleEventDescriptor::nullDescriptor(), 0, 0));
            reply.setParamDescriptor(AppleEventDescriptor::descriptorWithInt32(errAENotAEDesc),
                                     keyErrorNumber);
            return reply;
        }
        const std::string name =
            fourCharCodeString(event->eventClass()) + "/" + fourCharCodeString(event->eventID());
        AppleEventDescriptor reply = dispatch(std::move(*event), sender);
        if (const std::size_t size = reply.flattenedSize(); size > kMaximumEventBytes) {
            logLine("The reply to " + name + " takes " + std::to_string(size) +
                    " bytes, more than the " + std::to_string(kMaximumEventBytes) +
                    " one message may carry: answering error " + std::to_string(errAEEventFailed) +
                    " instead");
            AppleEventDescriptor failure = AppleEventHandlerTable::emptyReply(reply);
            failure.setParamDescriptor(AppleEventDescriptor::descriptorWithInt32(errAEEventFailed),
                                       keyErrorNumber);
            return failure;
        }
        return reply;
    };
}

void LinuxAppleEventManager::setEventHandler(AEEventClass eventClass, AEEventID eventID,
                                             AppleEventHandler handler) {
    handlers_.set(eventClass, eventID, std::move(handler));
    bus_.acquireName();
}

void LinuxAppleEventManager::removeEventHandler(AEEventClass eventClass, AEEventID eventID) {
    handlers_.remove(eventClass, eventID);
}

AppleEventDescriptor LinuxAppleEventManager::dispatch(AppleEventDescriptor event,
                                                      const ProcessSerialNumber& sender) {
    event.setAttributeDescriptor(AppleEventDescriptor::descriptorWithProcessSerialNumber(sender),
                                 keyAddressAttr);
    return handlers_.dispatch(event);
}

OSStatus LinuxAppleEventManager::AESendMessage(const AppleEventDescriptor& event,
                                               AppleEventDescriptor* reply, std::int32_t sendMode,
                                               long timeoutInTicks) {
    if (!event.isAppleEvent()) {
        return errAENotAEDesc;
    }
    auto target = event.targetDescriptor();
    if (!target) {
        return paramErr;
    }
    std::optional<std::string> bundleIdentifier;
    if (target->descriptorType() == typeApplicationBundleID) {
        bundleIdentifier = std::string(target->data().begin(), target->data().end());
    } else if (auto psn = target->processSerialNumberValue()) {
        if (auto pid = bus_.processOfSerialNumber(*psn)) {
            bundleIdentifier = bundleOfProcess_(*pid);
        }
    } else if (target->descriptorType() == typeKernelProcessID) {
        bundleIdentifier = bundleOfProcess_(target->int32Value());
    } else {
        return paramErr;
    }
    if (!bundleIdentifier || bundleIdentifier->empty()) {
        return procNotFound;
    }
    const std::string name = busNameForBundleIdentifier(*bundleIdentifier);
    const bool waitForReply = (sendMode & 0x3) == kAEWaitReply && timeoutInTicks != 0;

    auto statusOfAnswer = [](const AppleEventDescriptor& answer) {
        auto number = answer.paramDescriptorForKeyword(keyErrorNumber);
        return number && number->int32Value() == errAEEventNotHandled ? errAEEventNotHandled
                                                                      : noErr;
    };

    // An event to ourselves never leaves the process.
    const ProcessSerialNumber self{0, static_cast<std::uint32_t>(::getpid())};
    if (bus_.ownsName() && bus_.bundleIdentifier() &&
        busNameForBundleIdentifier(*bus_.bundleIdentifier()) == name) {
        if (!waitForReply) {
            bus_.application().performAfterDelay(0, [this, event, self] { dispatch(event, self); });
            return noErr;
        }
        AppleEventDescriptor answer = dispatch(event, self);
        if (reply != nullptr) {
            *reply = answer;
        }
        return statusOfAnswer(answer);
    }

    // An application of the desktop answers from what its windows show.
    if (desktopAnswerer_ && waitForReply) {
        AppleEventDescriptor answer = AppleEventHandlerTable::emptyReply(event);
        const auto timeout = std::chrono::milliseconds(timeoutUsec(timeoutInTicks) / 1000);
        if (const auto status = desktopAnswerer_(*bundleIdentifier, event, answer, timeout)) {
            if (*status != noErr) {
                return *status;
            }
            if (reply != nullptr) {
                *reply = answer;
            }
            return statusOfAnswer(answer);
        }
    }

    sd_bus* bus = bus_.connection();
    if (bus == nullptr) {
        return procNotFound;
    }
    const std::size_t size = event.flattenedSize();
    if (size > kMaximumEventBytes) {
        logLine("Not sending " + fourCharCodeString(event.eventClass()) + "/" +
                fourCharCodeString(event.eventID()) + " to " + name + ": it takes " +
                std::to_string(size) + " bytes, more than the " +
                std::to_string(kMaximumEventBytes) + " one message may carry");
        return errAEEventFailed;
    }
    // A large event goes in a memory file: the one kept for its receiver when there is one.
    std::string receiver;
    std::unique_ptr<EventFile> file;
    if (size >= kEventInMemoryFileBytes && sd_bus_can_send(bus, SD_BUS_TYPE_UNIX_FD) > 0) {
        receiver = bus_.ownerOfName(name);
        if ((file = bus_.eventFiles().take(receiver, size))) {
            event.flattenInto(file->bytes());
        }
    }
    // A kept file goes to the connection that holds it already, never to whoever else may own
    // the name by now.
    BusMessage call;
    int r = newEventCall(bus, file && !file->heldBy().empty() ? file->heldBy() : name,
                         file != nullptr, call);
    if (r == -EINVAL) {
        return procNotFound;
    }
    if (r >= 0) {
        r = file ? sd_bus_message_append(call.get(), "ht", file->descriptor(),
                                         static_cast<std::uint64_t>(size))
                 : appendFlattening(call.get(), event);
    }
    if (r < 0) {
        return errOSASystemError;
    }

    if (!waitForReply) {
        if (!bus_.nameHasOwner(name)) {
            return procNotFound;
        }
        if (file) {
            r = sendEventFileAwaitingAnswer(
                bus,
                std::make_unique<EventFileInFlight>(EventFileInFlight{
                    name, receiver, std::move(file), size, bus_.eventFiles().weak_from_this()}),
                call.get());
        } else {
            sd_bus_message_set_expect_reply(call.get(), 0);
            r = sd_bus_send(bus, call.get(), nullptr);
        }
        if (r < 0 || sd_bus_flush(bus) < 0) {
            return errOSASystemError;
        }
        return noErr;
    }

    BusError error;
    BusMessage answerMessage;
    r = sd_bus_call(bus, call.get(), timeoutUsec(timeoutInTicks), &error.error,
                    answerMessage.out());
    if (r < 0 && file && resendAsBytes(&error.error, *file)) {
        sd_bus_error_free(&error.error);
        r = newEventCall(bus, name, false, call);
        if (r >= 0 && (r = appendFlattening(call.get(), event)) >= 0) {
            r = sd_bus_call(bus, call.get(), timeoutUsec(timeoutInTicks), &error.error,
                            answerMessage.out());
        }
    }
    if (r < 0) {
        if (isNoOwnerError(error)) {
            return procNotFound;
        }
        // A program that owns the name without our interface (an application of the desktop
        // that is not in front) does not understand the event.
        if (error.has(SD_BUS_ERROR_UNKNOWN_METHOD) || error.has(SD_BUS_ERROR_UNKNOWN_OBJECT) ||
            error.has(SD_BUS_ERROR_UNKNOWN_INTERFACE)) {
            return errAEEventNotHandled;
        }
        if (r == -ETIMEDOUT || error.has(SD_BUS_ERROR_NO_REPLY) ||
            error.has(SD_BUS_ERROR_TIMEOUT)) {
            return errAETimeout;
        }
        logLine("Sending an Apple Event to " + name + " failed: " + error.text());
        return errOSASystemError;
    }
    if (const char* answeredBy = sd_bus_message_get_sender(answerMessage.get());
        file && answeredBy != nullptr && receiver == answeredBy) {
        bus_.eventFiles().keep(receiver, std::move(file));
    }
    const void* answerBytes = nullptr;
    std::size_t answerSize = 0;
    if (sd_bus_message_read_array(answerMessage.get(), 'y', &answerBytes, &answerSize) < 0) {
        return errAENotAEDesc;
    }
    auto answer = AppleEventDescriptor::unflatten(
        std::span<const std::uint8_t>(static_cast<const std::uint8_t*>(answerBytes), answerSize),
        keptAlive(answerMessage.get()));
    if (!answer) {
        return errAENotAEDesc;
    }
    const OSStatus status = statusOfAnswer(*answer);
    if (reply != nullptr) {
        *reply = std::move(*answer);
    }
    return status;
}

void LinuxDistributedNotificationCenter::postNotificationName(
    const std::string& name, const std::optional<std::string>& object,
    const NotificationUserInfo& userInfo) {
    sd_bus* bus = bus_.connection();
    if (bus == nullptr) {
        logLine("Not posting " + name + ": there is no session bus");
        return;
    }
    BusMessage signal;
    int r = sd_bus_message_new_signal(bus, signal.out(), kNotificationObjectPath,
                                      kNotificationInterface, kNotificationSignal);
    if (r >= 0) {
        r = sd_bus_message_append(signal.get(), "s", name.c_str());
    }
    if (r >= 0) {
        r = sd_bus_message_open_container(signal.get(), 'a', "s");
    }
    if (r >= 0 && object) {
        r = sd_bus_message_append(signal.get(), "s", object->c_str());
    }
    if (r >= 0) {
        r = sd_bus_message_close_container(signal.get());
    }
    if (r >= 0) {
        r = sd_bus_message_open_container(signal.get(), 'a', "{ss}");
    }
    for (auto it = userInfo.begin(); r >= 0 && it != userInfo.end(); ++it) {
        r = sd_bus_message_append(signal.get(), "{ss}", it->first.c_str(), it->second.c_str());
    }
    if (r >= 0) {
        r = sd_bus_message_close_container(signal.get());
    }
    if (r >= 0) {
        r = sd_bus_send(bus, signal.get(), nullptr);
    }
    // Posting often comes just before the process ends; the signal must be out by then.
    if (r >= 0) {
        r = sd_bus_flush(bus);
    }
    if (r < 0) {
        logLine("Cannot post " + name + ": " + std::strerror(-r));
    }
}

OSStatus sendServicesRequest(SessionBus& bus, const std::string& bundleIdentifier,
                             const std::string& message, const std::string& userData,
                             const Pasteboard& pasteboard, std::string* error) {
    sd_bus* connection = bus.connection();
    if (connection == nullptr) {
        return procNotFound;
    }
    const std::string name = busNameForBundleIdentifier(bundleIdentifier);
    BusMessage call;
    int r =
        sd_bus_message_new_method_call(connection, call.out(), name.c_str(), kApplicationObjectPath,
                                       kApplicationInterface, kPerformServiceMethod);
    if (r < 0) {
        return procNotFound;
    }
    sd_bus_message_set_auto_start(call.get(), 0);
    r = sd_bus_message_append(call.get(), "ss", message.c_str(), userData.c_str());
    if (r >= 0) {
        r = sd_bus_message_open_container(call.get(), 'a', "s");
    }
    for (auto it = pasteboard.types.begin(); r >= 0 && it != pasteboard.types.end(); ++it) {
        r = sd_bus_message_append(call.get(), "s", it->c_str());
    }
    if (r >= 0) {
        r = sd_bus_message_close_container(call.get());
    }
    if (r >= 0) {
        r = sd_bus_message_open_container(call.get(), 'a', "{ss}");
    }
    for (auto it = pasteboard.strings.begin(); r >= 0 && it != pasteboard.strings.end(); ++it) {
        r = sd_bus_message_append(call.get(), "{ss}", it->first.c_str(), it->second.c_str());
    }
    if (r >= 0) {
        r = sd_bus_message_close_container(call.get());
    }
    if (r < 0) {
        return paramErr;
    }
    BusError failure;
    BusMessage answer;
    r = sd_bus_call(connection, call.get(), kServicesTimeoutUsec, &failure.error, answer.out());
    if (r < 0) {
        if (isNoOwnerError(failure)) {
            return procNotFound;
        }
        if (error != nullptr) {
            *error = failure.text();
        }
        return failure.has(kServiceFailedError) ? paramErr : errOSASystemError;
    }
    if (error != nullptr) {
        error->clear();
    }
    return noErr;
}

std::optional<std::string> performServiceRequest(ServicesProvider* provider,
                                                 const PropertyList& providerInfo,
                                                 const std::string& message,
                                                 const std::string& userData,
                                                 const Pasteboard& pasteboard) {
    bool declared = false;
    if (const PropertyList* services = providerInfo.objectForKey("NSServices")) {
        if (const PropertyList::Array* entries = services->arrayValue()) {
            for (const auto& entry : *entries) {
                const PropertyList* declaredMessage = entry.objectForKey("NSMessage");
                if (declaredMessage != nullptr && declaredMessage->stringValue() != nullptr &&
                    *declaredMessage->stringValue() == message) {
                    declared = true;
                    break;
                }
            }
        }
    }
    if (!declared) {
        logLine("Refusing the Services request " + message +
                ": the application does not declare it under NSServices");
        return "The service " + message + " is not offered by this application";
    }
    if (provider == nullptr) {
        return "This application has no Services provider";
    }
    std::string error;
    if (!provider->performService(message, pasteboard, userData, &error)) {
        return "The Services provider has no operation for " + message;
    }
    if (!error.empty()) {
        return error;
    }
    return std::nullopt;
}

std::optional<std::string> applicationForURLScheme(
    LinuxWorkspace& workspace, const std::string& scheme,
    const std::function<bool(const std::string& bundleIdentifier)>& inSession) {
    auto declares = [&](const LinuxBundle& bundle) {
        auto types = bundle.objectForInfoDictionaryKey("CFBundleURLTypes");
        if (!types || types->arrayValue() == nullptr) {
            return false;
        }
        for (const auto& type : *types->arrayValue()) {
            const PropertyList* schemes = type.objectForKey("CFBundleURLSchemes");
            if (schemes == nullptr || schemes->arrayValue() == nullptr) {
                continue;
            }
            for (const auto& declared : *schemes->arrayValue()) {
                const std::string* text = declared.stringValue();
                if (text != nullptr && utf::equalsIgnoringASCIICase(*text, scheme)) {
                    return true;
                }
            }
        }
        return false;
    };
    // An installed application that runs in this session is found without listing the
    // machine's processes; only one that runs from elsewhere needs the list.
    std::vector<std::string> declaring;
    for (const std::string& bundlePath : installedApplicationBundles()) {
        const LinuxBundle bundle(bundlePath);
        if (!declares(bundle)) {
            continue;
        }
        if (const auto identifier = bundle.bundleIdentifier();
            inSession && identifier && inSession(*identifier)) {
            return bundlePath;
        }
        declaring.push_back(bundlePath);
    }
    for (const auto& running : workspace.runningApplications()) {
        if (running.bundleURL && declares(LinuxBundle(running.bundleURL->path())) &&
            (!inSession || (running.bundleIdentifier && inSession(*running.bundleIdentifier)))) {
            return running.bundleURL->path();
        }
    }
    if (!declaring.empty()) {
        return declaring.front();
    }
    return std::nullopt;
}

URLOpener::URLOpener(LinuxApplication& application, LinuxWorkspace& workspace,
                     LinuxAppleEventManager& events, SessionBus& bus)
    : application_(application), workspace_(workspace), events_(events), bus_(bus) {}

bool URLOpener::openURL(const URL& url) {
    // Opening returns at once; the work happens on the loop.
    application_.performAfterDelay(0, [this, url] { deliver(url); });
    return true;
}

void URLOpener::deliver(const URL& url) {
    const std::string scheme = utf::asciiLowercased(url.scheme());
    std::optional<std::string> bundlePath;
    if (scheme != "http" && scheme != "https" && scheme != "file") {
        bundlePath = applicationForURLScheme(workspace_, scheme, [this](const std::string& id) {
            return (bus_.ownsName() && bus_.bundleIdentifier() == id) ||
                   bus_.nameHasOwner(busNameForBundleIdentifier(id));
        });
    }
    if (!bundlePath) {
        if (!openWithSystemHandler(url.absoluteString())) {
            logLine("Nothing opens " + url.absoluteString());
        }
        return;
    }
    auto bundleIdentifier = LinuxBundle(*bundlePath).bundleIdentifier();
    if (!bundleIdentifier) {
        logLine("Cannot deliver " + url.absoluteString() + ": " + *bundlePath +
                " has no identifier");
        return;
    }
    AppleEventDescriptor event = AppleEventDescriptor::appleEventWithEventClass(
        kInternetEventClass, kAEGetURL,
        AppleEventDescriptor::descriptorWithApplicationBundleIdentifier(*bundleIdentifier),
        kAutoGenerateReturnID, kAnyTransactionID);
    event.setParamDescriptor(AppleEventDescriptor::descriptorWithString(url.absoluteString()),
                             keyDirectObject);
    const std::string name = busNameForBundleIdentifier(*bundleIdentifier);
    const bool ownName = bus_.ownsName() && bus_.bundleIdentifier() == bundleIdentifier;
    if (ownName || bus_.nameHasOwner(name)) {
        events_.AESendMessage(event, nullptr, kAENoReply, 0);
        return;
    }
    if (!workspace_.runningApplicationWithBundleIdentifier(*bundleIdentifier)) {
        Error error;
        if (!workspace_.launchApplicationAtURL(URL::fileURLWithPath(*bundlePath),
                                               NSWorkspaceLaunchDefault, {}, &error)) {
            logLine("Cannot launch " + *bundlePath + " to open " + url.absoluteString() + ": " +
                    error.description());
            return;
        }
    }
    // Wait, bounded, for the application to appear on the bus, without holding up the loop.
    bus_.whenNameHasOwner(name, kLaunchWaitSeconds, [this, event, name, url](bool owned) {
        if (owned) {
            events_.AESendMessage(event, nullptr, kAENoReply, 0);
        } else {
            logLine("Gave up opening " + url.absoluteString() + ": " + name +
                    " did not appear on the bus");
        }
    });
}

}  // namespace platform::linux_platform
