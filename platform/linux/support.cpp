#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <syslog.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <string>

#include "linux_file_manager.h"
#include "linux_processes.h"
#include "linux_support.h"
#include "platform/linux_platform.h"
#include "platform/platform.h"

namespace platform::linux_platform {

LinuxUserDefaults::LinuxUserDefaults(std::function<std::optional<std::string>()> domain)
    : domain_(std::move(domain)) {}

std::string LinuxUserDefaults::pathForDomain(const std::string& domain) {
    return xdgDirectory("XDG_CONFIG_HOME", ".config") + "/" + domain + ".plist";
}

std::optional<PropertyList> LinuxUserDefaults::objectForKey(const std::string& key) {
    auto domain = domain_ ? domain_() : std::nullopt;
    if (!domain || domain->empty() || domain->find('/') != std::string::npos) {
        return std::nullopt;
    }
    auto defaults = PropertyList::readFromFile(pathForDomain(*domain), systemFileManager());
    if (!defaults) {
        return std::nullopt;
    }
    if (const PropertyList* value = defaults->objectForKey(key)) {
        return *value;
    }
    return std::nullopt;
}

namespace {

bool writeAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = ::write(fd, text.data(), text.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

}  // namespace

bool writeFileAtomically(const std::string& path, std::string_view contents, unsigned mode) {
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string temporary = folder + "." + name + ".XXXXXX";
    // Not inherited by a program the layer starts meanwhile.
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    bool ok =
        ::fchmod(fd, static_cast<mode_t>(mode)) == 0 && writeAll(fd, contents) && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(temporary.c_str(), path.c_str()) == 0;
    if (!ok) {
        ::unlink(temporary.c_str());
        return false;
    }
    // The new name is in place; a folder that cannot be flushed does not undo it.
    if (const int folderFd =
            ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        folderFd >= 0) {
        ::fsync(folderFd);
        ::close(folderFd);
    }
    return true;
}

// sd_journal_send drops messages quietly when no journal listens; ask for its socket first.
LinuxLogService::LinuxLogService(bool useJournal, int fd)
    : useJournal_(useJournal && ::access("/run/systemd/journal/socket", W_OK) == 0), fd_(fd) {}

namespace {

int journalPriority(LogLevel level) {
    switch (level) {
        case LogLevel::Debug:
            return LOG_DEBUG;
        case LogLevel::Info:
            return LOG_INFO;
        case LogLevel::Default:
            return LOG_NOTICE;
        case LogLevel::Error:
            return LOG_ERR;
        case LogLevel::Fault:
            return LOG_CRIT;
    }
    return LOG_NOTICE;
}

const char* programName() {
    return program_invocation_short_name;
}

}  // namespace

std::string LinuxLogService::linePrefix() {
    timeval now{};
    ::gettimeofday(&now, nullptr);
    // The date and time change once a second, and formatting them is most of what a line
    // costs: they are formatted once a second.
    thread_local time_t formattedSecond = -1;
    thread_local char stamp[32] = {};
    if (now.tv_sec != formattedSecond) {
        tm local{};
        ::localtime_r(&now.tv_sec, &local);
        std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
        formattedSecond = now.tv_sec;
    }
    const auto milliseconds = static_cast<int>(now.tv_usec / 1000);
    std::string prefix;
    prefix.reserve(64);
    prefix.append(stamp).append(1, '.');
    prefix.append(1, static_cast<char>('0' + milliseconds / 100));
    prefix.append(1, static_cast<char>('0' + milliseconds / 10 % 10));
    prefix.append(1, static_cast<char>('0' + milliseconds % 10));
    prefix.append(1, ' ').append(programName()).append(1, '[');
    prefix.append(std::to_string(::getpid())).append("] ");
    return prefix;
}

void LinuxLogService::writeLine(const std::string& line) {
    std::string text = line;
    if (text.empty() || text.back() != '\n') {
        text += '\n';
    }
    // One write per line keeps lines of several processes whole on a shared descriptor.
    const char* cursor = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        ssize_t written = ::write(fd_, cursor, left);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        cursor += written;
        left -= static_cast<std::size_t>(written);
    }
}

void LinuxLogService::writeUnified(const OSLog& log, LogLevel level, const std::string& message) {
    if (useJournal_) {
        const int result =
            sd_journal_send("MESSAGE=%s", message.c_str(), "PRIORITY=%d", journalPriority(level),
                            "SUBSYSTEM=%s", log.subsystem.c_str(), "CATEGORY=%s",
                            log.category.c_str(), "SYSLOG_IDENTIFIER=%s", programName(), nullptr);
        if (result >= 0) {
            return;
        }
        // The journal is gone (or never was): everything from now on goes to the descriptor.
        useJournal_ = false;
    }
    writeLine(linePrefix() + "[" + log.subsystem + ":" + log.category + "] " + message);
}

void logLine(const std::string& message) {
    if (LogService* log = installed().log) {
        log->writeConsole(message);
        return;
    }
    LinuxLogService(false, 2).writeConsole(message);
}

void LinuxLogService::writeConsole(const std::string& message) {
    writeLine(linePrefix() + message);
}

}  // namespace platform::linux_platform
