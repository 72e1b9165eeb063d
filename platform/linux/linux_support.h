// User defaults and logging on Linux.
#pragma once

#include <unistd.h>

#include <functional>
#include <optional>
#include <string>

#include "platform/linux_platform.h"
#include "platform/log.h"
#include "platform/user_defaults.h"

namespace platform::linux_platform {

// The defaults of one domain, read afresh from $XDG_CONFIG_HOME/<domain>.plist at every call.
class LinuxUserDefaults final : public UserDefaults {
  public:
    // The domain is asked for at each read (the process's bundle identifier); none means no
    // defaults at all.
    explicit LinuxUserDefaults(std::function<std::optional<std::string>()> domain);
    std::optional<PropertyList> objectForKey(const std::string& key) override;

    // The property-list file of a domain.
    static std::string pathForDomain(const std::string& domain);

  private:
    std::function<std::optional<std::string>()> domain_;
};

// Unified logging goes to the systemd journal, with the handle's subsystem and category as
// fields, while the journal takes messages; otherwise, and for the console log, a line goes to
// standard error.
class LinuxLogService final : public LogService {
  public:
    // `useJournal` false keeps everything on the descriptor (for programs run from a terminal
    // or a test); `fd` is where lines go.
    explicit LinuxLogService(bool useJournal = true, int fd = 2);
    void writeUnified(const OSLog& log, LogLevel level, const std::string& message) override;
    void writeConsole(const std::string& message) override;

    // "YYYY-MM-DD HH:MM:SS.mmm name[pid] " for the current moment and process.
    static std::string linePrefix();

  private:
    void writeLine(const std::string& line);
    bool useJournal_;
    int fd_;
};

// A line about the layer's own troubles: to the installed log service's console log, or to
// standard error when none is installed.
void logLine(const std::string& message);

// A file descriptor closed when it goes.
class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

  private:
    int fd_;
};

}  // namespace platform::linux_platform
