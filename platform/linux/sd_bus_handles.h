// Owning handles for sd-bus and sd-event objects: each holds one reference and drops it when it
// goes, so that no early return leaks a message, a slot or a source.
#pragma once

#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

#include <memory>

namespace platform::linux_platform {

template <auto Unref>
struct Unreference {
    template <typename T>
    void operator()(T* object) const {
        Unref(object);
    }
};

// A unique_ptr that can also be handed to the sd-bus calls that fill a `T**`:
// `sd_bus_call(bus, call.get(), 0, &error.error, reply.out())` leaves the reference in `reply`.
template <typename T, auto Unref>
class Handle : public std::unique_ptr<T, Unreference<Unref>> {
  public:
    using std::unique_ptr<T, Unreference<Unref>>::unique_ptr;

    // Receives the reference while the call runs and hands it to the handle when the call's
    // full expression ends (as std::out_ptr does).
    class Out {
      public:
        explicit Out(Handle& handle) : handle_(handle) {}
        Out(const Out&) = delete;
        Out& operator=(const Out&) = delete;
        ~Out() {
            if (raw_ != nullptr) {
                handle_.reset(raw_);
            }
        }
        operator T**() { return &raw_; }

      private:
        Handle& handle_;
        T* raw_ = nullptr;
    };
    Out out() {
        this->reset();
        return Out(*this);
    }
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
    BusError(const BusError&) = delete;
    BusError& operator=(const BusError&) = delete;
    ~BusError() { sd_bus_error_free(&error); }
    bool has(const char* name) const { return sd_bus_error_has_name(&error, name) != 0; }
    const char* text() const {
        return error.message != nullptr ? error.message
                                        : (error.name != nullptr ? error.name : "unknown");
    }
};

}  // namespace platform::linux_platform
