// Distributed notifications: a signal on the session bus, posted by one process and delivered
// to the observers of every other.
#include <cstring>

#include "bus_messages.h"
#include "linux_bus.h"
#include "linux_support.h"

namespace platform::linux_platform {
namespace {

int onSignal(sd_bus_message* message, void* userdata, sd_bus_error* /*error*/) {
    auto* self = static_cast<DistributedNotificationObservers*>(userdata);
    std::string name;
    std::vector<std::string> objects;
    NotificationUserInfo userInfo;
    if (!(BusReader(message) >> name >> objects >> userInfo)) {
        const char* sender = sd_bus_message_get_sender(message);
        logLine(std::string("Ignoring a distributed notification that cannot be read from ") +
                (sender != nullptr ? sender : "an unknown sender"));
        return 0;
    }
    self->deliver(name, objects.empty() ? std::nullopt : std::optional(objects.back()), userInfo);
    return 0;
}

}  // namespace

void LinuxDistributedNotificationCenter::postNotificationName(
    const std::string& name, const std::optional<std::string>& object,
    const NotificationUserInfo& userInfo) {
    sd_bus* bus = bus_.connection();
    if (bus == nullptr) {
        logLine("Not posting " + name + ": there is no session bus");
        return;
    }
    BusWriter signal = BusWriter::signal(bus, kNotificationObjectPath, kNotificationInterface,
                                         kNotificationSignal);
    signal << name << (object ? std::vector<std::string>{*object} : std::vector<std::string>{})
           << userInfo;
    // Posting often comes just before the process ends; the signal must be out by then.
    if (int r = signal.send(); r < 0 || (r = sd_bus_flush(bus)) < 0) {
        logLine("Cannot post " + name + ": " + std::strerror(-r));
    }
}

bool DistributedNotificationObservers::add(Observer observer) {
    if (slot_ == nullptr) {
        sd_bus* bus = bus_.connection();
        if (bus == nullptr) {
            return false;
        }
        int r = sd_bus_match_signal(bus, slot_.out(), nullptr, kNotificationObjectPath,
                                    kNotificationInterface, kNotificationSignal, onSignal, this);
        if (r < 0) {
            logLine(std::string("Cannot observe distributed notifications: ") + std::strerror(-r));
            return false;
        }
    }
    observers_.push_back(std::move(observer));
    return true;
}

void DistributedNotificationObservers::deliver(const std::string& name,
                                               const std::optional<std::string>& object,
                                               const NotificationUserInfo& userInfo) const {
    // A copy, so that an observer may add another while it runs.
    const auto observers = observers_;
    for (const auto& observer : observers) {
        observer(name, object, userInfo);
    }
}

}  // namespace platform::linux_platform
