// Fakes of the application object, the workspace and the distributed notification center: they
// record what the code did and let a test drive timers, delayed performs and the quit request.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/application.h"
#include "platform/distributed_notification_center.h"
#include "platform/process_manager.h"
#include "platform/workspace.h"

namespace platform::fake {

class FakeApplication : public Application {
  public:
    struct Timer {
        TimerID id = 0;
        double interval = 0;
        bool repeats = false;
        std::function<void()> action;
        bool valid = true;
        double nextFire = 0;  // on the fake clock (see advance)
    };
    struct DelayedPerform {
        double delay = 0;
        std::function<void()> action;
        double due = 0;  // on the fake clock
    };

    void setDelegate(ApplicationDelegate* delegate) override { delegate_ = delegate; }
    ApplicationDelegate* delegate() const override { return delegate_; }
    void setServicesProvider(ServicesProvider* provider) override { provider_ = provider; }
    ServicesProvider* servicesProvider() const override { return provider_; }
    void updateDynamicServices() override { ++updateDynamicServicesCalls; }

    // Records the call and finishes launching; the loop itself is driven by the test.
    void run() override;
    void stop() override { ++stopCalls; }

    TimerID scheduledTimerWithTimeInterval(double seconds, bool repeats,
                                           std::function<void()> action) override;
    void invalidateTimer(TimerID timer) override;
    void performAfterDelay(double seconds, std::function<void()> action) override;
    void terminate() override { ++terminateRequests; }

    void activateIgnoringOtherApps(bool flag) override;
    void yieldActivationToApplication(const RunningApplication& application) override;
    void yieldActivationToApplicationWithBundleIdentifier(
        const std::string& bundleIdentifier) override;

    // Runs a timer's action once; a one-shot timer becomes invalid. False when there is no
    // valid timer with that id.
    bool fireTimer(TimerID id);
    // The timer with an id, or null.
    const Timer* timer(TimerID id) const;
    // The timers that would still fire.
    std::vector<TimerID> validTimers() const;
    // Runs the delayed performs in the order they were scheduled, including those scheduled
    // while running, then clears the list.
    void runDelayedPerforms();
    // Moves the fake clock forward, firing timers and delayed performs as they fall due, in
    // time order (ties in scheduling order).
    void advance(double seconds);
    double now() const { return now_; }
    // What the loop does with a quit request: the delegate's will-terminate, then the end of the
    // process with status 0 (the process manager's terminateProcess, which throws in the fake).
    [[noreturn]] void handleQuitRequest();

    int updateDynamicServicesCalls = 0;
    int runCalls = 0;
    int stopCalls = 0;
    std::vector<Timer> timers;
    std::vector<DelayedPerform> delayedPerforms;
    int terminateRequests = 0;
    int activateIgnoringOtherAppsCalls = 0;
    std::vector<bool> activateFlags;
    // The pid as text for yieldActivationToApplication, the identifier for the other.
    std::vector<std::string> yieldedActivations;

    // Where the quit request ends the process; the installed one when null.
    ProcessManager* processManager = nullptr;

  private:
    ApplicationDelegate* delegate_ = nullptr;
    ServicesProvider* provider_ = nullptr;
    TimerID nextTimer_ = 1;
    double now_ = 0;
};

class FakeWorkspace : public Workspace {
  public:
    struct Launch {
        URL url;
        NSWorkspaceLaunchOptions options = 0;
        LaunchConfiguration configuration;
    };

    FakeWorkspace();

    void addInstalledApplication(const std::string& bundleIdentifier, const std::string& path);
    void removeInstalledApplication(const std::string& bundleIdentifier);
    void addRunningApplication(RunningApplication application);
    void removeRunningApplication(pid_t pid);

    std::optional<RunningApplication> frontmostApplication() override { return frontmost; }
    std::vector<RunningApplication> runningApplicationsWithBundleIdentifier(
        const std::string& bundleIdentifier) override;
    std::optional<RunningApplication> runningApplicationWithProcessIdentifier(pid_t pid) override;
    std::vector<RunningApplication> runningApplications() override { return running; }
    RunningApplication currentApplication() override { return current; }
    // Records the request; for the current application it is the application object's quit
    // request. True when the application is the current one or listed as running.
    bool terminateApplication(const RunningApplication& application) override;
    std::optional<std::string> absolutePathForAppBundleWithIdentifier(
        const std::string& bundleIdentifier) override;
    std::optional<URL> URLForApplicationWithBundleIdentifier(
        const std::string& bundleIdentifier) override;
    // The installed paths as file URLs, in the order they were added.
    std::vector<URL> installedApplicationURLs() override;
    // Records the launch; fails with launchError when set. Otherwise the launched application
    // gets the next fake pid, the identifier installed at that path (if any), and is listed as
    // running.
    std::optional<RunningApplication> launchApplicationAtURL(
        const URL& url, NSWorkspaceLaunchOptions options, const LaunchConfiguration& configuration,
        Error* error) override;
    bool openURL(const URL& url) override;

    std::optional<RunningApplication> frontmost;
    RunningApplication current;
    std::vector<RunningApplication> running;
    std::vector<std::pair<std::string, std::string>> installed;  // identifier, path
    std::vector<Launch> launches;
    std::optional<Error> launchError;
    pid_t nextLaunchedPid = 5001;
    std::vector<URL> openedURLs;
    bool openURLResult = true;
    std::vector<RunningApplication> terminated;

    // Receives the quit request of the current application; the installed one when null.
    Application* application = nullptr;
};

class FakeNotificationCenter : public DistributedNotificationCenter {
  public:
    struct Posted {
        std::string name;
        std::optional<std::string> object;
        NotificationUserInfo userInfo;
        bool operator==(const Posted&) const = default;
    };

    void postNotificationName(const std::string& name, const std::optional<std::string>& object,
                              const NotificationUserInfo& userInfo = {}) override {
        posted.push_back({name, object, userInfo});
    }

    std::vector<std::string> names() const;

    std::vector<Posted> posted;
};

}  // namespace platform::fake
