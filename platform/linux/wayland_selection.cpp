// Reads a Wayland selection without a surface, through the data-control protocol some
// compositors offer (wlroots-based ones such as sway): a data device for the first seat hears
// at once which offer holds each selection; the text is received through a pipe the owner
// writes into. The compositor and the owner are each waited for with the deadline.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <wayland-client.h>

#include "linux_selection.h"
#include "wlr-data-control-unstable-v1-client-protocol.h"

namespace platform::linux_platform {
namespace {

using Clock = std::chrono::steady_clock;
using Outcome = SelectionReading::Outcome;

// The text types an owner may offer, the preferred first; the last is Latin-1.
constexpr std::array<const char*, 5> kTextTypes{"text/plain;charset=utf-8", "UTF8_STRING",
                                                "text/plain", "TEXT", "STRING"};

int milliseconds(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(left);
}

struct Session {
    wl_display* display = nullptr;
    wl_registry* registry = nullptr;
    wl_seat* seat = nullptr;
    zwlr_data_control_manager_v1* manager = nullptr;
    std::uint32_t managerVersion = 0;
    zwlr_data_control_device_v1* device = nullptr;
    std::map<zwlr_data_control_offer_v1*, std::vector<std::string>> offers;
    zwlr_data_control_offer_v1* clipboard = nullptr;
    zwlr_data_control_offer_v1* primary = nullptr;
    bool finished = false;
    bool synced = false;

    ~Session() {
        for (const auto& [offer, types] : offers) {
            zwlr_data_control_offer_v1_destroy(offer);
        }
        if (device != nullptr) {
            zwlr_data_control_device_v1_destroy(device);
        }
        if (manager != nullptr) {
            zwlr_data_control_manager_v1_destroy(manager);
        }
        if (seat != nullptr) {
            wl_seat_destroy(seat);
        }
        if (registry != nullptr) {
            wl_registry_destroy(registry);
        }
        if (display != nullptr) {
            wl_display_disconnect(display);
        }
    }

    // Dispatches the compositor's events until `done` holds, at most until the deadline.
    template <class Done>
    bool dispatchUntil(Done done, Clock::time_point deadline) {
        while (true) {
            if (wl_display_dispatch_pending(display) < 0) {
                return false;
            }
            if (done()) {
                return true;
            }
            while (wl_display_prepare_read(display) != 0) {
                if (wl_display_dispatch_pending(display) < 0) {
                    return false;
                }
            }
            if (wl_display_flush(display) < 0 && errno != EAGAIN) {
                wl_display_cancel_read(display);
                return false;
            }
            pollfd readable{wl_display_get_fd(display), POLLIN, 0};
            const int ready = ::poll(&readable, 1, milliseconds(deadline));
            if (ready <= 0) {
                wl_display_cancel_read(display);
                if (ready < 0 && errno == EINTR) {
                    continue;
                }
                return false;
            }
            if (wl_display_read_events(display) < 0) {
                return false;
            }
        }
    }

    // Waits until the compositor has answered every request sent so far.
    bool roundTrip(Clock::time_point deadline) {
        synced = false;
        static const wl_callback_listener listener{
            [](void* data, wl_callback* callback, std::uint32_t) {
                static_cast<Session*>(data)->synced = true;
                wl_callback_destroy(callback);
            }};
        wl_callback* callback = wl_display_sync(display);
        wl_callback_add_listener(callback, &listener, this);
        return dispatchUntil([this] { return synced; }, deadline);
    }
};

const wl_registry_listener kRegistryListener{
    [](void* data, wl_registry* registry, std::uint32_t name, const char* interface,
       std::uint32_t version) {
        auto* session = static_cast<Session*>(data);
        if (session->seat == nullptr && std::strcmp(interface, wl_seat_interface.name) == 0) {
            session->seat =
                static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
        } else if (session->manager == nullptr &&
                   std::strcmp(interface, zwlr_data_control_manager_v1_interface.name) == 0) {
            session->managerVersion = version < 2 ? version : 2;
            session->manager = static_cast<zwlr_data_control_manager_v1*>(wl_registry_bind(
                registry, name, &zwlr_data_control_manager_v1_interface, session->managerVersion));
        }
    },
    [](void*, wl_registry*, std::uint32_t) {}};

const zwlr_data_control_offer_v1_listener kOfferListener{
    [](void* data, zwlr_data_control_offer_v1* offer, const char* type) {
        static_cast<Session*>(data)->offers[offer].push_back(type);
    }};

// An offer that no selection holds any more is destroyed, as the protocol asks.
void replaceOffer(Session* session, zwlr_data_control_offer_v1** slot,
                  zwlr_data_control_offer_v1* offer) {
    zwlr_data_control_offer_v1* old = *slot;
    *slot = offer;
    if (old != nullptr && old != session->clipboard && old != session->primary) {
        session->offers.erase(old);
        zwlr_data_control_offer_v1_destroy(old);
    }
}

const zwlr_data_control_device_v1_listener kDeviceListener{
    [](void* data, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1* offer) {
        auto* session = static_cast<Session*>(data);
        session->offers[offer];
        zwlr_data_control_offer_v1_add_listener(offer, &kOfferListener, session);
    },
    [](void* data, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1* offer) {
        auto* session = static_cast<Session*>(data);
        replaceOffer(session, &session->clipboard, offer);
    },
    [](void* data, zwlr_data_control_device_v1*) { static_cast<Session*>(data)->finished = true; },
    [](void* data, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1* offer) {
        auto* session = static_cast<Session*>(data);
        replaceOffer(session, &session->primary, offer);
    }};

}  // namespace

SelectionReading readWaylandSelection(SelectionKind kind, std::chrono::milliseconds timeout,
                                      std::size_t limit) {
    const char* name = std::getenv("WAYLAND_DISPLAY");
    if (name == nullptr || name[0] == '\0') {
        return {Outcome::unavailable, {}, "no Wayland compositor ($WAYLAND_DISPLAY is not set)"};
    }
    Session session;
    session.display = wl_display_connect(nullptr);
    if (session.display == nullptr) {
        return {
            Outcome::unavailable, {}, std::string("cannot reach the Wayland compositor ") + name};
    }
    const auto deadline = Clock::now() + timeout;
    const std::string compositor = std::string("the Wayland compositor ") + name;
    session.registry = wl_display_get_registry(session.display);
    wl_registry_add_listener(session.registry, &kRegistryListener, &session);
    if (!session.roundTrip(deadline)) {
        return {Outcome::noAnswer, {}, compositor + " did not answer in time"};
    }
    if (session.manager == nullptr) {
        return {Outcome::unavailable, {}, compositor + " does not offer the data-control protocol"};
    }
    if (session.seat == nullptr) {
        return {Outcome::unavailable, {}, compositor + " has no seat"};
    }
    const char* const selectionName = kind == SelectionKind::primary ? "primary" : "clipboard";
    const std::string where = compositor + "'s " + selectionName + " selection";
    if (kind == SelectionKind::primary && session.managerVersion < 2) {
        return {Outcome::none, {}, compositor + " does not share the primary selection"};
    }
    session.device = zwlr_data_control_manager_v1_get_data_device(session.manager, session.seat);
    zwlr_data_control_device_v1_add_listener(session.device, &kDeviceListener, &session);
    // The device is told the current selections at once, before the answer to a round trip.
    if (!session.roundTrip(deadline)) {
        return {Outcome::noAnswer, {}, compositor + " did not answer in time"};
    }
    if (session.finished) {
        return {Outcome::unavailable, {}, compositor + " ended the data device at once"};
    }
    zwlr_data_control_offer_v1* offer =
        kind == SelectionKind::primary ? session.primary : session.clipboard;
    if (offer == nullptr) {
        return {Outcome::none, {}, where + " is empty"};
    }
    const std::vector<std::string>& types = session.offers[offer];
    const char* type = nullptr;
    for (const char* wanted : kTextTypes) {
        for (const auto& offered : types) {
            if (type == nullptr && offered == wanted) {
                type = wanted;
            }
        }
    }
    if (type == nullptr) {
        return {Outcome::none, {}, where + " offers no text"};
    }
    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        return {
            Outcome::unavailable, {}, std::string("cannot make a pipe: ") + std::strerror(errno)};
    }
    zwlr_data_control_offer_v1_receive(offer, type, pipe[1]);
    const int flushed = wl_display_flush(session.display);
    ::close(pipe[1]);
    if (flushed < 0 && errno != EAGAIN) {
        ::close(pipe[0]);
        return {Outcome::noAnswer, {}, compositor + " went away"};
    }
    std::string text;
    bool ended = false;
    char buffer[65536];
    while (!ended && text.size() <= limit) {
        pollfd readable{pipe[0], POLLIN, 0};
        const int ready = ::poll(&readable, 1, milliseconds(deadline));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            break;
        }
        const ssize_t got = ::read(pipe[0], buffer, sizeof buffer);
        if (got > 0) {
            text.append(buffer, static_cast<std::size_t>(got));
        } else if (got == 0) {
            ended = true;
        } else if (errno != EAGAIN && errno != EINTR) {
            break;
        }
    }
    ::close(pipe[0]);
    if (text.size() > limit) {
        return {
            Outcome::tooLarge, {}, where + " holds more than " + std::to_string(limit) + " bytes"};
    }
    if (!ended) {
        return {Outcome::noAnswer,
                {},
                where + ": the owner did not send its text in time (" +
                    std::to_string(text.size()) + " bytes came)"};
    }
    if (std::strcmp(type, "STRING") == 0) {
        text = utf8FromLatin1(text);
    }
    return {Outcome::text, std::move(text), where + " as " + type};
}

}  // namespace platform::linux_platform
