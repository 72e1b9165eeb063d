// The connection to the session bus and the following of names: who owns a name, and when a
// name gets an owner, as the bus daemon's NameOwnerChanged signals tell.
#include <algorithm>
#include <charconv>
#include <climits>
#include <cstring>
#include <fstream>

#include "bus_messages.h"
#include "linux_application.h"
#include "linux_bus.h"
#include "linux_event_files.h"
#include "linux_event_transport.h"
#include "linux_support.h"
#include "platform/format.h"

namespace platform::linux_platform {
namespace {

// Marks a process serial number that holds a connection's unique name.
constexpr std::uint32_t kConnectionMark = 0x8000'0000u;

const sd_bus_vtable kApplicationVTable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD_WITH_NAMES(kHandleEventMethod, "ay", SD_BUS_PARAM(event), "ay",
                             SD_BUS_PARAM(reply), handleEventMethod, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD_WITH_NAMES(kHandleEventInSharedMemoryMethod, "ht",
                             SD_BUS_PARAM(file) SD_BUS_PARAM(size), "ay", SD_BUS_PARAM(reply),
                             handleEventInSharedMemoryMethod, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD_WITH_NAMES(
        kPerformServiceMethod, "ssasa{ss}",
        SD_BUS_PARAM(message) SD_BUS_PARAM(userData) SD_BUS_PARAM(types) SD_BUS_PARAM(strings), "s",
        SD_BUS_PARAM(result), performServiceMethod, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END};

// Declared so that introspection shows the signal; posting builds the message itself.
const sd_bus_vtable kNotificationVTable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_SIGNAL_WITH_NAMES(kNotificationSignal, "sasa{ss}",
                             SD_BUS_PARAM(name) SD_BUS_PARAM(object) SD_BUS_PARAM(userInfo), 0),
    SD_BUS_VTABLE_END};

// The bus daemon's own name, object and interface.
constexpr const char* kDaemonName = "org.freedesktop.DBus";
constexpr const char* kDaemonPath = "/org/freedesktop/DBus";

BusReply askDaemon(sd_bus* bus, const char* member, const std::string& name) {
    BusWriter call = BusWriter::methodCall(bus, kDaemonName, kDaemonPath, kDaemonName, member);
    call << name;
    return callMethod(std::move(call));
}

// The daemon's signal for the changes of one name's owner: the daemon filters by the first
// argument, so no other name's changes reach us.
std::string nameOwnerChangedRule(const std::string& name) {
    return std::string("type='signal',sender='") + kDaemonName + "',path='" + kDaemonPath +
           "',interface='" + kDaemonName + "',member='NameOwnerChanged',arg0='" + name + "'";
}

// Each followed name holds a match on the daemon; the names a helper asks about are the
// applications it scripts and its main application, far fewer than this. A name waited for is
// followed beyond it, until its last wait ends.
constexpr std::size_t kMaximumFollowedNames = 64;

// The process a connection belongs to, as the daemon tells: by the process handle it took when
// the connection was made (ProcessFD) where it gives one, so that a process id since taken over
// by another process is never answered; else by the process id it recorded.
std::optional<pid_t> processOfConnection(sd_bus* bus, const std::string& name) {
    BusReply reply = askDaemon(bus, "GetConnectionCredentials", name);
    sd_bus_message* message = reply.message.get();
    if (!reply || sd_bus_message_enter_container(message, 'a', "{sv}") <= 0) {
        return std::nullopt;
    }
    std::optional<pid_t> byIdentifier;
    std::optional<pid_t> byHandle;
    bool handleGiven = false;
    while (sd_bus_message_enter_container(message, 'e', "sv") > 0) {
        const char* key = nullptr;
        if (sd_bus_message_read(message, "s", &key) <= 0) {
            return std::nullopt;
        }
        std::uint32_t pid = 0;
        int fd = -1;
        if (std::strcmp(key, "ProcessID") == 0 &&
            sd_bus_message_enter_container(message, 'v', "u") > 0) {
            if (sd_bus_message_read(message, "u", &pid) > 0 && pid > 0 && pid <= INT_MAX) {
                byIdentifier = static_cast<pid_t>(pid);
            }
            sd_bus_message_exit_container(message);
        } else if (std::strcmp(key, "ProcessFD") == 0 &&
                   sd_bus_message_enter_container(message, 'v', "h") > 0) {
            if (sd_bus_message_read(message, "h", &fd) > 0) {
                handleGiven = true;
                byHandle = processOfHandle(fd);
            }
            sd_bus_message_exit_container(message);
        } else if (sd_bus_message_skip(message, "v") < 0) {
            return std::nullopt;
        }
        if (sd_bus_message_exit_container(message) < 0) {
            return std::nullopt;
        }
    }
    return handleGiven ? byHandle : byIdentifier;
}

}  // namespace

std::optional<pid_t> processOfHandle(int pidfd) {
    // The kernel tells the process of a handle in its fdinfo: -1 once it has ended, 0 when it
    // lives in a process namespace this one cannot see.
    std::ifstream info("/proc/self/fdinfo/" + std::to_string(pidfd));
    std::string line;
    while (std::getline(info, line)) {
        if (line.starts_with("Pid:")) {
            const std::int64_t pid = integerValueOfText(line.substr(4));
            if (pid > 0 && pid <= INT_MAX) {
                return static_cast<pid_t>(pid);
            }
            return std::nullopt;
        }
    }
    return std::nullopt;
}

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

// The owner of a well-known name as the daemon last told it: asked once, then kept up to date
// by the name's NameOwnerChanged signals, so that asking again costs no round trip, and waits
// for the name end as soon as it gets an owner.
struct SessionBus::FollowedName {
    SessionBus* bus = nullptr;
    std::string name;
    std::string owner;             // the owner's unique name; empty while there is none
    std::optional<pid_t> process;  // the owner's process, once asked for
    bool onlyForWaits = false;     // followed beyond the limit, let go with its last wait
    BusSlot match;
};

struct SessionBus::NameWait {
    SessionBus* bus = nullptr;
    std::string name;
    std::function<void(bool)> then;
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
    if (r < 0 ||
        (r = sd_bus_add_object_vtable(bus.get(), notificationSlot_.out(), kNotificationObjectPath,
                                      kNotificationInterface, kNotificationVTable, this)) < 0) {
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

std::string SessionBus::describeSender(const ProcessSerialNumber& sender) {
    if ((sender.highLongOfPSN & kConnectionMark) != 0) {
        return "connection :" + std::to_string(sender.highLongOfPSN & ~kConnectionMark) + "." +
               std::to_string(sender.lowLongOfPSN);
    }
    return "process " + std::to_string(sender.lowLongOfPSN);
}

SessionBus::FollowedName* SessionBus::followedName(const std::string& name, bool forWait) {
    if (name.empty() || name.front() == ':') {
        return nullptr;  // a unique name has one owner for its whole life
    }
    if (const auto found = followedNames_.find(name); found != followedNames_.end()) {
        return found->second.get();
    }
    sd_bus* bus = connection();
    const bool beyondLimit = followedNames_.size() >= kMaximumFollowedNames;
    if (bus == nullptr || (beyondLimit && !forWait)) {
        return nullptr;
    }
    auto followed = std::make_unique<FollowedName>();
    followed->bus = this;
    followed->name = name;
    followed->onlyForWaits = beyondLimit;
    auto onChange = [](sd_bus_message* message, void* userdata, sd_bus_error*) {
        auto* followed = static_cast<FollowedName*>(userdata);
        std::string changed, oldOwner, newOwner;
        if (BusReader(message) >> changed >> oldOwner >> newOwner) {
            followed->owner = newOwner;
            followed->process.reset();
            if (!newOwner.empty()) {
                // The last use of `followed`: ending its waits may let it go.
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
    if (BusReply reply = askDaemon(bus, "GetNameOwner", name); reply) {
        if (!(reply.read() >> followed->owner)) {
            return nullptr;
        }
    } else if (!reply.error.has(SD_BUS_ERROR_NAME_HAS_NO_OWNER)) {
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
    const std::optional<pid_t> pid =
        processOfConnection(bus, followed != nullptr ? followed->owner : name);
    if (pid && followed != nullptr) {
        followed->process = *pid;
    }
    return pid;
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
    bool hasOwner = false;
    return (askDaemon(bus, "NameHasOwner", name).read() >> hasOwner) && hasOwner;
}

void SessionBus::whenNameHasOwner(const std::string& name, double seconds,
                                  std::function<void(bool owned)> then) {
    const auto answerOnLoop = [this](std::function<void(bool)> then, bool owned) {
        application_.performAfterDelay(0, [then = std::move(then), owned] { then(owned); });
    };
    if (connection() == nullptr || application_.event() == nullptr) {
        answerOnLoop(std::move(then), false);
        return;
    }
    // A unique name is owned from its connection's start to its end: now or never.
    if (!name.empty() && name.front() == ':') {
        answerOnLoop(std::move(then), nameHasOwner(name));
        return;
    }
    auto wait = std::make_unique<NameWait>();
    wait->bus = this;
    wait->name = name;
    wait->then = std::move(then);
    auto onTimeout = [](sd_event_source*, std::uint64_t, void* userdata) {
        auto* wait = static_cast<NameWait*>(userdata);
        wait->bus->endNameWait(wait, false);
        return 0;
    };
    // The followed name ends its waits itself, once it has an owner.
    FollowedName* followed = followedName(name, true);
    const int r = followed == nullptr
                      ? -ENOTCONN
                      : sd_event_add_time_relative(
                            application_.event(), wait->timeout.out(), CLOCK_MONOTONIC,
                            static_cast<std::uint64_t>(seconds * 1e6), 0, onTimeout, wait.get());
    if (r < 0) {
        logLine("Cannot wait for " + name + " on the bus: " +
                (followed == nullptr ? std::string("its owner cannot be followed")
                                     : std::string(std::strerror(-r))));
        answerOnLoop(std::move(wait->then), false);
        letGoOfWaitedName(name);
        return;
    }
    NameWait* pending = wait.get();
    nameWaits_.push_back(std::move(wait));
    if (!followed->owner.empty()) {
        endNameWait(pending, true);
    }
}

void SessionBus::nameHasAppeared(std::string name) {
    std::vector<NameWait*> ended;
    for (const auto& wait : nameWaits_) {
        if (wait->name == name) {
            ended.push_back(wait.get());
        }
    }
    for (NameWait* wait : ended) {
        endNameWait(wait, true);
    }
}

void SessionBus::endNameWait(NameWait* wait, bool owned) {
    auto found = std::find_if(nameWaits_.begin(), nameWaits_.end(),
                              [wait](const auto& candidate) { return candidate.get() == wait; });
    if (found == nameWaits_.end()) {
        return;
    }
    // The wait (its timer) ends before `then` runs, so that nothing fires twice; sd-bus and
    // sd-event allow a slot or source to go from inside its own callback.
    std::unique_ptr<NameWait> ended = std::move(*found);
    nameWaits_.erase(found);
    auto then = std::move(ended->then);
    letGoOfWaitedName(ended->name);
    ended.reset();
    then(owned);
}

void SessionBus::letGoOfWaitedName(const std::string& name) {
    const auto followed = followedNames_.find(name);
    if (followed == followedNames_.end() || !followed->second->onlyForWaits ||
        std::any_of(nameWaits_.begin(), nameWaits_.end(),
                    [&](const auto& wait) { return wait->name == name; })) {
        return;
    }
    followedNames_.erase(followed);
}

}  // namespace platform::linux_platform
