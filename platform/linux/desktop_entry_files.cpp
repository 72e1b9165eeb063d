#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>
#include <string_view>

#include "linux_desktop_entry_files.h"
#include "linux_support.h"

namespace platform::linux_platform {
namespace {

std::string kindOf(mode_t mode) {
    if (S_ISLNK(mode)) {
        return "a link";
    }
    if (S_ISFIFO(mode)) {
        return "a FIFO";
    }
    if (S_ISDIR(mode)) {
        return "a folder";
    }
    if (S_ISCHR(mode) || S_ISBLK(mode)) {
        return "a device";
    }
    if (S_ISSOCK(mode)) {
        return "a socket";
    }
    return "no regular file";
}

std::string tooLarge(long long size) {
    return "it holds " + std::to_string(size) + " bytes, more than the " +
           std::to_string(kMaximumDesktopEntryBytes) + " an entry may";
}

}  // namespace

std::optional<std::string> readDesktopEntryFile(const std::string& path, std::string* why) {
    auto refuse = [why](std::string reason) -> std::optional<std::string> {
        if (why != nullptr) {
            *why = std::move(reason);
        }
        return std::nullopt;
    };
    // Looked at first, so that no device is ever opened; the descriptor is checked again,
    // since the name may be given to something else in between.
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) {
        return refuse(std::strerror(errno));
    }
    if (!S_ISREG(status.st_mode)) {
        return refuse("it is " + kindOf(status.st_mode));
    }
    const FileDescriptor file(
        ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (file.get() < 0) {
        return refuse(errno == ELOOP ? std::string("it is a link") : std::strerror(errno));
    }
    if (::fstat(file.get(), &status) != 0) {
        return refuse(std::strerror(errno));
    }
    if (!S_ISREG(status.st_mode)) {
        return refuse("it is " + kindOf(status.st_mode));
    }
    if (status.st_size > static_cast<off_t>(kMaximumDesktopEntryBytes)) {
        return refuse(tooLarge(status.st_size));
    }
    // One byte more than the file said it holds is asked for, so that a file that grew is seen
    // growing; it may grow up to the limit, and one byte past it tells that it went beyond.
    std::string text(static_cast<std::size_t>(status.st_size) + 1, '\0');
    std::size_t length = 0;
    for (;;) {
        if (length == text.size()) {
            if (text.size() > kMaximumDesktopEntryBytes) {
                break;
            }
            text.resize(kMaximumDesktopEntryBytes + 1);
        }
        const ssize_t got = ::read(file.get(), text.data() + length, text.size() - length);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return refuse(std::strerror(errno));
        }
        if (got == 0) {
            break;
        }
        length += static_cast<std::size_t>(got);
    }
    if (length > kMaximumDesktopEntryBytes) {
        return refuse(tooLarge(static_cast<long long>(length)));
    }
    text.resize(length);
    return text;
}

bool isDesktopEntryName(const std::string& name) {
    constexpr std::string_view kExtension = ".desktop";
    return name.size() > kExtension.size() && name.ends_with(kExtension);
}

std::optional<DesktopEntry> parseDesktopEntry(const std::string& text) {
    std::istringstream lines(text);
    std::string line;
    bool inGroup = false;
    bool sawGroup = false;
    DesktopEntry entry;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.empty() || line.front() == '#') {
            continue;
        }
        if (line.front() == '[') {
            inGroup = line == "[Desktop Entry]";
            sawGroup = sawGroup || inGroup;
            continue;
        }
        if (!inGroup) {
            continue;
        }
        auto equals = line.find('=');
        if (equals == std::string::npos) {
            continue;
        }
        std::string key = line.substr(0, equals);
        while (!key.empty() && key.back() == ' ') {
            key.pop_back();
        }
        std::size_t start = equals + 1;
        while (start < line.size() && line[start] == ' ') {
            ++start;
        }
        std::string value;
        for (std::size_t i = start; i < line.size(); ++i) {
            if (line[i] == '\\' && i + 1 < line.size()) {
                char next = line[++i];
                switch (next) {
                    case 's':
                        value += ' ';
                        break;
                    case 'n':
                        value += '\n';
                        break;
                    case 't':
                        value += '\t';
                        break;
                    case 'r':
                        value += '\r';
                        break;
                    case '\\':
                        value += '\\';
                        break;
                    default:  // kept for the next layer (Exec quoting)
                        value += '\\';
                        value += next;
                }
            } else {
                value += line[i];
            }
        }
        entry.emplace(std::move(key), std::move(value));
    }
    if (!sawGroup) {
        return std::nullopt;
    }
    return entry;
}

std::string escapeDesktopString(const std::string& value) {
    std::string escaped;
    for (std::size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        switch (c) {
            case '\\':
                escaped += "\\\\";
                break;
            case '\n':
                escaped += "\\n";
                break;
            case '\t':
                escaped += "\\t";
                break;
            case '\r':
                escaped += "\\r";
                break;
            case ' ':
                escaped += i == 0 ? "\\s" : " ";
                break;
            default:
                escaped += c;
        }
    }
    return escaped;
}

std::string quoteExecArgument(const std::string& argument) {
    static constexpr std::string_view kReserved = " \t\n\"'\\><~|&;$*?#()`";
    const bool needsQuotes =
        argument.empty() || argument.find_first_of(kReserved) != std::string::npos;
    std::string quoted;
    if (needsQuotes) {
        quoted += '"';
    }
    for (char c : argument) {
        if (needsQuotes && (c == '"' || c == '`' || c == '$' || c == '\\')) {
            quoted += '\\';
        }
        quoted += c;
        if (c == '%') {
            quoted += '%';
        }
    }
    if (needsQuotes) {
        quoted += '"';
    }
    return quoted;
}

std::vector<std::string> splitExecLine(const std::string& exec) {
    std::vector<std::string> arguments;
    std::size_t i = 0;
    while (i < exec.size()) {
        while (i < exec.size() && (exec[i] == ' ' || exec[i] == '\t' || exec[i] == '\n')) {
            ++i;
        }
        if (i >= exec.size()) {
            break;
        }
        std::string argument;
        bool fieldCodeOnly = true;
        bool any = false;
        auto append = [&](char c) {
            argument += c;
            any = true;
        };
        auto takePercent = [&](std::size_t& at) {
            // "%%" is a per-cent sign; any other "%x" is a field code that we do not fill.
            if (at + 1 < exec.size() && exec[at + 1] == '%') {
                append('%');
                fieldCodeOnly = false;
            }
            at += 2;
        };
        if (exec[i] == '"') {
            ++i;
            fieldCodeOnly = false;
            any = true;
            while (i < exec.size() && exec[i] != '"') {
                if (exec[i] == '\\' && i + 1 < exec.size()) {
                    append(exec[i + 1]);
                    i += 2;
                } else if (exec[i] == '%') {
                    takePercent(i);
                } else {
                    append(exec[i++]);
                }
            }
            ++i;  // the closing quote
        } else {
            while (i < exec.size() && exec[i] != ' ' && exec[i] != '\t' && exec[i] != '\n') {
                if (exec[i] == '%') {
                    takePercent(i);
                } else {
                    fieldCodeOnly = false;
                    append(exec[i++]);
                }
            }
        }
        if (any || !fieldCodeOnly) {
            arguments.push_back(std::move(argument));
        }
    }
    return arguments;
}

}  // namespace platform::linux_platform
