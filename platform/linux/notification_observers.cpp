#include <cstring>

#include "linux_bus.h"
#include "linux_support.h"

namespace platform::linux_platform {
namespace {

int onSignal(sd_bus_message* message, void* userdata, sd_bus_error* /*error*/);

}  // namespace

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

namespace {

int onSignal(sd_bus_message* message, void* userdata, sd_bus_error* /*error*/) {
    auto* self = static_cast<DistributedNotificationObservers*>(userdata);
    const char* name = nullptr;
    std::optional<std::string> object;
    NotificationUserInfo userInfo;
    bool readable = sd_bus_message_read(message, "s", &name) >= 0 &&
                    sd_bus_message_enter_container(message, 'a', "s") >= 0;
    const char* text = nullptr;
    int r = 0;
    while (readable && (r = sd_bus_message_read(message, "s", &text)) > 0) {
        object = text;
    }
    readable = readable && r >= 0 && sd_bus_message_exit_container(message) >= 0 &&
               sd_bus_message_enter_container(message, 'a', "{ss}") >= 0;
    const char* key = nullptr;
    const char* value = nullptr;
    while (readable && (r = sd_bus_message_read(message, "{ss}", &key, &value)) > 0) {
        userInfo[key] = value;
    }
    if (!readable || r < 0 || name == nullptr) {
        logLine(std::string("Ignoring a distributed notification that cannot be read from ") +
                (sd_bus_message_get_sender(message) ? sd_bus_message_get_sender(message)
                                                    : "an unknown sender"));
        return 0;
    }
    self->deliver(name, object, userInfo);
    return 0;
}

}  // namespace

}  // namespace platform::linux_platform
