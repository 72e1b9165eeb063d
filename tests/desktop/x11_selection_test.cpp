// The X11 selection reader against an owner of the test's own on the session's display, which
// answers as real owners do (UTF8_STRING, Latin-1 STRING only, a large text in INCR pieces) or
// as broken ones do (no text, no answer at all).
#include <poll.h>
#include <xcb/xcb.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <thread>

#include <gtest/gtest.h>

#include "desktop/desktop_session.h"
#include "linux_selection.h"

namespace desktop_test {
namespace {

using platform::linux_platform::SelectionKind;
using platform::linux_platform::SelectionReading;
using Outcome = SelectionReading::Outcome;

xcb_atom_t atomNamed(xcb_connection_t* c, const char* name) {
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
        c, xcb_intern_atom(c, 0, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr);
    const xcb_atom_t atom = reply != nullptr ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
    std::free(reply);
    return atom;
}

class SelectionOwner {
  public:
    enum class Answer { utf8, latin1Only, incremental, noText, silent };

    SelectionOwner(SelectionKind kind, Answer answer, std::string text)
        : answer_(answer), text_(std::move(text)) {
        c_ = xcb_connect(nullptr, nullptr);
        const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c_)).data;
        window_ = xcb_generate_id(c_);
        xcb_create_window(c_, XCB_COPY_FROM_PARENT, window_, screen->root, 0, 0, 1, 1, 0,
                          XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, 0, nullptr);
        selection_ = kind == SelectionKind::primary ? xcb_atom_t{XCB_ATOM_PRIMARY}
                                                    : atomNamed(c_, "CLIPBOARD");
        utf8_ = atomNamed(c_, "UTF8_STRING");
        incr_ = atomNamed(c_, "INCR");
        xcb_set_selection_owner(c_, window_, selection_, XCB_CURRENT_TIME);
        xcb_get_selection_owner_reply_t* owner =
            xcb_get_selection_owner_reply(c_, xcb_get_selection_owner(c_, selection_), nullptr);
        owns_ = owner != nullptr && owner->owner == window_;
        std::free(owner);
        thread_ = std::thread([this] { serve(); });
    }

    ~SelectionOwner() {
        stop_ = true;
        thread_.join();
        xcb_disconnect(c_);
    }

    bool owns() const { return owns_; }

  private:
    void notify(const xcb_selection_request_event_t& request, xcb_atom_t property) {
        xcb_selection_notify_event_t notice{};
        notice.response_type = XCB_SELECTION_NOTIFY;
        notice.time = request.time;
        notice.requestor = request.requestor;
        notice.selection = request.selection;
        notice.target = request.target;
        notice.property = property;
        xcb_send_event(c_, 0, request.requestor, XCB_EVENT_MASK_NO_EVENT,
                       reinterpret_cast<const char*>(&notice));
    }

    void put(xcb_window_t window, xcb_atom_t property, xcb_atom_t type, std::string_view bytes) {
        xcb_change_property(c_, XCB_PROP_MODE_REPLACE, window, property, type, 8,
                            static_cast<std::uint32_t>(bytes.size()), bytes.data());
    }

    void answer(const xcb_selection_request_event_t& request) {
        const xcb_atom_t property =
            request.property == XCB_ATOM_NONE ? request.target : request.property;
        const bool utf8 = request.target == utf8_;
        const bool latin1 = request.target == XCB_ATOM_STRING;
        switch (answer_) {
            case Answer::silent:
                return;
            case Answer::noText:
                notify(request, XCB_ATOM_NONE);
                return;
            case Answer::utf8:
                if (utf8) {
                    put(request.requestor, property, utf8_, text_);
                }
                notify(request, utf8 ? property : xcb_atom_t{XCB_ATOM_NONE});
                return;
            case Answer::latin1Only:
                if (latin1) {
                    put(request.requestor, property, XCB_ATOM_STRING, text_);
                }
                notify(request, latin1 ? property : xcb_atom_t{XCB_ATOM_NONE});
                return;
            case Answer::incremental: {
                if (!utf8) {
                    notify(request, XCB_ATOM_NONE);
                    return;
                }
                // Each deletion of the property asks for the next piece.
                const std::uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
                xcb_change_window_attributes(c_, request.requestor, XCB_CW_EVENT_MASK, &mask);
                const auto size = static_cast<std::uint32_t>(text_.size());
                xcb_change_property(c_, XCB_PROP_MODE_REPLACE, request.requestor, property, incr_,
                                    32, 1, &size);
                incrementalTo_ = request.requestor;
                incrementalProperty_ = property;
                sent_ = 0;
                notify(request, property);
                return;
            }
        }
    }

    void serve() {
        constexpr std::size_t kPiece = 65536;
        while (!stop_) {
            xcb_flush(c_);
            pollfd readable{xcb_get_file_descriptor(c_), POLLIN, 0};
            ::poll(&readable, 1, 20);
            while (xcb_generic_event_t* event = xcb_poll_for_event(c_)) {
                const int type = event->response_type & 0x7F;
                if (type == XCB_SELECTION_REQUEST) {
                    answer(*reinterpret_cast<xcb_selection_request_event_t*>(event));
                } else if (type == XCB_PROPERTY_NOTIFY && incrementalTo_ != XCB_WINDOW_NONE) {
                    const auto* change = reinterpret_cast<xcb_property_notify_event_t*>(event);
                    if (change->window == incrementalTo_ && change->atom == incrementalProperty_ &&
                        change->state == XCB_PROPERTY_DELETE) {
                        const std::string_view rest = std::string_view(text_).substr(sent_);
                        const std::string_view piece = rest.substr(0, kPiece);
                        put(incrementalTo_, incrementalProperty_, utf8_, piece);
                        sent_ += piece.size();
                        if (piece.empty()) {
                            incrementalTo_ = XCB_WINDOW_NONE;
                        }
                    }
                }
                std::free(event);
            }
        }
    }

    Answer answer_;
    std::string text_;
    xcb_connection_t* c_ = nullptr;
    xcb_window_t window_ = 0;
    xcb_atom_t selection_ = XCB_ATOM_NONE;
    xcb_atom_t utf8_ = XCB_ATOM_NONE;
    xcb_atom_t incr_ = XCB_ATOM_NONE;
    bool owns_ = false;
    xcb_window_t incrementalTo_ = XCB_WINDOW_NONE;
    xcb_atom_t incrementalProperty_ = XCB_ATOM_NONE;
    std::size_t sent_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

TEST(X11SelectionTest, ReadsWhatEachKindOfOwnerGives) {
    if (!RealApplications::available() || onWayland()) {
        GTEST_SKIP() << "no X11 desktop session (run through scripts/desktop-session.sh)";
    }
    using Answer = SelectionOwner::Answer;
    std::string large(300'000, 'x');
    for (std::size_t i = 0; i < large.size(); i += 1000) {
        large[i] = static_cast<char>('a' + (i / 1000) % 26);
    }
    struct Case {
        const char* name;
        SelectionKind kind;
        Answer answer;
        std::string text;
        std::size_t limit;
        Outcome outcome;
        std::string read;
    };
    const std::size_t kLimit = 16 * 1024 * 1024;
    const std::vector<Case> cases{
        {"UTF-8 text", SelectionKind::primary, Answer::utf8, "chosen w\xC3\xB6rds\n", kLimit,
         Outcome::text, "chosen w\xC3\xB6rds\n"},
        {"the clipboard", SelectionKind::clipboard, Answer::utf8, "copied", kLimit, Outcome::text,
         "copied"},
        {"Latin-1 text only", SelectionKind::primary, Answer::latin1Only, "caf\xE9", kLimit,
         Outcome::text, "caf\xC3\xA9"},
        {"a large text in pieces", SelectionKind::primary, Answer::incremental, large, kLimit,
         Outcome::text, large},
        {"a large text beyond the limit", SelectionKind::primary, Answer::incremental, large,
         100'000, Outcome::tooLarge, ""},
        {"a text beyond the limit at once", SelectionKind::primary, Answer::utf8,
         std::string(5000, 'y'), 1000, Outcome::tooLarge, ""},
        {"no text", SelectionKind::primary, Answer::noText, "", kLimit, Outcome::none, ""},
        {"no answer", SelectionKind::primary, Answer::silent, "", kLimit, Outcome::noAnswer, ""},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.name);
        SelectionOwner owner(each.kind, each.answer, each.text);
        ASSERT_TRUE(owner.owns());
        const auto start = std::chrono::steady_clock::now();
        const SelectionReading reading =
            platform::linux_platform::readX11Selection(each.kind, 1s, each.limit);
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(reading.outcome, each.outcome) << reading.detail;
        EXPECT_EQ(reading.text.size(), each.read.size());
        EXPECT_TRUE(reading.text == each.read);
        EXPECT_NE(reading.detail.find("owned by window"), std::string::npos) << reading.detail;
        // A second for the owner, and room for a loaded machine; an owner that never answers
        // must not hold the reader longer.
        EXPECT_LT(took, 10s);
    }

    // Nobody owns the selection once its owner has let it go.
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    xcb_set_selection_owner(c, XCB_WINDOW_NONE, XCB_ATOM_PRIMARY, XCB_CURRENT_TIME);
    std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    xcb_disconnect(c);
    const SelectionReading reading =
        platform::linux_platform::readX11Selection(SelectionKind::primary, 1s, kLimit);
    EXPECT_EQ(reading.outcome, Outcome::none);
    EXPECT_EQ(reading.detail, "the X11 PRIMARY selection has no owner");
}

}  // namespace
}  // namespace desktop_test
