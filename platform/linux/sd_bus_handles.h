// Owning handles for sd-bus and sd-event objects: each holds one reference and drops it when it
// goes, so that no early return leaks a message, a slot or a source.
#pragma once

#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

#include <cstddef>

namespace platform::linux_platform {

// One reference to an sd-bus or sd-event object, dropped with `Unref` when the handle goes.
// out() hands the place of the reference to the calls that fill a `T**`; the reference is in
// the handle as soon as the call returns:
//   sd_bus_call(bus, call.get(), 0, &error.error, reply.out());
template <typename T, auto Unref>
class Handle {
  public:
    Handle() = default;
    explicit Handle(T* object) : object_(object) {}
    Handle(Handle&& other) noexcept : object_(other.release()) {}
    Handle& operator=(Handle&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() { reset(); }

    T* get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    bool operator==(std::nullptr_t) const { return object_ == nullptr; }
    T* release() {
        T* object = object_;
        object_ = nullptr;
        return object;
    }
    void reset(T* object = nullptr) {
        if (object_ != nullptr) {
            Unref(object_);
        }
        object_ = object;
    }
    // Drops what the handle holds and answers the place for a new reference.
    T** out() {
        reset();
        return &object_;
    }

  private:
    T* object_ = nullptr;
};

using BusMessage = Handle<sd_bus_message, sd_bus_message_unref>;
using BusSlot = Handle<sd_bus_slot, sd_bus_slot_unref>;
using BusCredentials = Handle<sd_bus_creds, sd_bus_creds_unref>;
using EventSource = Handle<sd_event_source, sd_event_source_disable_unref>;

// A connection: flushed, taken off its loop and closed when it goes.
inline sd_bus* closeConnection(sd_bus* bus) {
    sd_bus_flush(bus);
    sd_bus_detach_event(bus);
    return sd_bus_close_unref(bus);
}
using BusConnection = Handle<sd_bus, closeConnection>;

// An error filled by a call; freed when it goes.
struct BusError {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    BusError() = default;
    BusError(BusError&& other) noexcept : error(other.error) { other.error = SD_BUS_ERROR_NULL; }
    BusError& operator=(BusError&& other) noexcept {
        if (this != &other) {
            sd_bus_error_free(&error);
            error = other.error;
            other.error = SD_BUS_ERROR_NULL;
        }
        return *this;
    }
    ~BusError() { sd_bus_error_free(&error); }
    bool has(const char* name) const { return sd_bus_error_has_name(&error, name) != 0; }
    const char* text() const {
        return error.message != nullptr ? error.message
                                        : (error.name != nullptr ? error.name : "unknown");
    }
};

}  // namespace platform::linux_platform
