// What the desktop knows of its applications: which one is in front (the active window of an
// X11 window manager, else the active frame on the accessibility bus), who it is (its desktop
// entry), and what its windows show (its accessibility tree, and for editors the file their
// title names).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/workspace.h"

namespace platform::linux_platform {

class AccessibilityBus;
class X11Desktop;

// A window of an application and what it shows.
struct DesktopWindow {
    std::string name;
};
struct DesktopDocument {
    std::string name;
    std::string url;   // empty when the document has no address
    std::string path;  // for a local file
};
// An application as its accessibility tree shows it.
struct DesktopApplicationView {
    std::string name;
    std::vector<DesktopWindow> windows;            // front first
    std::optional<DesktopDocument> frontDocument;  // of the front window
};

// The outcome of asking an application.
enum class DesktopQuery {
    answered,
    notOnAccessibilityBus,  // the process has no application on the bus (or there is none)
    timedOut,               // it did not answer in time
};

// The identity of an application of the desktop: its desktop entry, found by the GTK
// application id, else by StartupWMClass equal to the window class (ignoring case), else by
// the program of the entry being the process's executable. Without an entry it has no
// identifier and goes by `fallbackName`.
RunningApplication desktopApplication(pid_t pid, const std::string& applicationId,
                                      const std::string& windowClass,
                                      const std::string& fallbackName);

// What the desktop says is in front.
struct DesktopFrontmost {
    // False when neither an X11 window manager nor the accessibility bus can tell, so that the
    // caller falls back to its own record; the application is then absent too.
    bool desktopCanTell = false;
    // Absent when the desktop has nothing in front.
    std::optional<RunningApplication> application;
};

class DesktopSession {
  public:
    DesktopSession();
    ~DesktopSession();
    DesktopSession(const DesktopSession&) = delete;
    DesktopSession& operator=(const DesktopSession&) = delete;

    // The frontmost application, as far as an X11 window manager or the accessibility bus
    // can tell.
    DesktopFrontmost frontmostApplication();

    // What the application of a process shows, asked of that process alone; at most
    // `timeout` long.
    DesktopQuery viewOfProcess(pid_t pid, std::chrono::milliseconds timeout,
                               DesktopApplicationView* view);

    // The connections, opened (again) when needed; null when there is none.
    X11Desktop* x11();
    AccessibilityBus* accessibility();

  private:
    DesktopFrontmost frontmostFromAccessibility();

    std::unique_ptr<X11Desktop> x11_;
    std::unique_ptr<AccessibilityBus> accessibility_;
    std::chrono::steady_clock::time_point nextX11Attempt_;
    std::chrono::steady_clock::time_point nextAccessibilityAttempt_;
    pid_t lastActive_ = 0;
    bool toldHowToSwitchOn_ = false;
};

}  // namespace platform::linux_platform
