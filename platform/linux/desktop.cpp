#include <sys/stat.h>

#include <algorithm>
#include <fstream>

#include "linux_accessibility.h"
#include "linux_desktop.h"
#include "linux_desktop_entries.h"
#include "linux_editor_titles.h"
#include "linux_support.h"
#include "linux_x11.h"

namespace platform::linux_platform {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The X server answers property reads at once; this only bounds a server that has stopped.
constexpr auto kX11Timeout = 500ms;
constexpr auto kAccessibilityConnectTimeout = 500ms;
// A display or accessibility bus that could not be reached is tried again after this long, not
// on every question: a capture asks several, and each failed attempt costs a connection.
constexpr auto kReconnectInterval = 5s;
// Looking for the active frame asks every application; each has this long.
constexpr auto kFrameScanCallLimit = 200ms;
constexpr auto kFrameScanTimeout = 1500ms;
// An application that did not answer in time is left alone until it has answered what it was
// asked, or this long at most: whatever it was asked may keep it busy still, and a further
// question would only queue behind it.
constexpr auto kRestAfterNoAnswer = 60s;
// The events of one capture follow each other within moments; a view is answered again to
// them for this long.
constexpr auto kViewReuse = 1s;

std::string executableOf(pid_t pid) {
    char buffer[4096];
    const std::string link = "/proc/" + std::to_string(pid) + "/exe";
    const ssize_t length = ::readlink(link.c_str(), buffer, sizeof buffer - 1);
    return length > 0 ? std::string(buffer, static_cast<std::size_t>(length)) : std::string();
}

bool isRegularFile(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

std::string processName(pid_t pid) {
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

// The local file an editor's title names, when the file is there.
std::optional<DesktopDocument> documentOfEditorTitle(const std::string& title,
                                                     const std::string& editorName) {
    const auto file = fileOfEditorTitle(title, editorName);
    if (!file || file->path.empty() || !isRegularFile(file->path)) {
        return std::nullopt;
    }
    return DesktopDocument{file->name, URL::fileURLWithPath(file->path).absoluteString(),
                           file->path};
}

}  // namespace

RunningApplication desktopApplication(pid_t pid, const std::string& applicationId,
                                      const std::string& windowClass,
                                      const std::string& fallbackName) {
    RunningApplication application;
    application.processIdentifier = pid > 0 ? pid : -1;
    const auto index = DesktopEntryIndex::current();
    const ApplicationEntry* entry = nullptr;
    if (!applicationId.empty()) {
        entry = index->entryWithId(applicationId);
    }
    if (entry == nullptr) {
        entry = index->entryWithWindowClass(windowClass);
    }
    if (entry == nullptr && pid > 0) {
        if (const std::string executable = executableOf(pid); !executable.empty()) {
            entry = index->entryWithExecutable(executable);
        }
    }
    if (entry == nullptr) {
        if (!fallbackName.empty()) {
            application.localizedName = fallbackName;
        }
        return application;
    }
    application.bundleIdentifier = entry->id;
    application.localizedName = entry->name;
    application.bundleURL = URL::fileURLWithPath(entry->path);
    return application;
}

DesktopSession::DesktopSession() = default;
DesktopSession::~DesktopSession() = default;

X11Desktop* DesktopSession::x11() {
    const char* display = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    // Under Wayland a display is only the compatibility server, which sees none of the native
    // windows: the accessibility bus says which one is in front.
    if (display == nullptr || display[0] == '\0' || (wayland != nullptr && wayland[0] != '\0')) {
        x11_.reset();
        return nullptr;
    }
    if (x11_ && (!x11_->isUsable() || x11_->displayName() != display)) {
        x11_.reset();
    }
    if (!x11_ && Clock::now() >= nextX11Attempt_) {
        x11_ = X11Desktop::connect(kX11Timeout);
        if (!x11_) {
            nextX11Attempt_ = Clock::now() + kReconnectInterval;
        }
    }
    return x11_.get();
}

AccessibilityBus* DesktopSession::accessibility() {
    if (accessibility_ && !accessibility_->isOpen()) {
        accessibility_.reset();
    }
    if (!accessibility_ && Clock::now() >= nextAccessibilityAttempt_) {
        accessibility_ = AccessibilityBus::connect(kAccessibilityConnectTimeout);
        if (!accessibility_) {
            nextAccessibilityAttempt_ = Clock::now() + kReconnectInterval;
        }
    }
    return accessibility_.get();
}

DesktopFrontmost DesktopSession::frontmostApplication() {
    if (X11Desktop* display = x11()) {
        if (display->hasWindowManager(kX11Timeout).value_or(false)) {
            const auto active = display->activeWindow(kX11Timeout);
            if (!active) {
                logLine("The X11 display " + display->displayName() +
                        " did not say in time which window is active");
                return {true, std::nullopt};
            }
            if (active->window == 0) {
                return {true, std::nullopt};
            }
            return {true, desktopApplication(
                              active->pid, active->applicationId, active->className,
                              !active->className.empty() ? active->className : active->title)};
        }
    }
    return frontmostFromAccessibility();
}

DesktopFrontmost DesktopSession::frontmostFromAccessibility() {
    AccessibilityBus* bus = accessibility();
    if (bus == nullptr) {
        return {};
    }
    bus->setDeadline(Clock::now() + kFrameScanTimeout);
    bus->setCallLimit(kFrameScanCallLimit);
    auto applications = bus->applications();
    // The application that was in front last time is asked first: it usually still is.
    std::stable_partition(applications.begin(), applications.end(), [&](const auto& each) {
        return lastActive_ > 0 && bus->processOfConnection(each.bus) == lastActive_;
    });
    bool lastActiveRests = false;
    for (const auto& application : applications) {
        const pid_t pid = bus->processOfConnection(application.bus).value_or(0);
        if (pid > 0 && isResting(pid)) {
            lastActiveRests = lastActiveRests || pid == lastActive_;
            continue;
        }
        // A short call limit only skips a slow application here; it is put to rest when it
        // fails the longer limit of a view.
        for (const auto& frame : bus->frames(application)) {
            if (!frame.active) {
                continue;
            }
            lastActive_ = pid;
            lastActiveTitle_ = frame.name;
            const std::string name = bus->name(application).value_or("");
            lastFront_ = desktopApplication(pid, {}, name, name);
            return {true, lastFront_};
        }
    }
    // An application that cannot be asked now was in front last time, and nothing else says
    // it is: it is taken to be there still.
    if (lastActiveRests && lastFront_.processIdentifier == lastActive_) {
        return {true, lastFront_};
    }
    // Nothing active on the bus: the record of our own applications may still say.
    return {};
}

std::string DesktopSession::titleOfProcess(pid_t pid) {
    if (X11Desktop* display = x11()) {
        if (const auto active = display->activeWindow(kX11Timeout); active && active->pid == pid) {
            return active->title;
        }
        return {};
    }
    return pid == lastActive_ ? lastActiveTitle_ : std::string();
}

bool DesktopSession::isResting(pid_t pid) {
    if (restingUntil_.empty()) {
        return false;
    }
    // One that was only slow has answered meanwhile and is asked again.
    if (accessibility_) {
        for (const pid_t answered : accessibility_->takeProcessesThatAnsweredLate()) {
            restingUntil_.erase(answered);
        }
    }
    const auto resting = restingUntil_.find(pid);
    if (resting == restingUntil_.end()) {
        return false;
    }
    if (Clock::now() < resting->second) {
        return true;
    }
    restingUntil_.erase(resting);
    return false;
}

void DesktopSession::noteNoAnswer(pid_t pid) {
    restingUntil_[pid] = Clock::now() + kRestAfterNoAnswer;
    if (recentView_ && recentView_->pid == pid) {
        recentView_.reset();
    }
    logLine("Process " + std::to_string(pid) + " (" + processName(pid) +
            ") did not answer on the desktop's accessibility bus in time; it is not asked again "
            "until it has answered, for " +
            std::to_string(
                std::chrono::duration_cast<std::chrono::seconds>(kRestAfterNoAnswer).count()) +
            " seconds at most, and is captured by its window title meanwhile");
}

DesktopQuery DesktopSession::viewByTitle(pid_t pid, DesktopApplicationView* view) {
    const std::string title = titleOfProcess(pid);
    if (title.empty()) {
        return DesktopQuery::timedOut;
    }
    DesktopApplicationView result;
    result.windows.push_back({title});
    // An editor's title ends in its own name, which its recently used files are kept under.
    const auto dash = title.rfind(" - ");
    result.frontDocument =
        documentOfEditorTitle(title, dash == std::string::npos ? "" : title.substr(dash + 3));
    *view = std::move(result);
    return DesktopQuery::byTitle;
}

DesktopQuery DesktopSession::viewOfProcess(pid_t pid, std::chrono::milliseconds timeout,
                                           DesktopApplicationView* view) {
    if (auto terminal = viewOfTerminal(pid)) {
        *view = std::move(*terminal);
        return DesktopQuery::answered;
    }
    if (pid > 0 && isResting(pid)) {
        return viewByTitle(pid, view);
    }
    AccessibilityBus* bus = accessibility();
    if (bus == nullptr || pid <= 0) {
        if (!toldHowToSwitchOn_) {
            toldHowToSwitchOn_ = true;
            logLine(
                "The desktop's accessibility bus is not running, so applications cannot be "
                "asked for their documents. Switch accessibility on for the session (the "
                "org.a11y.Status property IsEnabled) and start the application again.");
        }
        return DesktopQuery::notOnAccessibilityBus;
    }
    const std::string activeTitle = titleOfProcess(pid);
    const auto started = Clock::now();
    if (recentView_ && recentView_->pid == pid && recentView_->title == activeTitle &&
        started - recentView_->madeAt < kViewReuse) {
        *view = recentView_->view;
        return DesktopQuery::answered;
    }
    const auto budget = std::min(timeout, kCaptureBudget);
    bus->setDeadline(started + budget);
    bus->setCallLimit(budget);
    const auto applications = bus->applicationsOfProcess(pid);
    if (applications.empty()) {
        if (bus->timedOut()) {
            // The bus's registry, not the application, was late.
            return viewByTitle(pid, view);
        }
        if (!toldHowToSwitchOn_) {
            toldHowToSwitchOn_ = true;
            const bool switchedOff =
                !AccessibilityBus::isEnabled(kAccessibilityConnectTimeout).value_or(true);
            logLine("Process " + std::to_string(pid) +
                    " is not on the desktop's accessibility bus" +
                    (switchedOff ? ", and accessibility is switched off for the session" : "") +
                    ". Switch accessibility on for the session (the org.a11y.Status property "
                    "IsEnabled) before the application starts; Chromium also needs "
                    "--force-renderer-accessibility.");
        }
        return DesktopQuery::notOnAccessibilityBus;
    }
    DesktopApplicationView result;
    std::vector<AccessibleFrame> frames;
    for (const auto& application : applications) {
        if (result.name.empty()) {
            result.name = bus->name(application).value_or("");
        }
        auto more = bus->frames(application);
        frames.insert(frames.end(), more.begin(), more.end());
    }
    // Front first: the frame the application marks active, else the one the window manager
    // has active (not every application marks its frames), then the others as listed, the
    // unnamed ones last.
    auto rank = [&activeTitle](const AccessibleFrame& frame) {
        if (frame.active) {
            return 0;
        }
        if (!activeTitle.empty() && frame.name == activeTitle) {
            return 1;
        }
        return frame.name.empty() ? 3 : 2;
    };
    std::stable_sort(frames.begin(), frames.end(),
                     [&](const auto& a, const auto& b) { return rank(a) < rank(b); });
    for (const auto& frame : frames) {
        result.windows.push_back({frame.name});
    }
    // The document is that of the front main window: an open dialog belongs to it.
    const auto main = std::find_if(frames.begin(), frames.end(), [](const auto& frame) {
        return frame.role == accessibility::kRoleFrame;
    });
    if (main != frames.end()) {
        auto document = bus->showingDocument(main->object);
        if (document && !document->url.empty()) {
            DesktopDocument shown{document->name, document->url, {}};
            if (auto url = URL::URLWithString(shown.url); url && url->isFileURL()) {
                shown.path = url->path();
            }
            result.frontDocument = std::move(shown);
        } else if (auto file = documentOfEditorTitle(main->name, result.name)) {
            // An editor names its file in the title rather than in its tree.
            result.frontDocument = std::move(file);
        } else if (document) {
            result.frontDocument = DesktopDocument{document->name, {}, {}};
        }
    }
    if (bus->timedOut()) {
        noteNoAnswer(pid);
        return viewByTitle(pid, view);
    }
    recentView_ = RecentView{pid, activeTitle, started, result};
    *view = std::move(result);
    return DesktopQuery::answered;
}

}  // namespace platform::linux_platform
