// Reads an X11 selection as the ICCCM asks of a requestor: a window of our own (never mapped)
// asks the owner to convert the selection to UTF8_STRING (else STRING) into a property of that
// window, and reads the property once the owner says it is there; a large text comes in pieces
// (INCR), each read and deleted in turn. The owner is another client, so every step waits for
// it with the deadline.
#include <poll.h>
#include <xcb/xcb.h>
#include <xcb/xcbext.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "linux_selection.h"

namespace platform::linux_platform {
namespace {

using Clock = std::chrono::steady_clock;
using Outcome = SelectionReading::Outcome;

std::string hexWindow(xcb_window_t window) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", window);
    return text;
}

struct FreeDeleter {
    void operator()(void* pointer) const { std::free(pointer); }
};
template <class T>
using Owned = std::unique_ptr<T, FreeDeleter>;

class Requestor {
  public:
    Requestor(xcb_connection_t* connection, Clock::time_point deadline)
        : c_(connection), deadline_(deadline) {}

    bool broken() const { return xcb_connection_has_error(c_) != 0; }

    // The reply to a request, waiting until the deadline at most; null when it did not come.
    template <class Reply>
    Owned<Reply> reply(unsigned int sequence) {
        if (xcb_flush(c_) <= 0) {
            return nullptr;
        }
        while (true) {
            void* answer = nullptr;
            xcb_generic_error_t* error = nullptr;
            if (xcb_poll_for_reply(c_, sequence, &answer, &error) != 0) {
                std::free(error);
                return Owned<Reply>(static_cast<Reply*>(answer));
            }
            if (!waitReadable()) {
                return nullptr;
            }
        }
    }

    // The next event, waiting until the deadline at most; null when none came.
    Owned<xcb_generic_event_t> event() {
        if (xcb_flush(c_) <= 0) {
            return nullptr;
        }
        while (true) {
            if (xcb_generic_event_t* next = xcb_poll_for_event(c_)) {
                return Owned<xcb_generic_event_t>(next);
            }
            if (!waitReadable()) {
                return nullptr;
            }
        }
    }

    xcb_atom_t atom(const char* name) {
        const auto cookie =
            xcb_intern_atom(c_, 0, static_cast<std::uint16_t>(std::strlen(name)), name);
        auto answer = reply<xcb_intern_atom_reply_t>(cookie.sequence);
        return answer ? answer->atom : xcb_atom_t{XCB_ATOM_NONE};
    }

  private:
    bool waitReadable() {
        if (broken()) {
            return false;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd readable{xcb_get_file_descriptor(c_), POLLIN, 0};
        return ::poll(&readable, 1, static_cast<int>(left.count())) >= 0 || errno == EINTR;
    }

    xcb_connection_t* c_;
    Clock::time_point deadline_;
};

struct Connection {
    xcb_connection_t* connection = nullptr;
    ~Connection() {
        if (connection != nullptr) {
            xcb_disconnect(connection);
        }
    }
};

}  // namespace

std::string utf8FromLatin1(std::string_view latin1) {
    std::string utf8;
    utf8.reserve(latin1.size());
    for (const char c : latin1) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            utf8 += c;
        } else {
            utf8 += static_cast<char>(0xC0 | (byte >> 6));
            utf8 += static_cast<char>(0x80 | (byte & 0x3F));
        }
    }
    return utf8;
}

SelectionReading readX11Selection(SelectionKind kind, std::chrono::milliseconds timeout,
                                  std::size_t limit) {
    const char* display = std::getenv("DISPLAY");
    if (display == nullptr || display[0] == '\0') {
        return {Outcome::unavailable, {}, "no X11 display ($DISPLAY is not set)"};
    }
    Connection holder;
    int screenNumber = 0;
    holder.connection = xcb_connect(display, &screenNumber);
    xcb_connection_t* c = holder.connection;
    if (xcb_connection_has_error(c) != 0) {
        return {Outcome::unavailable, {}, std::string("cannot reach the X11 display ") + display};
    }
    const auto deadline = Clock::now() + timeout;
    Requestor requestor(c, deadline);
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (int i = 0; i < screenNumber && screens.rem > 0; ++i) {
        xcb_screen_next(&screens);
    }
    if (screens.rem <= 0) {
        return {Outcome::unavailable,
                {},
                std::string("the X11 display ") + display + " has no screen " +
                    std::to_string(screenNumber)};
    }
    const char* const selectionName = kind == SelectionKind::primary ? "PRIMARY" : "CLIPBOARD";
    const xcb_atom_t selection =
        kind == SelectionKind::primary ? xcb_atom_t{XCB_ATOM_PRIMARY} : requestor.atom("CLIPBOARD");
    const xcb_atom_t utf8String = requestor.atom("UTF8_STRING");
    const xcb_atom_t incremental = requestor.atom("INCR");
    const xcb_atom_t property = requestor.atom("PENDRA_SELECTION");
    if (selection == XCB_ATOM_NONE || utf8String == XCB_ATOM_NONE || incremental == XCB_ATOM_NONE ||
        property == XCB_ATOM_NONE) {
        return {Outcome::noAnswer,
                {},
                std::string("the X11 display ") + display + " did not answer in time"};
    }
    const std::string where = std::string("the X11 ") + selectionName + " selection";

    const auto ownerCookie = xcb_get_selection_owner(c, selection);
    const auto ownerReply = requestor.reply<xcb_get_selection_owner_reply_t>(ownerCookie.sequence);
    if (!ownerReply) {
        return {Outcome::noAnswer,
                {},
                std::string("the X11 display ") + display + " did not answer in time"};
    }
    if (ownerReply->owner == XCB_WINDOW_NONE) {
        return {Outcome::none, {}, where + " has no owner"};
    }
    const std::string owner = where + " (owned by window " + hexWindow(ownerReply->owner) + ")";

    const xcb_window_t window = xcb_generate_id(c);
    const std::uint32_t eventMask = XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screens.data->root, 0, 0, 1, 1, 0,
                      XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK,
                      &eventMask);

    // Asks the owner for the text in one type and waits for its notice: true when the
    // property holds it.
    auto convert = [&](xcb_atom_t target, bool* answered) {
        xcb_convert_selection(c, window, selection, target, property, XCB_CURRENT_TIME);
        while (auto event = requestor.event()) {
            if ((event->response_type & 0x7F) != XCB_SELECTION_NOTIFY) {
                continue;
            }
            const auto* notice = reinterpret_cast<const xcb_selection_notify_event_t*>(event.get());
            if (notice->requestor != window || notice->selection != selection) {
                continue;
            }
            *answered = true;
            return notice->property != XCB_ATOM_NONE;
        }
        *answered = false;
        return false;
    };
    bool answered = false;
    xcb_atom_t type = utf8String;
    if (!convert(utf8String, &answered)) {
        if (!answered) {
            return {Outcome::noAnswer, {}, owner + ": the owner did not answer in time"};
        }
        type = XCB_ATOM_STRING;
        if (!convert(XCB_ATOM_STRING, &answered)) {
            return answered
                       ? SelectionReading{Outcome::none, {}, owner + " offers no text"}
                       : SelectionReading{
                             Outcome::noAnswer, {}, owner + ": the owner did not answer in time"};
        }
    }

    // The property, deleted as it is read, which tells an INCR owner to send the next piece.
    // Its length is asked in 32-bit units, one more than the limit allows, so that a larger
    // text shows as bytes left over.
    const std::uint32_t units = static_cast<std::uint32_t>(limit / 4 + 1);
    auto take = [&](xcb_atom_t* gotType, std::string* bytes) {
        const auto cookie =
            xcb_get_property(c, 1, window, property, XCB_GET_PROPERTY_TYPE_ANY, 0, units);
        auto value = requestor.reply<xcb_get_property_reply_t>(cookie.sequence);
        if (!value) {
            return false;
        }
        *gotType = value->type;
        // The length is in bytes whatever the format.
        bytes->assign(static_cast<const char*>(xcb_get_property_value(value.get())),
                      static_cast<std::size_t>(xcb_get_property_value_length(value.get())));
        return value->bytes_after == 0 || bytes->size() > limit;
    };
    xcb_atom_t gotType = XCB_ATOM_NONE;
    std::string text;
    if (!take(&gotType, &text)) {
        return {Outcome::noAnswer, {}, owner + ": the display did not answer in time"};
    }
    if (gotType == incremental) {
        text.clear();
        while (true) {
            auto event = requestor.event();
            if (!event) {
                return {Outcome::noAnswer,
                        {},
                        owner + ": the owner stopped sending its text after " +
                            std::to_string(text.size()) + " bytes"};
            }
            if ((event->response_type & 0x7F) != XCB_PROPERTY_NOTIFY) {
                continue;
            }
            const auto* change = reinterpret_cast<const xcb_property_notify_event_t*>(event.get());
            if (change->window != window || change->atom != property ||
                change->state != XCB_PROPERTY_NEW_VALUE) {
                continue;
            }
            std::string piece;
            if (!take(&gotType, &piece)) {
                return {Outcome::noAnswer, {}, owner + ": the display did not answer in time"};
            }
            if (piece.empty()) {
                break;
            }
            text += piece;
            if (text.size() > limit) {
                break;
            }
        }
    }
    if (text.size() > limit) {
        return {
            Outcome::tooLarge, {}, owner + " holds more than " + std::to_string(limit) + " bytes"};
    }
    if (type == XCB_ATOM_STRING) {
        text = utf8FromLatin1(text);
    }
    return {Outcome::text, std::move(text), owner};
}

}  // namespace platform::linux_platform
