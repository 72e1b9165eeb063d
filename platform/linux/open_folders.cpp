#include <cerrno>

#include "linux_desktop.h"
#include "linux_locations.h"
#include "linux_open_folders.h"
#include "linux_support.h"
#include "linux_x11.h"
#include "platform/url.h"

namespace platform::linux_platform {
namespace {

using namespace std::chrono_literals;

constexpr const char* kFileManagerName = "org.freedesktop.FileManager1";
constexpr const char* kFileManagerPath = "/org/freedesktop/FileManager1";
constexpr const char* kFileManagerInterface = "org.freedesktop.FileManager1";
constexpr const char* kWindowsProperty = "OpenWindowsWithLocations";
constexpr const char* kBusName = "org.freedesktop.DBus";
constexpr const char* kBusPath = "/org/freedesktop/DBus";
// A session bus that could not be reached is tried again after this long, not at every capture.
constexpr auto kReconnectInterval = 5s;
// File managers start and end rarely: who waits for the name is read again after this long.
constexpr auto kQueueRecheck = 2s;
// A file manager that did not answer in time is left alone until it has, or this long at most.
constexpr auto kRestAfterNoAnswer = 60s;
// The X server answers property reads at once; this only bounds a server that has stopped.
constexpr std::chrono::milliseconds kX11Timeout{500};
// The file manager answers one property read within milliseconds; this bounds one that is busy.
constexpr std::chrono::milliseconds kFileManagerLimit{250};
constexpr const char* kWindowObjectPathProperty = "_GTK_WINDOW_OBJECT_PATH";

// The locations of the window at `windowPath`, or of the only window when no path is known.
const std::vector<std::string>* locationsOfWindow(const WindowLocations& windows,
                                                  const std::string& windowPath) {
    if (windowPath.empty()) {
        return windows.size() == 1 ? &windows.begin()->second : nullptr;
    }
    const auto window = windows.find(windowPath);
    return window != windows.end() ? &window->second : nullptr;
}

}  // namespace

std::optional<DesktopDocument> documentOfFolderAddress(const std::string& address) {
    const auto url = URL::URLWithString(address);
    if (!url || !url->isFileURL()) {
        return std::nullopt;
    }
    const auto components = URLComponents::componentsWithURL(*url);
    if (!components || (components->host() && !components->host()->empty() &&
                        *components->host() != "localhost")) {
        return std::nullopt;
    }
    const std::string path = url->path();
    if (path.empty() || path.front() != '/' || hasControlCharacters(path)) {
        return std::nullopt;
    }
    return localDocument(url->lastPathComponent(), path);
}

std::optional<DesktopDocument> folderOfWindow(const WindowLocations& windows,
                                              const std::string& windowPath) {
    const auto* locations = locationsOfWindow(windows, windowPath);
    if (locations == nullptr || locations->empty()) {
        return std::nullopt;
    }
    return documentOfFolderAddress(locations->front());
}

OpenFolders::OpenFolders(std::chrono::milliseconds limit) : limit_(limit) {
    calls_.setCallLimit(limit);
}

OpenFolders::~OpenFolders() = default;

sd_bus* OpenFolders::connection() {
    if (bus_ && sd_bus_is_open(bus_.get()) <= 0) {
        bus_.reset();
        queueReadAt_.reset();
    }
    if (bus_ || Clock::now() < nextAttempt_) {
        return bus_.get();
    }
    BusConnection bus;
    if (sd_bus_open_user(bus.out()) < 0) {
        nextAttempt_ = Clock::now() + kReconnectInterval;
        return nullptr;
    }
    sd_bus_add_filter(
        bus.get(), nullptr,
        [](sd_bus_message* message, void* self, sd_bus_error*) {
            static_cast<OpenFolders*>(self)->noteMessage(message);
            return 0;
        },
        this);
    bus_ = std::move(bus);
    return bus_.get();
}

void OpenFolders::noteMessage(sd_bus_message* message) {
    if (const auto asked = calls_.takeLateCall(message); asked && *asked == resting_) {
        resting_.clear();
    }
}

std::optional<std::string> OpenFolders::connectionOfProcess(pid_t pid) {
    sd_bus* bus = connection();
    if (bus == nullptr || pid <= 0) {
        return std::nullopt;
    }
    dispatchUnread(bus);
    if (!queueReadAt_ || Clock::now() - *queueReadAt_ >= kQueueRecheck) {
        std::vector<std::string> names;
        BusReply reply =
            calls_.call(BusWriter::methodCall(bus, kBusName, kBusPath, kBusName, "ListQueuedOwners")
                        << kFileManagerName);
        if (!(reply.read() >> names) && !(!reply && isNoOwnerError(reply.error.error))) {
            return std::nullopt;
        }
        std::vector<std::pair<std::string, pid_t>> queue;
        for (const auto& name : names) {
            auto known = processes_.find(name);
            if (known == processes_.end()) {
                const auto process = processOfConnection(calls_, bus, name);
                if (!process) {
                    return std::nullopt;
                }
                // Connections come and go; those of the queue are few.
                if (processes_.size() >= 64) {
                    processes_.clear();
                }
                known = processes_.emplace(name, *process).first;
            }
            queue.emplace_back(name, known->second);
        }
        queue_ = std::move(queue);
        queueReadAt_ = Clock::now();
    }
    for (const auto& [name, process] : queue_) {
        if (process == pid) {
            return name;
        }
    }
    return std::nullopt;
}

bool OpenFolders::isFileManager(pid_t pid) {
    calls_.setDeadline(Clock::now() + limit_);
    const auto manager = connectionOfProcess(pid);
    return manager && *manager != withoutWindows_;
}

std::optional<DesktopDocument> OpenFolders::frontFolder(pid_t pid, const std::string& windowPath) {
    calls_.setDeadline(Clock::now() + limit_);
    const auto manager = connectionOfProcess(pid);
    if (!manager || *manager == withoutWindows_ ||
        (*manager == resting_ && Clock::now() < restingUntil_)) {
        return std::nullopt;
    }
    BusReply reply =
        calls_.call(BusWriter::methodCall(bus_.get(), manager->c_str(), kFileManagerPath,
                                          "org.freedesktop.DBus.Properties", "Get")
                    << kFileManagerInterface << kWindowsProperty);
    const std::string process = "process " + std::to_string(pid);
    if (!reply) {
        if (reply.result == -ETIMEDOUT) {
            resting_ = *manager;
            restingUntil_ = Clock::now() + kRestAfterNoAnswer;
            logLine("The file manager (" + process +
                    ") did not say in time which folders its windows show; it is asked again "
                    "once it has answered, in a minute at most");
        } else if (reply.error.has(SD_BUS_ERROR_UNKNOWN_PROPERTY) ||
                   reply.error.has(SD_BUS_ERROR_INVALID_ARGS) ||
                   reply.error.has(SD_BUS_ERROR_UNKNOWN_INTERFACE) ||
                   reply.error.has(SD_BUS_ERROR_UNKNOWN_METHOD) ||
                   reply.error.has(SD_BUS_ERROR_UNKNOWN_OBJECT)) {
            // A file manager that opens folders and tells nothing more.
            withoutWindows_ = *manager;
        }
        return std::nullopt;
    }
    WindowLocations windows;
    if (!(reply.read() >> inVariant(windows))) {
        if (toldUnreadable_.shouldSay(*manager)) {
            logLine("The file manager (" + process + ") answered " + kWindowsProperty +
                    " with something other than window paths and their locations; its folders "
                    "are read from its windows instead");
        }
        return std::nullopt;
    }
    auto folder = folderOfWindow(windows, windowPath);
    if (!folder) {
        const auto* locations = locationsOfWindow(windows, windowPath);
        // Other places (the trash, a search, another machine's share) are no local folder and
        // no fault; a local one that cannot be read is.
        if (locations != nullptr && !locations->empty() &&
            locations->front().starts_with("file:") &&
            toldUnreadable_.shouldSay(*manager + locations->front())) {
            logLine("The file manager (" + process +
                    ") names a folder that is no local path: " + locations->front());
        }
    }
    return folder;
}

std::optional<DesktopApplicationView> DesktopSession::viewOfOpenFolder(pid_t pid) {
    if (pid <= 0) {
        return std::nullopt;
    }
    if (!openFolders_) {
        openFolders_ = std::make_unique<OpenFolders>(kFileManagerLimit);
    }
    // Every capture comes here: for another process, the bus is asked who holds the name at
    // most every few seconds, and the display nothing.
    if (!openFolders_->isFileManager(pid)) {
        return std::nullopt;
    }
    std::string title;
    std::string windowPath;
    if (X11Desktop* display = x11()) {
        const auto active = display->activeWindow(kX11Timeout);
        if (!active || active->pid != pid) {
            return std::nullopt;
        }
        title = active->title;
        windowPath = display->textProperty(active->window, kWindowObjectPathProperty, kX11Timeout)
                         .value_or("");
    } else if (pid == lastActive_) {
        title = lastActiveTitle_;
    }
    auto folder = openFolders_->frontFolder(pid, windowPath);
    if (!folder) {
        return std::nullopt;
    }
    DesktopApplicationView view;
    view.windows.push_back({!title.empty() ? title : folder->name});
    view.frontDocument = std::move(folder);
    return view;
}

}  // namespace platform::linux_platform
