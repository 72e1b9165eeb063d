// Which folder a terminal emulator shows in front: the shells of a real process read from /proc
// (a child leading a session on a terminal of its own, as a terminal starts its shell), and the
// rule that picks the one in front by window and title.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "linux/test_support.h"
#include "linux_desktop_entries.h"
#include "linux_terminal_folders.h"

namespace {

using linux_test::ScopedEnvironment;
using linux_test::TemporaryFolder;
using linux_test::writeFile;
using namespace platform::linux_platform;

// Starts `sleep` in the folder as this process's child: on a terminal of its own as a session
// leader (a shell of a terminal), or only as a session leader, or as a plain child.
enum class ChildKind { shellOnATerminal, sessionWithoutTerminal, plainChild };

// The terminal's master side stays open in `master` while the child runs: closing it would hang
// the terminal up and take it from the session.
pid_t startChild(ChildKind kind, const std::string& folder, const std::string& windowId,
                 int* master = nullptr) {
    std::string terminal;
    if (kind == ChildKind::shellOnATerminal) {
        *master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (*master < 0 || ::grantpt(*master) != 0 || ::unlockpt(*master) != 0) {
            return -1;
        }
        terminal = ::ptsname(*master);
    }
    const std::string variable = "WINDOWID=" + windowId;
    char* const arguments[] = {const_cast<char*>("sleep"), const_cast<char*>("60"), nullptr};
    char* const environment[] = {const_cast<char*>(variable.c_str()), nullptr};
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (kind != ChildKind::plainChild) {
            ::setsid();
        }
        // Opened by a session leader without a terminal, it becomes the session's terminal.
        if (!terminal.empty() && ::open(terminal.c_str(), O_RDWR) < 0) {
            ::_exit(126);
        }
        if (::chdir(folder.c_str()) != 0) {
            ::_exit(126);
        }
        ::execve("/bin/sleep", arguments, windowId.empty() ? arguments + 2 : environment);
        ::_exit(127);
    }
    return pid;
}

void endChild(pid_t pid) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

TEST(TerminalFoldersTest, TheShellsOfAProcessAreItsSessionLeadersOnATerminal) {
    TemporaryFolder folder;
    const std::string first = folder / "first one";
    const std::string second = folder / "second";
    std::filesystem::create_directories(first);
    std::filesystem::create_directories(second);
    int masters[2] = {-1, -1};
    const pid_t shell = startChild(ChildKind::shellOnATerminal, first, "4194307", &masters[0]);
    const pid_t bare = startChild(ChildKind::shellOnATerminal, second, "", &masters[1]);
    const pid_t session = startChild(ChildKind::sessionWithoutTerminal, second, "");
    const pid_t plain = startChild(ChildKind::plainChild, second, "");
    ASSERT_GT(shell, 0);
    ASSERT_GT(bare, 0);

    std::vector<TerminalShell> shells;
    // The children need a moment to settle in their folders and on their terminals.
    linux_test::eventually([&] {
        shells = shellsOfTerminal(::getpid());
        std::sort(shells.begin(), shells.end(),
                  [](const auto& a, const auto& b) { return a.pid < b.pid; });
        return shells.size() >= 2 && shells[0].folder.ends_with("/first one") &&
               shells[1].folder.ends_with("/second");
    });
    ASSERT_EQ(shells.size(), 2U);
    EXPECT_EQ(shells[0].pid, shell);
    EXPECT_EQ(shells[0].folder, std::filesystem::canonical(first).string());
    EXPECT_EQ(shells[0].window, std::optional<std::uint64_t>(4194307));
    EXPECT_EQ(shells[1].pid, bare);
    EXPECT_EQ(shells[1].folder, std::filesystem::canonical(second).string());
    EXPECT_FALSE(shells[1].window);

    // A shell whose folder was removed has no folder to give.
    endChild(bare);
    std::filesystem::remove(first);
    EXPECT_TRUE(shellsOfTerminal(::getpid()).empty());
    EXPECT_TRUE(shellsOfTerminal(-1).empty());
    for (pid_t pid : {shell, session, plain}) {
        endChild(pid);
    }
    for (int master : masters) {
        ::close(master);
    }
}

TEST(TerminalFoldersTest, TheShellInFrontIsToldByWindowThenByTitle) {
    const std::string home = "/home/ana";
    struct Case {
        const char* what;
        std::vector<TerminalShell> shells;
        const char* title;
        std::optional<std::uint64_t> window;
        std::optional<std::string> folder;
    };
    const TerminalShell docs{1, "/home/ana/docs", std::nullopt};
    const TerminalShell docsA{2, "/home/ana/docs/a", std::nullopt};
    const TerminalShell docs2{3, "/home/ana/docs2", std::nullopt};
    const TerminalShell homeShell{4, "/home/ana", std::nullopt};
    const TerminalShell srv{5, "/srv/x y", std::nullopt};
    const Case cases[] = {
        {"one shell, whatever the title", {docs}, "Terminal", std::nullopt, "/home/ana/docs"},
        {"tabs in one folder", {docs, {6, "/home/ana/docs", {}}}, "bash", {}, "/home/ana/docs"},
        {"under the home with ~", {docs, docsA}, "ana@host: ~/docs/a", {}, "/home/ana/docs/a"},
        {"the parent named", {docs, docsA}, "ana@host: ~/docs", {}, "/home/ana/docs"},
        {"not the start of a longer name",
         {docs, docs2},
         "shell in ~/docs2",
         {},
         "/home/ana/docs2"},
        {"the home itself", {homeShell, docs}, "ana@host: ~", {}, "/home/ana"},
        {"a full path with a space", {srv, docs}, "Terminal - /srv/x y", {}, "/srv/x y"},
        {"a path ending a sentence", {srv, docs}, "in ~/docs.", {}, "/home/ana/docs"},
        {"nothing tells", {docs, docsA}, "vim notes.txt", {}, std::nullopt},
        {"no shell", {}, "~/docs", {}, std::nullopt},
        {"the front window's shells only",
         {{1, "/home/ana/docs", 10}, {2, "/home/ana/docs/a", 11}},
         "Terminal",
         11,
         "/home/ana/docs/a"},
        {"the title among the window's tabs",
         {{1, "/home/ana/docs", 10}, {2, "/home/ana/docs/a", 10}, {3, "/srv/x y", 11}},
         "Terminal - ~/docs",
         10,
         "/home/ana/docs"},
        {"a window named by none", {{1, "/home/ana/docs", 10}}, "~/docs", 12, std::nullopt},
        {"windows named but none in front known",
         {{1, "/home/ana/docs", 10}, {2, "/srv/x y", 11}},
         "/srv/x y",
         std::nullopt,
         "/srv/x y"},
    };
    for (const auto& each : cases) {
        EXPECT_EQ(frontShellFolder(each.shells, each.title, home, each.window), each.folder)
            << each.what;
    }
}

TEST(TerminalFoldersTest, ATerminalEmulatorIsKnownByItsEntrysCategories) {
    TemporaryFolder data;
    ScopedEnvironment environment;
    environment.set("XDG_DATA_HOME", data.path());
    environment.set("XDG_DATA_DIRS", data / "none");
    std::filesystem::create_directories(data / "applications");
    writeFile(data / "applications/term.desktop",
              "[Desktop Entry]\nType=Application\nName=Term\nExec=term\n"
              "Categories=GTK;System;TerminalEmulator;\n");
    writeFile(data / "applications/mail.desktop",
              "[Desktop Entry]\nType=Application\nName=Mail\nExec=mail\n"
              "Categories=Network;Email;TerminalEmulatorLike;\n");
    EXPECT_TRUE(isTerminalEmulator("term"));
    EXPECT_FALSE(isTerminalEmulator("mail"));
    EXPECT_FALSE(isTerminalEmulator("absent"));
}

}  // namespace
