// The application object: delegate, services provider, event loop, timers and delayed performs,
// the quit request and activation.
#pragma once

#include <functional>
#include <string>

#include "platform/pasteboard.h"

namespace platform {

struct RunningApplication;

class ApplicationDelegate {
  public:
    virtual ~ApplicationDelegate() = default;
    virtual void applicationDidFinishLaunching() {}
    virtual void applicationWillTerminate() {}
};

// The object that answers Services requests. The application object calls the operation of a
// message only when the provider's Info.plist declares that message under NSServices.
class ServicesProvider {
  public:
    virtual ~ServicesProvider() = default;
    // Answers whether this provider has an operation for the message; when it has, runs it.
    // The operation may set *error; the application object passes it back to the requester.
    virtual bool performService(const std::string& message, const Pasteboard& pasteboard,
                                const std::string& userData, std::string* error) = 0;
};

using TimerID = unsigned long;

class Application {
  public:
    virtual ~Application() = default;

    // The delegate and the provider are not owned.
    virtual void setDelegate(ApplicationDelegate* delegate) = 0;
    virtual ApplicationDelegate* delegate() const = 0;
    virtual void setServicesProvider(ServicesProvider* provider) = 0;
    virtual ServicesProvider* servicesProvider() const = 0;
    // NSUpdateDynamicServices: re-read the Services that applications declare.
    virtual void updateDynamicServices() = 0;

    // Runs the event loop: finishes launching (the delegate's did-finish-launching), then
    // delivers events, timers and delayed performs until the process ends or the loop is stopped.
    virtual void run() = 0;
    virtual void stop() = 0;

    // A timer on the main run loop in its default mode; the first firing comes one interval
    // after scheduling. A repeating timer keeps firing until the process ends or it is
    // invalidated.
    virtual TimerID scheduledTimerWithTimeInterval(double seconds, bool repeats,
                                                   std::function<void()> action) = 0;
    virtual void invalidateTimer(TimerID timer) = 0;
    // A one-shot perform after a delay, in the loop's default mode.
    virtual void performAfterDelay(double seconds, std::function<void()> action) = 0;

    // The quit request: returns at once; the loop later runs the delegate's will-terminate and
    // ends the process with status 0.
    virtual void terminate() = 0;

    // Activation.
    virtual void activateIgnoringOtherApps(bool flag) = 0;
    virtual void yieldActivationToApplication(const RunningApplication& application) = 0;
    virtual void yieldActivationToApplicationWithBundleIdentifier(
        const std::string& bundleIdentifier) = 0;
};

}  // namespace platform
