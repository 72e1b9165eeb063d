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

#include "bus_messages.h"
#include "platform/workspace.h"

namespace platform::linux_platform {

class AccessibilityBus;
class OpenFolders;
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
// A local file or folder shown under `name`, with its file URL.
DesktopDocument localDocument(std::string name, const std::string& path);
// An application as its accessibility tree shows it.
struct DesktopApplicationView {
    std::string name;
    std::vector<DesktopWindow> windows;            // front first
    std::optional<DesktopDocument> frontDocument;  // of the front window
    // The address of the application's own file (its desktop entry), which a capture links to
    // when the application shows no document with an address; empty when it has none.
    std::string applicationURL;
};

// The outcome of asking an application.
enum class DesktopQuery {
    answered,
    // It did not answer in time, now or a short while ago: the view holds what its front
    // window's title says, and the application was not asked again.
    byTitle,
    // The process has no application on the bus (or there is none): the view holds what its
    // front window's title says, when that is known, and has no window otherwise.
    notOnAccessibilityBus,
    timedOut,  // it did not answer in time, and no title of it is known
};

// Says a thing at most once per key in each interval: a reason that holds for every capture of
// an application is worth one log line an hour, not one a capture.
class OncePerInterval {
  public:
    using Clock = std::chrono::steady_clock;
    explicit OncePerInterval(Clock::duration interval) : interval_(interval) {}
    // True the first time for a key, and again once the interval has passed since then.
    bool shouldSay(const std::string& key, Clock::time_point now = Clock::now());

  private:
    Clock::duration interval_;
    std::map<std::string, Clock::time_point> said_;
};

// Why an application could not be asked for its documents, and what the person can do.
enum class UnaskableReason {
    accessibilityOff,  // the session's accessibility is switched off (or its bus is not running)
    notOnAccessibilityBus,  // the application does not show itself on the bus
    browserWithoutFlag,     // a Chromium-based browser started without renderer accessibility
};
// The log line for an application (named by its desktop entry, else its process) that gives
// no link for that reason.
std::string unaskableLine(const std::string& application, UnaskableReason reason);

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
    // meanwhile (said once in the log), with the file its title was last seen to name.
    // `application` names it in the log (its desktop entry); without it the process does.
    // One that cannot be asked (not on the accessibility bus, or accessibility switched off)
    // is described by its window title where that is known, and the log says why, once an
    // hour for each application.
    DesktopQuery viewOfProcess(pid_t pid, std::chrono::milliseconds timeout,
                               DesktopApplicationView* view, const std::string& application = {});

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
    // Whether an EWMH window manager runs, looked for again only now and then.
    bool hasWindowManager(X11Desktop& display);
    DesktopFrontmost frontmostFromAccessibility();
    // The title of the process's front window: the active X11 window's when it is the
    // process's, else the name of the frame last seen active on the accessibility bus.
    std::string titleOfProcess(pid_t pid);
    // Whether the process did not answer in time a short while ago.
    bool isResting(pid_t pid);
    // Notes that a process did not answer in time (logged once per pause).
    void noteNoAnswer(pid_t pid);
    DesktopQuery viewByTitle(pid_t pid, DesktopApplicationView* view);
    // Logs why the application gives no link, at most once an hour for each application; one
    // not on the bus is said to lack accessibility where the session has it switched off.
    void sayWhyUnaskable(pid_t pid, const std::string& application, UnaskableReason reason);
    // A view asked of a browser that shows no page address: whether renderer accessibility is
    // what it lacks.
    static bool isBrowserWithoutRendererAccessibility(pid_t pid);
    // A terminal emulator in front shows the working folder of its shell in front, read from
    // /proc without asking the terminal (linux_terminal_folders.h); absent for other
    // applications, and where the folder cannot be told.
    std::optional<DesktopApplicationView> viewOfTerminal(pid_t pid);
    // A file manager in front that tells the session bus which folder each of its windows
    // shows gives the folder of its front window that way (linux_open_folders.h), without its
    // accessibility tree; absent for other applications, and where it does not tell.
    std::optional<DesktopApplicationView> viewOfOpenFolder(pid_t pid);

    struct RecentView {
        pid_t pid = 0;
        std::string title;
        std::chrono::steady_clock::time_point madeAt;
        DesktopApplicationView view;
    };

    // The application of the window last found active (by _NET_ACTIVE_WINDOW, before a
    // dialog is followed to its main window).
    struct FrontWindow {
        std::uint32_t window = 0;
        RunningApplication application;
    };

    std::unique_ptr<X11Desktop> x11_;
    std::optional<FrontWindow> frontOfWindow_;
    // The process whose active window's title was read last, and that window.
    std::optional<std::pair<pid_t, std::uint32_t>> titledWindow_;
    bool windowManagerSeen_ = false;
    std::chrono::steady_clock::time_point windowManagerCheckedAt_;
    std::unique_ptr<AccessibilityBus> accessibility_;
    std::chrono::steady_clock::time_point nextX11Attempt_;
    std::chrono::steady_clock::time_point nextAccessibilityAttempt_;
    pid_t lastActive_ = 0;
    std::string lastActiveTitle_;
    RunningApplication lastFront_;
    // Until then the one in front that does not answer is taken to be there without a scan.
    std::chrono::steady_clock::time_point silentFrontUntil_;
    std::map<pid_t, std::chrono::steady_clock::time_point> restingUntil_;
    std::optional<RecentView> recentView_;
    // The files that asking an application settled for a window title its title alone leaves
    // open (a Qt editor's menu of recent files): a capture by the title, while the application
    // rests, still names the file. The most recent few.
    std::map<std::pair<pid_t, std::string>, DesktopDocument> settledTitles_;
    // How often a window's menus were searched in vain for the file its title names.
    std::map<std::pair<pid_t, std::string>, int> menuMisses_;
    // The applications a process has on the accessibility bus, with the name of the first.
    struct ProcessApplications {
        std::vector<BusObject> applications;
        std::string name;
    };
    std::map<pid_t, ProcessApplications> applicationsOfProcess_;
    OncePerInterval toldWhy_{std::chrono::hours(1)};
    // Whether a process runs a terminal emulator, with its start time.
    std::map<pid_t, std::pair<std::uint64_t, bool>> terminalProcesses_;
    std::unique_ptr<OpenFolders> openFolders_;
};

}  // namespace platform::linux_platform
