#include <algorithm>
#include <limits>

#include "platform/fake/fake_application.h"
#include "platform/fake/fake_file_manager.h"
#include "platform/platform.h"
#include "platform/utf.h"

namespace platform::fake {
namespace {

// The platform treats a non-positive interval as the smallest one it supports.
double effectiveInterval(double seconds) {
    return seconds > 0 ? seconds : 0.0001;
}

bool sameIdentifier(const std::string& a, const std::string& b) {
    return utf::equalsIgnoringASCIICase(a, b);
}

}  // namespace

void FakeApplication::run() {
    ++runCalls;
    if (delegate_ != nullptr) {
        delegate_->applicationDidFinishLaunching();
    }
}

TimerID FakeApplication::scheduledTimerWithTimeInterval(double seconds, bool repeats,
                                                        std::function<void()> action) {
    Timer timer;
    timer.id = nextTimer_++;
    timer.interval = seconds;
    timer.repeats = repeats;
    timer.action = std::move(action);
    timer.valid = true;
    timer.nextFire = now_ + effectiveInterval(seconds);
    timers.push_back(std::move(timer));
    return timers.back().id;
}

void FakeApplication::invalidateTimer(TimerID id) {
    for (auto& timer : timers) {
        if (timer.id == id) {
            timer.valid = false;
        }
    }
}

void FakeApplication::performAfterDelay(double seconds, std::function<void()> action) {
    delayedPerforms.push_back({seconds, std::move(action), now_ + std::max(seconds, 0.0)});
}

void FakeApplication::activateIgnoringOtherApps(bool flag) {
    ++activateIgnoringOtherAppsCalls;
    activateFlags.push_back(flag);
}

void FakeApplication::yieldActivationToApplication(const RunningApplication& application) {
    yieldedActivations.push_back(std::to_string(application.processIdentifier));
}

void FakeApplication::yieldActivationToApplicationWithBundleIdentifier(
    const std::string& bundleIdentifier) {
    yieldedActivations.push_back(bundleIdentifier);
}

bool FakeApplication::fireTimer(TimerID id) {
    auto found = std::find_if(timers.begin(), timers.end(),
                              [id](const Timer& timer) { return timer.id == id; });
    if (found == timers.end() || !found->valid) {
        return false;
    }
    if (!found->repeats) {
        found->valid = false;
    }
    // The action may schedule timers, which may move the vector's elements.
    auto action = found->action;
    if (action) {
        action();
    }
    return true;
}

const FakeApplication::Timer* FakeApplication::timer(TimerID id) const {
    for (const auto& timer : timers) {
        if (timer.id == id) {
            return &timer;
        }
    }
    return nullptr;
}

std::vector<TimerID> FakeApplication::validTimers() const {
    std::vector<TimerID> ids;
    for (const auto& timer : timers) {
        if (timer.valid) {
            ids.push_back(timer.id);
        }
    }
    return ids;
}

void FakeApplication::runDelayedPerforms() {
    // Performs scheduled while running are appended and run in the same pass.
    for (std::size_t index = 0; index < delayedPerforms.size(); ++index) {
        auto action = delayedPerforms[index].action;
        if (action) {
            action();
        }
    }
    delayedPerforms.clear();
}

void FakeApplication::advance(double seconds) {
    const double end = now_ + std::max(seconds, 0.0);
    for (;;) {
        // The earliest due event; on a tie delayed performs go first, each kind in the order
        // it was scheduled.
        double due = std::numeric_limits<double>::infinity();
        std::optional<std::size_t> timerIndex, performIndex;
        for (std::size_t index = 0; index < delayedPerforms.size(); ++index) {
            if (delayedPerforms[index].due < due) {
                due = delayedPerforms[index].due;
                performIndex = index;
            }
        }
        for (std::size_t index = 0; index < timers.size(); ++index) {
            if (timers[index].valid && timers[index].nextFire < due) {
                due = timers[index].nextFire;
                timerIndex = index;
                performIndex.reset();
            }
        }
        if (due > end) {
            break;
        }
        now_ = due;
        if (performIndex) {
            auto action = delayedPerforms[*performIndex].action;
            delayedPerforms.erase(delayedPerforms.begin() +
                                  static_cast<std::ptrdiff_t>(*performIndex));
            if (action) {
                action();
            }
        } else {
            auto& timer = timers[*timerIndex];
            if (timer.repeats) {
                timer.nextFire += effectiveInterval(timer.interval);
            }
            fireTimer(timer.id);
        }
    }
    now_ = end;
}

void FakeApplication::handleQuitRequest() {
    if (delegate_ != nullptr) {
        delegate_->applicationWillTerminate();
    }
    ProcessManager& manager =
        processManager != nullptr ? *processManager : platform::processManager();
    manager.terminateProcess(0);
    // Only a manager that breaks its contract gets here; the process still has to end.
    throw ProcessExit{0};
}

FakeWorkspace::FakeWorkspace() = default;

void FakeWorkspace::addInstalledApplication(const std::string& bundleIdentifier,
                                            const std::string& path) {
    removeInstalledApplication(bundleIdentifier);
    installed.emplace_back(bundleIdentifier, path);
}

void FakeWorkspace::removeInstalledApplication(const std::string& bundleIdentifier) {
    std::erase_if(installed,
                  [&](const auto& entry) { return sameIdentifier(entry.first, bundleIdentifier); });
}

void FakeWorkspace::addRunningApplication(RunningApplication application) {
    running.push_back(std::move(application));
}

void FakeWorkspace::removeRunningApplication(pid_t pid) {
    std::erase_if(running, [pid](const auto& app) { return app.processIdentifier == pid; });
}

std::vector<RunningApplication> FakeWorkspace::runningApplicationsWithBundleIdentifier(
    const std::string& bundleIdentifier) {
    std::vector<RunningApplication> found;
    for (const auto& app : running) {
        if (app.bundleIdentifier && sameIdentifier(*app.bundleIdentifier, bundleIdentifier)) {
            found.push_back(app);
        }
    }
    return found;
}

std::optional<RunningApplication> FakeWorkspace::runningApplicationWithProcessIdentifier(
    pid_t pid) {
    for (const auto& app : running) {
        if (app.processIdentifier == pid) {
            return app;
        }
    }
    return std::nullopt;
}

bool FakeWorkspace::terminateApplication(const RunningApplication& target) {
    terminated.push_back(target);
    if (target.processIdentifier == current.processIdentifier) {
        Application& app = application != nullptr ? *application : platform::application();
        app.terminate();
        return true;
    }
    return runningApplicationWithProcessIdentifier(target.processIdentifier).has_value();
}

std::optional<std::string> FakeWorkspace::absolutePathForAppBundleWithIdentifier(
    const std::string& bundleIdentifier) {
    for (const auto& [identifier, path] : installed) {
        if (sameIdentifier(identifier, bundleIdentifier)) {
            return path;
        }
    }
    return std::nullopt;
}

std::optional<URL> FakeWorkspace::URLForApplicationWithBundleIdentifier(
    const std::string& bundleIdentifier) {
    auto path = absolutePathForAppBundleWithIdentifier(bundleIdentifier);
    if (!path) {
        return std::nullopt;
    }
    return URL::fileURLWithPath(*path);
}

std::vector<URL> FakeWorkspace::installedApplicationURLs() {
    std::vector<URL> urls;
    for (const auto& entry : installed) {
        urls.push_back(URL::fileURLWithPath(entry.second));
    }
    return urls;
}

std::optional<RunningApplication> FakeWorkspace::launchApplicationAtURL(
    const URL& url, NSWorkspaceLaunchOptions options, const LaunchConfiguration& configuration,
    Error* error) {
    launches.push_back({url, options, configuration});
    if (launchError) {
        if (error != nullptr) {
            *error = *launchError;
        }
        return std::nullopt;
    }
    RunningApplication launched;
    launched.processIdentifier = nextLaunchedPid++;
    launched.bundleURL = url;
    const std::string path = normalizedPath(url.path());
    for (const auto& [identifier, installedPath] : installed) {
        if (normalizedPath(installedPath) == path) {
            launched.bundleIdentifier = identifier;
            break;
        }
    }
    launched.localizedName = stringByDeletingPathExtension(url.lastPathComponent());
    running.push_back(launched);
    return launched;
}

bool FakeWorkspace::openURL(const URL& url) {
    openedURLs.push_back(url);
    return openURLResult;
}

std::vector<std::string> FakeNotificationCenter::names() const {
    std::vector<std::string> result;
    for (const auto& notification : posted) {
        result.push_back(notification.name);
    }
    return result;
}

}  // namespace platform::fake
