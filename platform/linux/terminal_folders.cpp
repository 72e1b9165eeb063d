#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdlib>
#include <sstream>

#include "linux_desktop.h"
#include "linux_desktop_entries.h"
#include "linux_processes.h"
#include "linux_terminal_folders.h"
#include "linux_x11.h"

namespace platform::linux_platform {
namespace {

// A shell's environment is small; a larger one is not read further.
constexpr std::size_t kEnvironmentLimit = 256 * 1024;
constexpr std::size_t kSmallFileLimit = 64 * 1024;
// Processes remembered as terminals or not; beyond this many, they are found out again.
constexpr std::size_t kKnownProcessesLimit = 256;
// The X server answers property reads at once; this only bounds a server that has stopped.
constexpr std::chrono::milliseconds kX11Timeout{500};

std::string readProcFile(const std::string& path, std::size_t limit) {
    return readSmallFile(path, limit).value_or("");
}

std::vector<pid_t> numbersOf(const std::string& text) {
    std::vector<pid_t> numbers;
    const char* at = text.data();
    const char* end = text.data() + text.size();
    while (at < end) {
        pid_t number = 0;
        const auto [next, error] = std::from_chars(at, end, number);
        if (error == std::errc() && number > 0) {
            numbers.push_back(number);
        }
        at = next == at ? at + 1 : next;
    }
    return numbers;
}

// The children of a process, whichever thread forked them (a terminal may start its shells
// from a worker thread).
std::vector<pid_t> childrenOf(pid_t pid) {
    std::vector<pid_t> children;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* folder = ::opendir(tasks.c_str());
    if (folder == nullptr) {
        return children;
    }
    while (const dirent* entry = ::readdir(folder)) {
        if (entry->d_name[0] == '.') {
            continue;
        }
        for (pid_t child :
             numbersOf(readProcFile(tasks + "/" + entry->d_name + "/children", kSmallFileLimit))) {
            children.push_back(child);
        }
    }
    ::closedir(folder);
    return children;
}

// The fields of a process's /proc stat after its command's name (which stands in parentheses
// and may hold anything): state, ppid, pgrp, session, tty_nr, ...; none when it cannot be read.
std::vector<std::string> statFieldsOf(pid_t pid) {
    const std::string stat = readProcFile("/proc/" + std::to_string(pid) + "/stat", 4096);
    const auto close = stat.rfind(')');
    std::vector<std::string> fields;
    if (close == std::string::npos) {
        return fields;
    }
    std::istringstream text(stat.substr(close + 1));
    for (std::string field; text >> field;) {
        fields.push_back(std::move(field));
    }
    return fields;
}

// Whether the process leads a session on a terminal of its own, as a terminal's shell does.
bool leadsSessionOnATerminal(pid_t pid) {
    const auto fields = statFieldsOf(pid);
    return fields.size() > 4 && std::to_string(pid) == fields[3] && fields[4] != "0";
}

// When the process started, in clock ticks since boot (the 20th field after the command's
// name); 0 when it cannot be read.
std::uint64_t startTimeOf(pid_t pid) {
    const auto fields = statFieldsOf(pid);
    return fields.size() > 19 ? std::strtoull(fields[19].c_str(), nullptr, 10) : 0;
}

// The folder a process works in; empty when it cannot be read (another user's process) or is
// gone (deleted, or the link no longer names it).
std::string workingFolderOf(pid_t pid) {
    const std::string link = "/proc/" + std::to_string(pid) + "/cwd";
    char buffer[4096];
    const ssize_t length = ::readlink(link.c_str(), buffer, sizeof buffer - 1);
    if (length <= 0) {
        return {};
    }
    std::string folder(buffer, static_cast<std::size_t>(length));
    struct stat actual {};
    struct stat named {};
    if (folder.front() != '/' || ::stat(link.c_str(), &actual) != 0 ||
        ::stat(folder.c_str(), &named) != 0 || actual.st_dev != named.st_dev ||
        actual.st_ino != named.st_ino) {
        return {};
    }
    return folder;
}

std::optional<std::uint64_t> windowOfEnvironment(const std::string& environment) {
    static const std::string kName = "WINDOWID=";
    std::size_t at = 0;
    while (at < environment.size()) {
        const std::size_t end = std::min(environment.find('\0', at), environment.size());
        if (environment.compare(at, kName.size(), kName) == 0) {
            std::uint64_t window = 0;
            const char* first = environment.data() + at + kName.size();
            const char* last = environment.data() + end;
            const auto [next, error] = std::from_chars(first, last, window);
            if (error == std::errc() && next == last && window != 0) {
                return window;
            }
            return std::nullopt;
        }
        at = end + 1;
    }
    return std::nullopt;
}

bool isPathCharacter(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '/' || c == '.' || c == '_' ||
           c == '-' || c == '~' || (static_cast<unsigned char>(c) & 0x80) != 0;
}

// How long a form of the folder is that the title names whole; 0 when it names none.
std::size_t lengthNamedInTitle(const std::string& title, const std::string& folder,
                               const std::string& home) {
    std::vector<std::string> forms{folder};
    if (!home.empty() && home != "/") {
        if (folder == home) {
            forms.push_back("~");
        } else if (folder.starts_with(home + "/")) {
            forms.push_back("~" + folder.substr(home.size()));
        }
    }
    std::size_t longest = 0;
    for (const auto& form : forms) {
        for (auto at = title.find(form); at != std::string::npos; at = title.find(form, at + 1)) {
            const std::size_t end = at + form.size();
            const bool startsWhole = at == 0 || !isPathCharacter(title[at - 1]);
            const bool endsWhole = end == title.size() || !isPathCharacter(title[end]) ||
                                   (title[end] == '.' &&
                                    (end + 1 == title.size() || !isPathCharacter(title[end + 1])));
            if (startsWhole && endsWhole) {
                longest = std::max(longest, form.size());
            }
        }
    }
    return longest;
}

// The one folder all of the shells work in, if they do.
std::optional<std::string> commonFolder(const std::vector<const TerminalShell*>& shells) {
    if (shells.empty()) {
        return std::nullopt;
    }
    for (const auto* each : shells) {
        if (each->folder != shells.front()->folder) {
            return std::nullopt;
        }
    }
    return shells.front()->folder;
}

}  // namespace

std::vector<TerminalShell> shellsOfTerminal(pid_t terminal) {
    std::vector<TerminalShell> shells;
    if (terminal <= 0) {
        return shells;
    }
    for (pid_t child : childrenOf(terminal)) {
        if (!leadsSessionOnATerminal(child)) {
            continue;
        }
        TerminalShell shell;
        shell.pid = child;
        shell.folder = workingFolderOf(child);
        if (shell.folder.empty()) {
            continue;
        }
        shell.window = windowOfEnvironment(
            readProcFile("/proc/" + std::to_string(child) + "/environ", kEnvironmentLimit));
        shells.push_back(std::move(shell));
    }
    return shells;
}

std::optional<std::string> frontShellFolder(const std::vector<TerminalShell>& shells,
                                            const std::string& title, const std::string& home,
                                            std::optional<std::uint64_t> frontWindow) {
    std::vector<const TerminalShell*> candidates;
    const bool windowsNamed = frontWindow && std::any_of(shells.begin(), shells.end(),
                                                         [](const auto& s) { return s.window; });
    for (const auto& shell : shells) {
        if (!windowsNamed || shell.window == frontWindow) {
            candidates.push_back(&shell);
        }
    }
    if (auto folder = commonFolder(candidates)) {
        return folder;
    }
    std::size_t longest = 0;
    std::vector<const TerminalShell*> named;
    for (const auto* shell : candidates) {
        const std::size_t length = lengthNamedInTitle(title, shell->folder, home);
        if (length == 0 || length < longest) {
            continue;
        }
        if (length > longest) {
            named.clear();
            longest = length;
        }
        named.push_back(shell);
    }
    return commonFolder(named);
}

bool isTerminalEmulator(const std::string& entryId) {
    const auto* entry = DesktopEntryIndex::current()->entryWithId(entryId);
    return entry != nullptr && entry->terminalEmulator;
}

std::optional<DesktopApplicationView> DesktopSession::viewOfTerminal(pid_t pid) {
    if (pid <= 0) {
        return std::nullopt;
    }
    // Every capture comes here first: a process known to be no terminal costs one read of its
    // start time, which tells it from a later process of the same id.
    const std::uint64_t started = startTimeOf(pid);
    const auto known = terminalProcesses_.find(pid);
    if (known != terminalProcesses_.end() && known->second.first == started &&
        !known->second.second) {
        return std::nullopt;
    }
    auto remember = [&](bool terminal) {
        if (terminalProcesses_.size() >= kKnownProcessesLimit) {
            terminalProcesses_.clear();
        }
        terminalProcesses_[pid] = {started, terminal};
        return terminal;
    };
    std::string title;
    std::optional<std::uint64_t> window;
    if (X11Desktop* display = x11()) {
        const auto active = display->activeWindow(kX11Timeout);
        if (!active || active->pid != pid) {
            return std::nullopt;
        }
        const auto application =
            desktopApplication(pid, active->applicationId, active->className, {});
        if (!remember(application.bundleIdentifier &&
                      isTerminalEmulator(*application.bundleIdentifier))) {
            return std::nullopt;
        }
        title = active->title;
        window = active->window;
    } else {
        // Without X11 the application last found in front on the accessibility bus tells.
        if (pid != lastActive_ || lastFront_.processIdentifier != pid) {
            return std::nullopt;
        }
        if (!remember(lastFront_.bundleIdentifier &&
                      isTerminalEmulator(*lastFront_.bundleIdentifier))) {
            return std::nullopt;
        }
        title = lastActiveTitle_;
    }
    const auto folder = frontShellFolder(shellsOfTerminal(pid), title, homeDirectory(), window);
    if (!folder) {
        return std::nullopt;
    }
    DesktopApplicationView view;
    view.windows.push_back({title});
    const std::string name = !title.empty() ? title : folder->substr(folder->rfind('/') + 1);
    view.frontDocument = localDocument(name, *folder);
    return view;
}

}  // namespace platform::linux_platform
