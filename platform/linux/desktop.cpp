#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <functional>

#include "linux_accessibility.h"
#include "linux_bundles.h"
#include "linux_desktop.h"
#include "linux_desktop_entries.h"
#include "linux_editor_titles.h"
#include "linux_locations.h"
#include "linux_open_folders.h"
#include "linux_processes.h"
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
// Window titles whose file asking the application settled, kept for captures by the title.
constexpr std::size_t kSettledTitlesKept = 32;
// A window manager that has been seen is looked for again this long after: it rarely goes, and
// looking costs two round trips to the X server on every question.
constexpr auto kWindowManagerRecheck = 1s;
// The programs of Chromium-based browsers, which show their pages' trees only when started
// with --force-renderer-accessibility.
constexpr const char* kChromiumPrograms[] = {"chromium", "chrome",      "chromium-browser",
                                             "brave",    "vivaldi-bin", "msedge"};

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

// The local file an editor's title names, when the file is there. A bare name that neither
// the process's open files nor the recently-used files settle is given to `fromMenus`.
std::optional<DesktopDocument> documentOfEditorTitle(
    const std::string& title, const std::string& editorName, pid_t pid,
    const std::function<std::string(const std::string&)>& fromMenus = {}) {
    auto file = fileOfEditorTitle(title, editorName, pid);
    if (file && file->path.empty() && file->shortenedFolder.empty() && fromMenus) {
        file->path = fromMenus(file->name);
    }
    if (!file || file->path.empty() || !isRegularFile(file->path)) {
        return std::nullopt;
    }
    return localDocument(file->name, file->path);
}

// The title of a frame: Qt applications name a frame by its document alone ("name "), and the
// window manager's title of the same window adds the application ("name  — Editor").
std::string titleOfFrame(const AccessibleFrame& frame, const std::string& activeTitle) {
    if (!frame.name.empty() && activeTitle.size() > frame.name.size() &&
        activeTitle.starts_with(frame.name)) {
        return activeTitle;
    }
    return frame.name;
}

// An application as the log names it: by its desktop entry, else by its process.
std::string applicationForLog(pid_t pid, const std::string& application) {
    return !application.empty() ? application
                                : "process " + std::to_string(pid) + " (" + processName(pid) + ")";
}

bool isSet(const char* variable) {
    const char* value = std::getenv(variable);
    return value != nullptr && value[0] != '\0';
}

bool isWaylandSession() {
    return isSet("WAYLAND_DISPLAY");
}

// Under Wayland a display is only the compatibility server, which sees none of the native
// windows: the accessibility bus says which one is in front.
bool hasX11Display() {
    return isSet("DISPLAY") && !isWaylandSession();
}

}  // namespace

DesktopDocument localDocument(std::string name, const std::string& path) {
    return DesktopDocument{std::move(name), URL::fileURLWithPath(path).absoluteString(), path};
}

bool OncePerInterval::shouldSay(const std::string& key, Clock::time_point now) {
    const auto said = said_.find(key);
    if (said != said_.end() && now - said->second < interval_) {
        return false;
    }
    // Keys are applications a person has had in front: a few, but never let them pile up.
    if (said_.size() >= 256) {
        std::erase_if(said_, [&](const auto& each) { return now - each.second >= interval_; });
    }
    said_[key] = now;
    return true;
}

std::string unaskableLine(const std::string& application, UnaskableReason reason) {
    const std::string start = "Captures of " + application + " see only its window title: ";
    switch (reason) {
        case UnaskableReason::accessibilityOff:
            return start +
                   "accessibility is switched off for the session. Switch it on (the desktop's "
                   "assistive technologies, or the org.a11y.Status property IsEnabled) and start "
                   "the application again.";
        case UnaskableReason::notOnAccessibilityBus:
            return start +
                   "it is not on the desktop's accessibility bus. Start it again now that "
                   "accessibility is on; a toolkit without accessibility never shows its "
                   "documents.";
        case UnaskableReason::browserWithoutFlag:
            return start +
                   "it was started without --force-renderer-accessibility, so its pages are not on "
                   "the accessibility bus. Start it with that flag (on Debian, add it to "
                   "CHROMIUM_FLAGS in a file of /etc/chromium.d/).";
    }
    return start;
}

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
        if (const auto executable = executableOfProcess(pid)) {
            entry = index->entryWithExecutable(*executable);
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

// In a Wayland session the active frame on the accessibility bus says which application is in
// front. The bus is then connected at once rather than at the first question, listening for
// window activation: an application started or activated after that marks its active frame
// from then on (see AccessibilityBus::connect). A bus not there yet is looked for again at the
// first question. Elsewhere nothing more than the questions is asked of the applications.
DesktopSession::DesktopSession() {
    if (isWaylandSession()) {
        accessibility_ = AccessibilityBus::connect(kAccessibilityConnectTimeout, true);
    }
}
DesktopSession::~DesktopSession() = default;

X11Desktop* DesktopSession::x11() {
    const char* display = std::getenv("DISPLAY");
    const bool usable = hasX11Display();
    if (x11_ && (!usable || !x11_->isUsable() || x11_->displayName() != display)) {
        // What was read on that connection goes with it.
        x11_.reset();
        frontOfWindow_.reset();
        windowManagerSeen_ = false;
    }
    if (!usable) {
        return nullptr;
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
        accessibility_ =
            AccessibilityBus::connect(kAccessibilityConnectTimeout, isWaylandSession());
        if (!accessibility_) {
            nextAccessibilityAttempt_ = Clock::now() + kReconnectInterval;
        }
    }
    return accessibility_.get();
}

bool DesktopSession::hasWindowManager(X11Desktop& display) {
    const auto now = Clock::now();
    if (!windowManagerSeen_ || now - windowManagerCheckedAt_ >= kWindowManagerRecheck) {
        windowManagerSeen_ = display.hasWindowManager(kX11Timeout).value_or(false);
        windowManagerCheckedAt_ = now;
    }
    return windowManagerSeen_;
}

DesktopFrontmost DesktopSession::frontmostApplication() {
    if (X11Desktop* display = x11()) {
        if (hasWindowManager(*display)) {
            // A window's application never changes: while the same window is active, one
            // property read says so, and the application found for it stands.
            if (frontOfWindow_) {
                const auto id = display->activeWindowId(kX11Timeout);
                if (id && *id == frontOfWindow_->window &&
                    processIsAlive(frontOfWindow_->application.processIdentifier)) {
                    return {true, frontOfWindow_->application};
                }
            }
            frontOfWindow_.reset();
            const auto active = display->activeWindow(kX11Timeout);
            if (!active) {
                logLine("The X11 display " + display->displayName() +
                        " did not say in time which window is active");
                return {true, std::nullopt};
            }
            if (active->window == 0) {
                return {true, std::nullopt};
            }
            auto application =
                desktopApplication(active->pid, active->applicationId, active->className,
                                   !active->className.empty() ? active->className : active->title);
            // Only a window known by its class and process: a name taken from the title would
            // change with it.
            if (!active->className.empty() && active->pid > 0) {
                frontOfWindow_ =
                    FrontWindow{active->dialog != 0 ? active->dialog : active->window, application};
            }
            return {true, std::move(application)};
        }
    }
    return frontmostFromAccessibility();
}

DesktopFrontmost DesktopSession::frontmostFromAccessibility() {
    AccessibilityBus* bus = accessibility();
    if (bus == nullptr) {
        return {};
    }
    // The events of one capture follow each other within moments: while the one in front does
    // not answer, every other application would be asked again for each of them.
    if (Clock::now() < silentFrontUntil_ && lastFront_.processIdentifier == lastActive_ &&
        isResting(lastActive_)) {
        return {true, lastFront_};
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
        // fails the longer limit of a view. Not so the one in front last time that does not
        // answer now (busy, or stopped): it cannot say that it is still there, and nothing
        // else can without a window manager, so it is taken to be there, and rests until its
        // late answer comes, so that the further questions of this capture do not wait for it.
        const bool lateBefore = bus->timedOut();
        const auto frames = bus->frames(application);
        if (pid > 0 && pid == lastActive_ && !lateBefore && bus->timedOut()) {
            noteNoAnswer(pid);
            lastActiveRests = true;
        }
        for (const auto& frame : frames) {
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
        silentFrontUntil_ = Clock::now() + kViewReuse;
        return {true, lastFront_};
    }
    // Nothing active on the bus: the record of our own applications may still say.
    return {};
}

std::string DesktopSession::titleOfProcess(pid_t pid) {
    if (X11Desktop* display = x11()) {
        // While the process's window stays active, its title alone is read with that fact.
        if (titledWindow_ && titledWindow_->first == pid) {
            if (auto title = display->titleIfActive(titledWindow_->second, kX11Timeout)) {
                return *title;
            }
        }
        titledWindow_.reset();
        if (const auto active = display->activeWindow(kX11Timeout); active && active->pid == pid) {
            if (active->dialog == 0) {
                titledWindow_.emplace(pid, active->window);
            }
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
        documentOfEditorTitle(title, dash == std::string::npos ? "" : title.substr(dash + 3), pid);
    if (const auto settled = settledTitles_.find({pid, title});
        !result.frontDocument && settled != settledTitles_.end() &&
        isRegularFile(settled->second.path)) {
        result.frontDocument = settled->second;
    }
    *view = std::move(result);
    return DesktopQuery::byTitle;
}

void DesktopSession::sayWhyUnaskable(pid_t pid, const std::string& application,
                                     UnaskableReason reason) {
    const std::string name = applicationForLog(pid, application);
    if (!toldWhy_.shouldSay(name)) {
        return;
    }
    // An application off the bus may be so because the session has accessibility switched
    // off; that is asked only when it is said.
    if (reason == UnaskableReason::notOnAccessibilityBus &&
        !AccessibilityBus::isEnabled(kAccessibilityConnectTimeout).value_or(true)) {
        reason = UnaskableReason::accessibilityOff;
    }
    logLine(unaskableLine(name, reason));
}

bool DesktopSession::isBrowserWithoutRendererAccessibility(pid_t pid) {
    const std::string executable = executableOfProcess(pid).value_or("");
    const std::string program = executable.substr(executable.rfind('/') + 1);
    if (std::find(std::begin(kChromiumPrograms), std::end(kChromiumPrograms), program) ==
        std::end(kChromiumPrograms)) {
        return false;
    }
    const auto commandLine = readSmallFile("/proc/" + std::to_string(pid) + "/cmdline", 65536);
    return commandLine && commandLine->find("--force-renderer-accessibility") == std::string::npos;
}

DesktopQuery DesktopSession::viewOfProcess(pid_t pid, std::chrono::milliseconds timeout,
                                           DesktopApplicationView* view,
                                           const std::string& application) {
    // One budget for the whole question, whichever routes it takes.
    const auto asked = Clock::now();
    if (auto terminal = viewOfTerminal(pid)) {
        *view = std::move(*terminal);
        return DesktopQuery::answered;
    }
    if (auto folder = viewOfOpenFolder(pid)) {
        *view = std::move(*folder);
        return DesktopQuery::answered;
    }
    if (pid > 0 && isResting(pid)) {
        return viewByTitle(pid, view);
    }
    AccessibilityBus* bus = accessibility();
    if (bus == nullptr || pid <= 0) {
        if (pid > 0) {
            sayWhyUnaskable(pid, application, UnaskableReason::accessibilityOff);
            viewByTitle(pid, view);
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
    bus->setDeadline(asked + budget);
    bus->setCallLimit(budget);
    // The process's applications on the bus and their names stay while its connection does:
    // they are looked up once, and again when none of them answers with a window.
    auto framesOf = [bus](const std::vector<AccessibleReference>& applications) {
        std::vector<AccessibleFrame> all;
        for (const auto& each : applications) {
            auto more = bus->frames(each);
            all.insert(all.end(), more.begin(), more.end());
        }
        return all;
    };
    std::vector<AccessibleFrame> frames;
    DesktopApplicationView result;
    if (const auto known = applicationsOfProcess_.find(pid);
        known != applicationsOfProcess_.end()) {
        result.name = known->second.name;
        frames = framesOf(known->second.applications);
        if (frames.empty() && !bus->timedOut()) {
            applicationsOfProcess_.erase(known);
        }
    }
    if (!applicationsOfProcess_.contains(pid)) {
        const auto applications = bus->applicationsOfProcess(pid);
        if (applications.empty()) {
            if (bus->timedOut()) {
                // The bus's registry, not the application, was late.
                return viewByTitle(pid, view);
            }
            sayWhyUnaskable(pid, application, UnaskableReason::notOnAccessibilityBus);
            viewByTitle(pid, view);
            return DesktopQuery::notOnAccessibilityBus;
        }
        result.name.clear();
        for (auto each = applications.begin(); each != applications.end() && result.name.empty();
             ++each) {
            result.name = bus->name(*each).value_or("");
        }
        frames = framesOf(applications);
        if (!bus->timedOut()) {
            // Processes come and go; those that have gone are forgotten now and then.
            if (applicationsOfProcess_.size() >= 64) {
                std::erase_if(applicationsOfProcess_,
                              [](const auto& each) { return !processIsAlive(each.first); });
            }
            applicationsOfProcess_[pid] = {applications, result.name};
        }
    }
    // Front first: the one the window manager has active, else the frame the application
    // marks active (not every application marks its frames, and one with several windows may
    // still mark the one it opened last), then the others as listed, the unnamed ones last.
    auto rank = [&activeTitle](const AccessibleFrame& frame) {
        if (!activeTitle.empty() && titleOfFrame(frame, activeTitle) == activeTitle) {
            return 0;
        }
        if (frame.active) {
            return 1;
        }
        return frame.name.empty() ? 3 : 2;
    };
    std::stable_sort(frames.begin(), frames.end(),
                     [&](const auto& a, const auto& b) { return rank(a) < rank(b); });
    for (const auto& frame : frames) {
        result.windows.push_back({frame.name});
    }
    // Without a window manager the title of a window is known only from the application: it is
    // kept, so that a capture can still give it should the application stop answering.
    if (!frames.empty() && frames.front().active && x11() == nullptr) {
        lastActive_ = pid;
        lastActiveTitle_ = frames.front().name;
    }
    // The document is that of the front main window: an open dialog belongs to it.
    const auto main = std::find_if(frames.begin(), frames.end(), [](const auto& frame) {
        return frame.role == accessibility::kRoleFrame;
    });
    if (main != frames.end()) {
        // An editor names its file in its title rather than in its tree; a Qt editor lists
        // the file's path in its hidden menu of recent files.
        const std::string title = titleOfFrame(*main, activeTitle);
        auto fromMenus = [&](const std::string& name) {
            // Menus that did not name the file twice for a title are not searched again for
            // it: a window that is no editor's (a file manager's) has menus but no such item.
            int& misses = menuMisses_[{pid, title}];
            if (misses >= 2) {
                return std::string();
            }
            const auto item =
                bus->menuItemNamed(main->object, [&name](const std::string& itemName) {
                    return pathOfRecentFileItem(itemName, name).has_value();
                });
            std::string path = item ? pathOfRecentFileItem(*item, name).value_or("") : "";
            if (path.empty() && !bus->timedOut()) {
                ++misses;
            }
            if (menuMisses_.size() > kSettledTitlesKept) {
                menuMisses_.clear();
            }
            return path;
        };
        std::optional<std::optional<DesktopDocument>> titled;
        auto fileOfTitle = [&]() -> const std::optional<DesktopDocument>& {
            if (!titled) {
                titled = documentOfEditorTitle(title, result.name, pid, fromMenus);
            }
            return *titled;
        };
        // Where the tree cannot be searched, the title is read before the tree is walked
        // object by object: a Qt editor's hundreds of objects hold no document.
        auto document = bus->showingDocument(*main, 400, [&] { return fileOfTitle().has_value(); });
        if (document && !document->url.empty()) {
            DesktopDocument shown{document->name, document->url, {}};
            if (auto url = URL::URLWithString(shown.url); url && url->isFileURL()) {
                shown.path = url->path();
            }
            result.frontDocument = std::move(shown);
        } else if (fileOfTitle()) {
            result.frontDocument = fileOfTitle();
            if (settledTitles_.size() >= kSettledTitlesKept) {
                settledTitles_.erase(settledTitles_.begin());
            }
            settledTitles_[{pid, title}] = *result.frontDocument;
        } else if (document) {
            result.frontDocument = DesktopDocument{document->name, {}, {}};
        } else if (auto location = bus->locationText(main->object, isLocationText)) {
            // No document in the tree (a file manager, a browser whose page lives in another
            // process): the window's location field says where it is.
            result.frontDocument = documentOfLocation(*location, main->name, homeDirectory());
        }
    }
    if (bus->timedOut()) {
        // Only one still busy with a question rests; one whose budget ran out between
        // questions is asked again at the next capture.
        if (bus->awaitsLateAnswerFrom(pid)) {
            noteNoAnswer(pid);
        }
        return viewByTitle(pid, view);
    }
    if ((!result.frontDocument || result.frontDocument->url.empty()) &&
        isBrowserWithoutRendererAccessibility(pid)) {
        sayWhyUnaskable(pid, application, UnaskableReason::browserWithoutFlag);
    }
    recentView_ = RecentView{pid, activeTitle, started, result};
    *view = std::move(result);
    return DesktopQuery::answered;
}

}  // namespace platform::linux_platform
