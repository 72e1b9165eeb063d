#include <signal.h>
#include <systemd/sd-event.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "linux_application.h"
#include "linux_support.h"
#include "linux_workspace.h"

namespace platform::linux_platform {

struct LinuxApplication::Timer {
    LinuxApplication* owner = nullptr;
    TimerID id = 0;
    std::uint64_t intervalUsec = 0;
    bool repeats = false;
    std::function<void()> action;
    sd_event_source* source = nullptr;
};

namespace {

// Timers fire within a millisecond of their time; the loop still sleeps between them.
constexpr std::uint64_t kTimerAccuracyUsec = 1000;

std::uint64_t toUsec(double seconds) {
    if (!(seconds > 0)) {  // also catches NaN
        return 0;
    }
    const double usec = std::ceil(seconds * 1e6);
    return usec > 1e15 ? static_cast<std::uint64_t>(1e15) : static_cast<std::uint64_t>(usec);
}

}  // namespace

LinuxApplication::LinuxApplication(std::function<void(int)> endProcess)
    : endProcess_(std::move(endProcess)) {
    if (int r = sd_event_new(&event_); r < 0) {
        logLine(std::string("Cannot create the event loop: ") + std::strerror(-r));
        event_ = nullptr;
    }
}

LinuxApplication::~LinuxApplication() {
    for (auto& [id, timer] : timers_) {
        sd_event_source_disable_unref(timer->source);
    }
    timers_.clear();
    sd_event_source_disable_unref(quitSource_);
    sd_event_source_disable_unref(wakeSource_);
    for (auto* source : signalSources_) {
        sd_event_source_disable_unref(source);
    }
    sd_event_unref(event_);
}

void LinuxApplication::updateDynamicServices() {
    // Providers' declarations are read from their Info.plist at each request; nothing to do.
}

int LinuxApplication::onTimer(sd_event_source* /*source*/, std::uint64_t /*usec*/, void* userdata) {
    auto* timer = static_cast<Timer*>(userdata);
    LinuxApplication* owner = timer->owner;
    const TimerID id = timer->id;
    // The action may invalidate its own timer, so it runs from a copy; a one-shot timer ends
    // here, and gives its action up instead (a delayed perform may carry a large event).
    std::function<void()> action = timer->repeats ? timer->action : std::move(timer->action);
    if (!timer->repeats) {
        owner->invalidateTimer(id);
    }
    if (action) {
        action();
    }
    auto still = owner->timers_.find(id);
    if (still != owner->timers_.end() && still->second->repeats) {
        Timer& repeating = *still->second;
        sd_event_source_set_time_relative(repeating.source, repeating.intervalUsec);
        sd_event_source_set_enabled(repeating.source, SD_EVENT_ONESHOT);
    }
    return 0;
}

TimerID LinuxApplication::scheduledTimerWithTimeInterval(double seconds, bool repeats,
                                                         std::function<void()> action) {
    if (event_ == nullptr) {
        return 0;
    }
    auto timer = std::make_unique<Timer>();
    timer->owner = this;
    timer->id = nextTimer_++;
    // A repeating timer of no interval would spin; the platform makes it a tenth of a
    // millisecond, and so do we.
    timer->intervalUsec = std::max<std::uint64_t>(toUsec(seconds), repeats ? 100 : 0);
    timer->repeats = repeats;
    timer->action = std::move(action);
    int r = sd_event_add_time_relative(event_, &timer->source, CLOCK_MONOTONIC, timer->intervalUsec,
                                       kTimerAccuracyUsec, &LinuxApplication::onTimer, timer.get());
    if (r < 0) {
        logLine(std::string("Cannot schedule a timer: ") + std::strerror(-r));
        return 0;
    }
    const TimerID id = timer->id;
    timers_.emplace(id, std::move(timer));
    return id;
}

void LinuxApplication::invalidateTimer(TimerID id) {
    auto found = timers_.find(id);
    if (found == timers_.end()) {
        return;
    }
    sd_event_source_disable_unref(found->second->source);
    timers_.erase(found);
}

void LinuxApplication::performAfterDelay(double seconds, std::function<void()> action) {
    scheduledTimerWithTimeInterval(seconds, false, std::move(action));
}

int LinuxApplication::onQuit(sd_event_source* /*source*/, void* userdata) {
    static_cast<LinuxApplication*>(userdata)->quitNow();
    return 0;
}

void LinuxApplication::terminate() {
    if (event_ == nullptr) {
        quitNow();
        return;
    }
    if (quitSource_ != nullptr) {
        return;  // already asked
    }
    if (sd_event_add_defer(event_, &quitSource_, &LinuxApplication::onQuit, this) < 0) {
        quitSource_ = nullptr;
        quitNow();
        return;
    }
    sd_event_source_set_enabled(quitSource_, SD_EVENT_ONESHOT);
}

void LinuxApplication::quitNow() {
    if (delegate_ != nullptr) {
        delegate_->applicationWillTerminate();
    }
    endProcess_(0);
}

void LinuxApplication::watchTerminationSignals() {
    if (event_ == nullptr || !signalSources_.empty()) {
        return;
    }
    // A polite request to end from the session (or a terminal) is the ordinary quit.
    for (int signal : {SIGTERM, SIGINT}) {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, signal);
        sigprocmask(SIG_BLOCK, &set, nullptr);
        sd_event_source* source = nullptr;
        auto handler = [](sd_event_source*, const signalfd_siginfo*, void* userdata) -> int {
            static_cast<LinuxApplication*>(userdata)->terminate();
            return 0;
        };
        if (sd_event_add_signal(event_, &source, signal, handler, this) >= 0) {
            signalSources_.push_back(source);
        }
    }
}

void LinuxApplication::run() {
    if (event_ == nullptr) {
        logLine("No event loop; nothing to run");
        return;
    }
    stopped_ = false;
    if (!launched_) {
        launched_ = true;
        watchTerminationSignals();
        if (delegate_ != nullptr) {
            delegate_->applicationDidFinishLaunching();
        }
    }
    while (!stopped_) {
        int r = sd_event_run(event_, UINT64_MAX);
        if (r < 0) {
            logLine(std::string("The event loop failed: ") + std::strerror(-r));
            break;
        }
        if (sd_event_get_state(event_) == SD_EVENT_FINISHED) {
            break;
        }
    }
}

void LinuxApplication::stop() {
    stopped_ = true;
    if (event_ == nullptr) {
        return;
    }
    // Wake the loop so that it notices.
    if (wakeSource_ == nullptr) {
        auto nothing = [](sd_event_source*, void*) -> int { return 0; };
        if (sd_event_add_defer(event_, &wakeSource_, nothing, nullptr) < 0) {
            wakeSource_ = nullptr;
            return;
        }
    }
    sd_event_source_set_enabled(wakeSource_, SD_EVENT_ONESHOT);
}

std::optional<std::uint64_t> LinuxApplication::turnBeingHandled() const {
    std::uint64_t turn = 0;
    if (event_ == nullptr || sd_event_get_state(event_) != SD_EVENT_RUNNING ||
        sd_event_get_iteration(event_, &turn) < 0) {
        return std::nullopt;
    }
    return turn;
}

bool LinuxApplication::runUntil(const std::function<bool()>& condition, double seconds) {
    if (event_ == nullptr) {
        return condition();
    }
    std::uint64_t now = 0;
    sd_event_now(event_, CLOCK_MONOTONIC, &now);
    const std::uint64_t deadline = now + toUsec(seconds);
    while (!condition()) {
        sd_event_now(event_, CLOCK_MONOTONIC, &now);
        if (now >= deadline) {
            return condition();
        }
        // Wake at least every 10 ms so that conditions outside the loop are noticed too.
        std::uint64_t wait = std::min<std::uint64_t>(deadline - now, 10000);
        if (sd_event_run(event_, wait) < 0) {
            return condition();
        }
    }
    return true;
}

void LinuxApplication::activateIgnoringOtherApps(bool /*flag*/) {
    if (!writeFrontmostRecord(::getpid())) {
        logLine("Cannot record " + std::to_string(::getpid()) +
                " as the frontmost application at " + frontmostRecordPath());
    }
}

void LinuxApplication::yieldActivationToApplication(const RunningApplication& /*application*/) {
    // Activation on this desktop is taken, not handed over: the other application records
    // itself when it activates.
}

void LinuxApplication::yieldActivationToApplicationWithBundleIdentifier(
    const std::string& /*bundleIdentifier*/) {}

}  // namespace platform::linux_platform
