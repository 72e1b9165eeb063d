#include <poll.h>
#include <xcb/xcb.h>
#include <xcb/xcb_ewmh.h>
#include <xcb/xcbext.h>

#include <cstdlib>
#include <cstring>

#include "linux_x11.h"

namespace platform::linux_platform {

using Clock = std::chrono::steady_clock;

struct X11Desktop::Connection {
    xcb_connection_t* connection = nullptr;
    xcb_ewmh_connection_t ewmh{};
    bool ewmhAllocated = false;
    int screen = 0;
    xcb_window_t root = 0;
    xcb_atom_t gtkApplicationId = XCB_ATOM_NONE;
    // Atoms of further properties asked for by name, interned at their first use.
    std::map<std::string, xcb_atom_t> atoms;
    bool failed = false;

    ~Connection() {
        if (ewmhAllocated) {
            xcb_ewmh_connection_wipe(&ewmh);
        }
        if (connection != nullptr) {
            xcb_disconnect(connection);
        }
    }

    // Waits until the server has answered every request sent so far, at most until the
    // deadline: a request of its own goes last, and replies come in order. False when the
    // server did not answer in time or the connection broke; the connection is then given up.
    bool answered(Clock::time_point deadline) {
        if (failed || xcb_connection_has_error(connection) != 0) {
            failed = true;
            return false;
        }
        const xcb_get_input_focus_cookie_t marker = xcb_get_input_focus(connection);
        if (xcb_flush(connection) <= 0) {
            failed = true;
            return false;
        }
        const int fd = xcb_get_file_descriptor(connection);
        while (true) {
            void* reply = nullptr;
            xcb_generic_error_t* error = nullptr;
            if (xcb_poll_for_reply(connection, marker.sequence, &reply, &error) != 0) {
                std::free(reply);
                std::free(error);
                return true;
            }
            if (xcb_connection_has_error(connection) != 0) {
                failed = true;
                return false;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) {
                failed = true;
                return false;
            }
            pollfd readable{fd, POLLIN, 0};
            if (::poll(&readable, 1, static_cast<int>(left.count())) < 0 && errno != EINTR) {
                failed = true;
                return false;
            }
            // Reading the next event makes xcb take in whatever the socket holds, replies
            // included; events are of no interest here.
            while (xcb_generic_event_t* event = xcb_poll_for_event(connection)) {
                std::free(event);
            }
        }
    }

    std::string textProperty(xcb_get_property_cookie_t cookie) {
        xcb_get_property_reply_t* reply = xcb_get_property_reply(connection, cookie, nullptr);
        std::string text;
        if (reply != nullptr && reply->format == 8) {
            text.assign(static_cast<const char*>(xcb_get_property_value(reply)),
                        static_cast<std::size_t>(xcb_get_property_value_length(reply)));
        }
        std::free(reply);
        return text;
    }

    xcb_window_t windowProperty(xcb_get_property_cookie_t cookie) {
        xcb_get_property_reply_t* reply = xcb_get_property_reply(connection, cookie, nullptr);
        xcb_window_t window = 0;
        if (reply == nullptr || xcb_ewmh_get_window_from_reply(&window, reply) == 0) {
            window = 0;
        }
        std::free(reply);
        return window;
    }

    xcb_get_property_cookie_t property(xcb_window_t window, xcb_atom_t atom, xcb_atom_t type) {
        return xcb_get_property(connection, 0, window, atom, type, 0, 1024);
    }
};

X11Desktop::X11Desktop(std::unique_ptr<Connection> connection, std::string display)
    : connection_(std::move(connection)), display_(std::move(display)) {}

X11Desktop::~X11Desktop() = default;

std::unique_ptr<X11Desktop> X11Desktop::connect(std::chrono::milliseconds timeout) {
    const char* display = std::getenv("DISPLAY");
    if (display == nullptr || display[0] == '\0') {
        return nullptr;
    }
    auto connection = std::make_unique<Connection>();
    connection->connection = xcb_connect(display, &connection->screen);
    if (xcb_connection_has_error(connection->connection) != 0) {
        return nullptr;
    }
    const auto deadline = Clock::now() + timeout;
    xcb_intern_atom_cookie_t* atoms =
        xcb_ewmh_init_atoms(connection->connection, &connection->ewmh);
    connection->ewmhAllocated = true;
    constexpr const char* kGtkApplicationId = "_GTK_APPLICATION_ID";
    const auto gtk = xcb_intern_atom(connection->connection, 0,
                                     static_cast<std::uint16_t>(std::strlen(kGtkApplicationId)),
                                     kGtkApplicationId);
    if (!connection->answered(deadline)) {
        // The replies are dropped with the connection; the atoms' cookies go with it.
        std::free(atoms);
        return nullptr;
    }
    const bool ewmhReady = xcb_ewmh_init_atoms_replies(&connection->ewmh, atoms, nullptr) != 0;
    if (xcb_intern_atom_reply_t* reply =
            xcb_intern_atom_reply(connection->connection, gtk, nullptr)) {
        connection->gtkApplicationId = reply->atom;
        std::free(reply);
    }
    if (!ewmhReady || connection->screen < 0 || connection->screen >= connection->ewmh.nb_screens) {
        return nullptr;
    }
    connection->root = connection->ewmh.screens[connection->screen]->root;
    return std::unique_ptr<X11Desktop>(new X11Desktop(std::move(connection), display));
}

bool X11Desktop::isUsable() const {
    return !connection_->failed && xcb_connection_has_error(connection_->connection) == 0;
}

std::optional<bool> X11Desktop::hasWindowManager(std::chrono::milliseconds timeout) {
    auto& c = *connection_;
    const auto deadline = Clock::now() + timeout;
    const auto rootCheck = xcb_ewmh_get_supporting_wm_check(&c.ewmh, c.root);
    if (!c.answered(deadline)) {
        return std::nullopt;
    }
    const xcb_window_t check = c.windowProperty(rootCheck);
    if (check == 0) {
        return false;
    }
    // A window manager that has gone leaves its property behind; the window it names must
    // name itself.
    const auto ownCheck = xcb_ewmh_get_supporting_wm_check(&c.ewmh, check);
    if (!c.answered(deadline)) {
        return std::nullopt;
    }
    return c.windowProperty(ownCheck) == check;
}

std::optional<std::uint32_t> X11Desktop::activeWindowId(std::chrono::milliseconds timeout) {
    auto& c = *connection_;
    const auto cookie = xcb_ewmh_get_active_window(&c.ewmh, c.screen);
    if (!c.answered(Clock::now() + timeout)) {
        return std::nullopt;
    }
    return c.windowProperty(cookie);
}

std::optional<std::string> X11Desktop::titleIfActive(std::uint32_t window,
                                                     std::chrono::milliseconds timeout) {
    auto& c = *connection_;
    const auto activeCookie = xcb_ewmh_get_active_window(&c.ewmh, c.screen);
    const auto nameCookie = c.property(window, c.ewmh._NET_WM_NAME, c.ewmh.UTF8_STRING);
    const auto legacyNameCookie = c.property(window, XCB_ATOM_WM_NAME, XCB_ATOM_ANY);
    if (!c.answered(Clock::now() + timeout)) {
        return std::nullopt;
    }
    const bool active = c.windowProperty(activeCookie) == window;
    std::string title = c.textProperty(nameCookie);
    const std::string legacyName = c.textProperty(legacyNameCookie);
    if (!active) {
        return std::nullopt;
    }
    return title.empty() ? legacyName : title;
}

std::optional<std::string> X11Desktop::textProperty(std::uint32_t window, const std::string& name,
                                                    std::chrono::milliseconds timeout) {
    auto& c = *connection_;
    const auto deadline = Clock::now() + timeout;
    auto atom = c.atoms.find(name);
    if (atom == c.atoms.end()) {
        const auto cookie =
            xcb_intern_atom(c.connection, 0, static_cast<std::uint16_t>(name.size()), name.c_str());
        if (!c.answered(deadline)) {
            return std::nullopt;
        }
        xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(c.connection, cookie, nullptr);
        if (reply == nullptr) {
            return std::nullopt;
        }
        atom = c.atoms.emplace(name, reply->atom).first;
        std::free(reply);
    }
    const auto cookie = c.property(window, atom->second, c.ewmh.UTF8_STRING);
    if (!c.answered(deadline)) {
        return std::nullopt;
    }
    return c.textProperty(cookie);
}

std::optional<ActiveWindow> X11Desktop::activeWindow(std::chrono::milliseconds timeout) {
    auto& c = *connection_;
    const auto deadline = Clock::now() + timeout;
    const auto activeCookie = xcb_ewmh_get_active_window(&c.ewmh, c.screen);
    if (!c.answered(deadline)) {
        return std::nullopt;
    }
    ActiveWindow active;
    active.window = c.windowProperty(activeCookie);
    if (active.window == 0 || active.window == c.root) {
        active.window = 0;
        return active;
    }
    // Everything about a window is asked at once, whether it is a dialog or not: a dialog
    // leads to the window it belongs to (a chain of them ends within a few steps), which is
    // then asked in its turn, and what was asked of the dialog goes unread.
    const bool askId = c.gtkApplicationId != XCB_ATOM_NONE;
    struct Asked {
        xcb_get_property_cookie_t transient, pid, name, legacyName, windowClass, id;
    };
    auto ask = [&](xcb_window_t window) {
        return Asked{c.property(window, XCB_ATOM_WM_TRANSIENT_FOR, XCB_ATOM_WINDOW),
                     xcb_ewmh_get_wm_pid(&c.ewmh, window),
                     c.property(window, c.ewmh._NET_WM_NAME, c.ewmh.UTF8_STRING),
                     c.property(window, XCB_ATOM_WM_NAME, XCB_ATOM_ANY),
                     c.property(window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING),
                     c.property(window, askId ? c.gtkApplicationId : xcb_atom_t{XCB_ATOM_NONE},
                                c.ewmh.UTF8_STRING)};
    };
    Asked asked = ask(active.window);
    for (int step = 0;; ++step) {
        if (!c.answered(deadline)) {
            return std::nullopt;
        }
        const xcb_window_t owner = c.windowProperty(asked.transient);
        if (step == 8 || owner == 0 || owner == c.root || owner == active.window) {
            break;
        }
        for (const auto unread :
             {asked.pid, asked.name, asked.legacyName, asked.windowClass, asked.id}) {
            xcb_discard_reply(c.connection, unread.sequence);
        }
        if (active.dialog == 0) {
            active.dialog = active.window;
        }
        active.window = owner;
        asked = ask(owner);
    }
    std::uint32_t pid = 0;
    if (xcb_ewmh_get_wm_pid_reply(&c.ewmh, asked.pid, &pid, nullptr) != 0) {
        active.pid = static_cast<pid_t>(pid);
    }
    active.title = c.textProperty(asked.name);
    const std::string legacyName = c.textProperty(asked.legacyName);
    if (active.title.empty()) {
        active.title = legacyName;
    }
    // WM_CLASS holds two texts, each ended by a null character.
    const std::string windowClass = c.textProperty(asked.windowClass);
    const auto split = windowClass.find('\0');
    active.instanceName = windowClass.substr(0, split);
    if (split != std::string::npos) {
        active.className = windowClass.substr(split + 1);
        if (const auto end = active.className.find('\0'); end != std::string::npos) {
            active.className.erase(end);
        }
    }
    const std::string applicationId = c.textProperty(asked.id);
    active.applicationId = askId ? applicationId : std::string();
    return active;
}

}  // namespace platform::linux_platform
