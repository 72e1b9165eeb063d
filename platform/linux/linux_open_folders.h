// The folders a file manager's windows show, as the file manager itself tells on the session
// bus: a file manager of org.freedesktop.FileManager1 lists, in its property
// OpenWindowsWithLocations, each window's object path with the locations it shows, the front one
// first. One property read gives the folder of the window in front, without walking that window's
// accessibility tree; an X11 window names its object path in _GTK_WINDOW_OBJECT_PATH.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "bus_messages.h"
#include "linux_desktop.h"

namespace platform::linux_platform {

// The locations of a file manager's windows, front first, by each window's object path.
using WindowLocations = std::map<std::string, std::vector<std::string>>;

// A local folder by its "file://" address: named by its last part ("/" for the root), with
// its file URL and path. Absent for another scheme, a host other than this one, a relative or
// malformed address.
std::optional<DesktopDocument> documentOfFolderAddress(const std::string& address);

// The folder a window shows: the front location of the entry whose object path is
// `windowPath`; with no path known, that of the only entry, when there is exactly one (of
// several, which one is in front cannot be told).
std::optional<DesktopDocument> folderOfWindow(const WindowLocations& windows,
                                              const std::string& windowPath);

// The session bus's file managers, asked with bounded calls on one connection kept open (and
// opened again when lost). Each file manager of the session asks for the name; the first owns
// it and the others wait in its queue, and every one of them answers for its own windows. The
// queue is read again at most every few seconds, so that asking about a process that is no
// file manager mostly sends nothing. Never starts a service.
class OpenFolders {
  public:
    using Clock = std::chrono::steady_clock;

    // Each question takes at most `limit`.
    explicit OpenFolders(std::chrono::milliseconds limit);
    ~OpenFolders();
    OpenFolders(const OpenFolders&) = delete;
    OpenFolders& operator=(const OpenFolders&) = delete;

    // Whether the process owns the file manager's name on the session bus, or waits for it,
    // and has not been found to keep no list of its windows' folders.
    bool isFileManager(pid_t pid);
    // The folder of the process's window at `windowPath` (empty when unknown; see
    // folderOfWindow). Absent when the process is no file manager of the name, it did not
    // answer in time (it is then not asked again until its answer has come, a minute at most),
    // or its answer names no local folder for that window.
    std::optional<DesktopDocument> frontFolder(pid_t pid, const std::string& windowPath);

  private:
    sd_bus* connection();
    void noteMessage(sd_bus_message* message);
    // The connection of the process among those owning or waiting for the name.
    std::optional<std::string> connectionOfProcess(pid_t pid);

    std::chrono::milliseconds limit_;
    BusConnection bus_;
    BoundedCalls calls_;
    Clock::time_point nextAttempt_;
    // The connections owning or waiting for the name, with their processes, as last read.
    std::vector<std::pair<std::string, pid_t>> queue_;
    std::optional<Clock::time_point> queueReadAt_;
    // The processes of connections, known once asked (a connection's name is never reused).
    std::map<std::string, pid_t> processes_;
    // A file manager that did not answer in time rests until its answer comes, or this moment.
    std::string resting_;
    Clock::time_point restingUntil_;
    // A file manager without the property, not asked again.
    std::string withoutWindows_;
    OncePerInterval toldUnreadable_{std::chrono::hours(1)};
};

}  // namespace platform::linux_platform
