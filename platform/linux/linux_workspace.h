// The workspace on Linux: the running applications (processes in bundles), the installed ones
// (bundles in the application folders), the frontmost one, launching and opening URLs.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "linux_desktop.h"
#include "linux_processes.h"
#include "linux_support.h"
#include "platform/apple_event_descriptor.h"
#include "platform/workspace.h"

namespace platform::linux_platform {

// Where the workspace keeps the frontmost record: $XDG_RUNTIME_DIR/pendra/frontmost.
std::string frontmostRecordPath();
// Records a process as the frontmost application; false when the record cannot be written.
bool writeFrontmostRecord(pid_t pid);

// The folders searched for installed applications, in order: /Applications, each folder of
// PENDRA_APPLICATIONS_PATH, then ~/Applications.
std::vector<std::string> applicationFolders();
// Every installed application bundle, in search order.
std::vector<std::string> installedApplicationBundles();

class DesktopSession;

class LinuxWorkspace : public Workspace {
  public:
    // `quitCurrentApplication` is the application object's quit request, used when the
    // calling process is asked to terminate.
    explicit LinuxWorkspace(std::function<void()> quitCurrentApplication);
    ~LinuxWorkspace() override;

    // The frontmost application is the desktop's (X11, else the accessibility bus); only where
    // neither can tell is it the process in the frontmost record.

    std::optional<RunningApplication> frontmostApplication() override;
    std::vector<RunningApplication> runningApplicationsWithBundleIdentifier(
        const std::string& bundleIdentifier) override;
    // The owner of the identifier's bus name, read from that one process, once a resolver is
    // set; until then the processes are listed.
    std::optional<RunningApplication> runningApplicationWithBundleIdentifier(
        const std::string& bundleIdentifier) override;
    std::optional<RunningApplication> runningApplicationWithProcessIdentifier(pid_t pid) override;
    // Every running application in a bundle, by process id.
    std::vector<RunningApplication> runningApplications() override;
    RunningApplication currentApplication() override;
    bool terminateApplication(const RunningApplication& application) override;
    std::optional<std::string> absolutePathForAppBundleWithIdentifier(
        const std::string& bundleIdentifier) override;
    std::optional<URL> URLForApplicationWithBundleIdentifier(
        const std::string& bundleIdentifier) override;
    std::vector<URL> installedApplicationURLs() override;
    std::optional<RunningApplication> launchApplicationAtURL(
        const URL& url, NSWorkspaceLaunchOptions options, const LaunchConfiguration& configuration,
        Error* error) override;
    bool openURL(const URL& url) override;

    // Answers an event for the frontmost application of the desktop when the identifier is
    // its own and it is none of our bundles (those speak the bus protocol): the reply from
    // what its windows show, asked of it within the timeout. Absent for any other target.
    std::optional<OSStatus> answerDesktopEvent(const std::string& bundleIdentifier,
                                               const AppleEventDescriptor& event,
                                               AppleEventDescriptor& reply,
                                               std::chrono::milliseconds timeout);

    // Hands URLs that no bundle declares to the bus-aware part of the layer; until one is set
    // (and for web and file URLs) xdg-open gets them.
    void setURLOpener(std::function<bool(const URL&)> opener) { urlOpener_ = std::move(opener); }
    // How the bus-aware part of the layer tells which process owns the bus name of a bundle
    // identifier (absent: none).
    void setNameOwnerResolver(std::function<std::optional<pid_t>(const std::string&)> resolver) {
        nameOwner_ = std::move(resolver);
    }

    // Says which turn of the event loop is being handled (absent outside one), so that the
    // questions asked while one event is handled are answered by one look at the desktop.
    void setTurnOfEventLoop(std::function<std::optional<std::uint64_t>()> turn) {
        turnOfEventLoop_ = std::move(turn);
    }

  private:
    // What the desktop says is in front, asked once in each turn of the event loop.
    DesktopFrontmost desktopFrontmost();
    // The application of one of our bundles that runs in the process in front; absent for a
    // desktop application.
    std::optional<RunningApplication> bundleApplicationOfFront(pid_t pid);
    // The application a live process runs; absent for a process that is gone or runs none.
    // An application's process is read once, then known by a handle on it until it ends.
    std::optional<RunningApplication> applicationOfLiveProcess(pid_t pid);
    void forgetKnownProcesses();

    struct KnownProcess {
        int handle;
        RunningApplication application;
    };
    std::map<pid_t, KnownProcess> knownProcesses_;
    WatchedSmallFile frontmostRecord_{64};
    std::function<void()> quitCurrentApplication_;
    std::function<bool(const URL&)> urlOpener_;
    std::function<std::optional<pid_t>(const std::string&)> nameOwner_;
    std::unique_ptr<DesktopSession> desktop_;
    std::function<std::optional<std::uint64_t>()> turnOfEventLoop_;
    std::optional<std::pair<std::uint64_t, DesktopFrontmost>> frontOfTurn_;
    // The process last in front that runs none of our bundles, with a handle on it.
    struct FrontProcess {
        FrontProcess(pid_t pid, int handle) : pid(pid), handle(handle) {}
        pid_t pid;
        FileDescriptor handle;
    };
    std::optional<FrontProcess> frontNotBundle_;
};

// Hands a URL to xdg-open when it is installed; false when it is not.
bool openWithSystemHandler(const std::string& text);

}  // namespace platform::linux_platform
