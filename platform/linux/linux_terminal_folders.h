// The working folder of the shell a terminal emulator shows in front, which a capture gives as
// the terminal's document (a "file://" link to the folder, named by the window's title, which
// the shell sets). A terminal emulator is an application whose desktop entry says so; its shells
// are the children of its process that lead a session on a terminal of their own, read from
// /proc. Only the user's own processes can be read there: the shells of another user are not
// seen at all.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform::linux_platform {

struct TerminalShell {
    pid_t pid = 0;
    std::string folder;  // its working folder
    // The X11 window its environment names (WINDOWID, which some terminals give each shell of
    // a window); absent where the terminal gives none.
    std::optional<std::uint64_t> window;
};

// The shells of a terminal emulator's process that this user may read, whichever of its threads
// started them.
std::vector<TerminalShell> shellsOfTerminal(pid_t terminal);

// The working folder of the shell in front, by this rule:
// 1. Where shells name their window, only those of the front window count.
// 2. When they all work in one folder (one shell, or tabs alike), that folder.
// 3. Otherwise the folder the window's title names, as shells write it there: in full, or under
//    the home folder with "~", standing whole (not as the start of a longer name). The longest
//    one named wins, since a folder's own path holds its parents' paths.
// 4. Otherwise none: which tab is in front is then unknown, and a wrong folder is worse than
//    the title alone.
std::optional<std::string> frontShellFolder(const std::vector<TerminalShell>& shells,
                                            const std::string& title, const std::string& home,
                                            std::optional<std::uint64_t> frontWindow);

// Whether the application of that desktop entry is a terminal emulator (by its Categories).
bool isTerminalEmulator(const std::string& entryId);

}  // namespace platform::linux_platform
