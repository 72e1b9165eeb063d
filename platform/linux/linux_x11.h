// The active window of an X11 desktop, read from the properties an EWMH window manager keeps
// (xcb with xcb-ewmh). Replies are awaited with a deadline, so an X server that does not
// answer costs at most that long, and a display that has gone away is connected to again at
// the next question.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace platform::linux_platform {

// What the desktop says about its active window; a dialog has been followed to its main
// window.
struct ActiveWindow {
    std::uint32_t window = 0;   // 0: the desktop has no active window
    std::uint32_t dialog = 0;   // the transient window that was active, when there was one
    pid_t pid = 0;              // _NET_WM_PID, 0 when not set
    std::string title;          // _NET_WM_NAME, else WM_NAME
    std::string instanceName;   // WM_CLASS, first part
    std::string className;      // WM_CLASS, second part
    std::string applicationId;  // _GTK_APPLICATION_ID
};

class X11Desktop {
  public:
    // The display named by $DISPLAY; absent when it is unset or empty or cannot be reached.
    static std::unique_ptr<X11Desktop> connect(std::chrono::milliseconds timeout);
    ~X11Desktop();
    X11Desktop(const X11Desktop&) = delete;
    X11Desktop& operator=(const X11Desktop&) = delete;

    const std::string& displayName() const { return display_; }
    // False once the connection has failed or a reply did not come in time.
    bool isUsable() const;

    // True when an EWMH window manager runs (_NET_SUPPORTING_WM_CHECK names a live window).
    std::optional<bool> hasWindowManager(std::chrono::milliseconds timeout);
    // The active window; absent when the display did not answer in time.
    std::optional<ActiveWindow> activeWindow(std::chrono::milliseconds timeout);
    // One property read of the root window (_NET_ACTIVE_WINDOW), for measuring.
    std::optional<std::uint32_t> activeWindowId(std::chrono::milliseconds timeout);
    // The title of `window` while it is the active one, asked together with which one is, in
    // one round trip; absent when another is active or the display did not answer in time.
    std::optional<std::string> titleIfActive(std::uint32_t window,
                                             std::chrono::milliseconds timeout);
    // A UTF-8 text property of a window, by the property's name (_GTK_WINDOW_OBJECT_PATH);
    // empty when the window does not have it, absent when the display did not answer in time.
    std::optional<std::string> textProperty(std::uint32_t window, const std::string& name,
                                            std::chrono::milliseconds timeout);

  private:
    struct Connection;
    explicit X11Desktop(std::unique_ptr<Connection> connection, std::string display);
    std::unique_ptr<Connection> connection_;
    std::string display_;
};

}  // namespace platform::linux_platform
