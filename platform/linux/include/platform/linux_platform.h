// The Linux implementation of every platform service, owned by one object that an
// executable's main() creates and installs.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace platform::linux_platform {

// The selections a desktop keeps: the text last selected (X11 PRIMARY, Wayland's primary
// selection) and the text last copied (CLIPBOARD).
enum class SelectionKind { primary, clipboard };

struct SelectionReading {
    enum class Outcome {
        text,         // the owner gave text (possibly empty)
        none,         // nothing is selected, or the owner offers no text
        noAnswer,     // the owner did not answer in time
        tooLarge,     // the text is larger than the limit asked for
        unavailable,  // no desktop to ask (no display, no data-control protocol)
    };
    Outcome outcome = Outcome::unavailable;
    std::string text;    // UTF-8 as the owner gave it, with `text`
    std::string detail;  // for a log line: where it was read, or why nothing came
};

// The text of a selection for a command a person runs from a key binding. Where the session
// has a Wayland compositor that offers the data-control protocol, it is asked; else the X11
// display. Each wait is bounded by `timeout` in all.
SelectionReading readDesktopSelection(SelectionKind kind, std::chrono::milliseconds timeout,
                                      std::size_t limit);

class LinuxPlatform {
  public:
    struct Options {
        // End the process (terminateProcess(1)) once nothing can reach it: the connection to
        // the session bus is lost, or another process owns the bus name of its bundle
        // identifier. For programs whose whole purpose is to be reached, like the helper.
        bool endWhenUnreachable = false;
    };
    explicit LinuxPlatform(Options options);
    LinuxPlatform() : LinuxPlatform(Options{}) {}
    ~LinuxPlatform();
    LinuxPlatform(const LinuxPlatform&) = delete;
    LinuxPlatform& operator=(const LinuxPlatform&) = delete;

    const Services& services() const { return services_; }

    // What the programs that play the other side of the session need beyond the services.
    // A Services request to the application of a bundle identifier, as the Services menu makes
    // it: noErr when the provider ran the service; procNotFound when nothing answers for the
    // identifier; another status with *error set when the provider refused or failed.
    OSStatus sendServicesRequest(const std::string& bundleIdentifier, const std::string& message,
                                 const std::string& userData, const Pasteboard& pasteboard,
                                 std::string* error);
    // Calls the observer on the application's loop for every distributed notification posted
    // in the session from now on. False when there is no session bus.
    using NotificationObserver =
        std::function<void(const std::string& name, const std::optional<std::string>& object,
                           const NotificationUserInfo& userInfo)>;
    bool addDistributedNotificationObserver(NotificationObserver observer);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    Services services_;
};

// The property-list file that holds a defaults domain: $XDG_CONFIG_HOME/<domain>.plist.
std::string userDefaultsPathForDomain(const std::string& domain);

// Replaces the file at `path` with `contents` so that a reader, or the next start after a crash
// or power loss, finds the old file or the new one, never a part of either: the text goes to a
// hidden temporary file in the same folder, is flushed to disk, and is renamed over the target;
// then the folder is flushed too, since the rename lives in the folder and is otherwise only in
// memory. The folder must exist. False, with nothing left behind, on any failure.
bool writeFileAtomically(const std::string& path, std::string_view contents, unsigned mode = 0644);

}  // namespace platform::linux_platform
