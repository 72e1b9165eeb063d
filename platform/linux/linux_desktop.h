// What the desktop knows of its applications: which one is in front (the active window of an
// X11 window manager, else the active frame on the accessibility bus), who it is (its desktop
// entry), and what its windows show (its accessibility tree, and for editors the file their
// title names).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
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
    // It did not answer in time, now or a short while ago: the view holds what its front
    // window's title says, and the application was not asked again.
    byTitle,
    notOnAccessibilityBus,  // the process has no application on the bus (or there is none)
    timedOut,               // it did not answer in time, and no title of it is known
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
    // `timeout` long, and never longer than the budget of one capture, however long the
    // caller would wait. The events of one capture come within moments of each other: a view
    // made less than a second before, of the same process and window title, is answered
    // again without asking. An application that did not answer in time is not asked again
    // until its late answer has come (a minute at most) and is described by its window title
    // meanwhile (said once in the log).
    DesktopQuery viewOfProcess(pid_t pid, std::chrono::milliseconds timeout,
                               DesktopApplicationView* view);

    // The next view is asked afresh, whatever was asked a moment before (what a benchmark of
    // the query measures).
    void forgetRecentView() { recentView_.reset(); }

    // The most that asking one application for its view may take: well inside the time the
    // main application waits for a capture's answer.
    static constexpr std::chrono::milliseconds kCaptureBudget{1000};

    // The connections, opened (again) when needed; null when there is none.
    X11Desktop* x11();
    AccessibilityBus* accessibility();

  private:
    DesktopFrontmost frontmostFromAccessibility();
    // The title of the process's front window: the active X11 window's when it is the
    // process's, else the name of the frame last seen active on the accessibility bus.
    std::string titleOfProcess(pid_t pid);
    // Whether the process did not answer in time a short while ago.
    bool isResting(pid_t pid);
    // Notes that a process did not answer in time (logged once per pause).
    void noteNoAnswer(pid_t pid);
    DesktopQuery viewByTitle(pid_t pid, DesktopApplicationView* view);
    // A terminal emulator in front shows the working folder of its shell in front, read from
    // /proc without asking the terminal (linux_terminal_folders.h); absent for other
    // applications, and where the folder cannot be told.
    std::optional<DesktopApplicationView> viewOfTerminal(pid_t pid);

    struct RecentView {
        pid_t pid = 0;
        std::string title;
        std::chrono::steady_clock::time_point madeAt;
        DesktopApplicationView view;
    };

    std::unique_ptr<X11Desktop> x11_;
    std::unique_ptr<AccessibilityBus> accessibility_;
    std::chrono::steady_clock::time_point nextX11Attempt_;
    std::chrono::steady_clock::time_point nextAccessibilityAttempt_;
    pid_t lastActive_ = 0;
    std::string lastActiveTitle_;
    RunningApplication lastFront_;
    std::map<pid_t, std::chrono::steady_clock::time_point> restingUntil_;
    std::optional<RecentView> recentView_;
    bool toldHowToSwitchOn_ = false;
    // Whether a process runs a terminal emulator, with its start time.
    std::map<pid_t, std::pair<std::uint64_t, bool>> terminalProcesses_;
};

}  // namespace platform::linux_platform
