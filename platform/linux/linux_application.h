// The application object on an sd-event loop: timers, delayed performs, the quit request and
// activation. The bus connection attaches to the same loop.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>

#include "platform/application.h"

struct sd_event;
struct sd_event_source;

namespace platform::linux_platform {

class LinuxApplication final : public Application {
  public:
    // `endProcess` ends the process with a status (the process manager's terminateProcess).
    explicit LinuxApplication(std::function<void(int)> endProcess);
    ~LinuxApplication() override;
    LinuxApplication(const LinuxApplication&) = delete;
    LinuxApplication& operator=(const LinuxApplication&) = delete;

    void setDelegate(ApplicationDelegate* delegate) override { delegate_ = delegate; }
    ApplicationDelegate* delegate() const override { return delegate_; }
    void setServicesProvider(ServicesProvider* provider) override { provider_ = provider; }
    ServicesProvider* servicesProvider() const override { return provider_; }
    void updateDynamicServices() override;

    void run() override;
    void stop() override;

    TimerID scheduledTimerWithTimeInterval(double seconds, bool repeats,
                                           std::function<void()> action) override;
    void invalidateTimer(TimerID timer) override;
    void performAfterDelay(double seconds, std::function<void()> action) override;

    void terminate() override;

    void activateIgnoringOtherApps(bool flag) override;
    void yieldActivationToApplication(const RunningApplication& application) override;
    void yieldActivationToApplicationWithBundleIdentifier(
        const std::string& bundleIdentifier) override;

    // The loop, for the bus connection and for tests that drive it.
    sd_event* event() const { return event_; }
    // The number of the loop's turn whose event is being handled; absent outside one.
    std::optional<std::uint64_t> turnBeingHandled() const;
    // Runs the loop until `condition` holds or `seconds` have passed; answers the condition.
    // Does not finish launching; for tests and bounded waits.
    bool runUntil(const std::function<bool()>& condition, double seconds);

  private:
    struct Timer;
    static int onTimer(sd_event_source* source, std::uint64_t usec, void* userdata);
    static int onQuit(sd_event_source* source, void* userdata);
    void quitNow();
    void watchTerminationSignals();

    sd_event* event_ = nullptr;
    ApplicationDelegate* delegate_ = nullptr;
    ServicesProvider* provider_ = nullptr;
    std::function<void(int)> endProcess_;
    std::map<TimerID, std::unique_ptr<Timer>> timers_;
    TimerID nextTimer_ = 1;
    sd_event_source* quitSource_ = nullptr;
    sd_event_source* wakeSource_ = nullptr;
    std::vector<sd_event_source*> signalSources_;
    bool launched_ = false;
    bool stopped_ = false;
};

}  // namespace platform::linux_platform
