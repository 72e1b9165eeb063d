// The test-support library itself, where a fault would pass unseen into every test that uses
// it: a program starts with exactly the arguments, environment and output it is given, with no
// signal blocked whatever this process blocks; a private bus lives exactly as long as its
// object; a temporary folder goes with everything in it, modes and all.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>

#include "testing/files.h"
#include "testing/private_bus.h"
#include "testing/processes.h"

namespace {

using namespace std::chrono_literals;
using test_support::itemExists;
using test_support::readFile;
using test_support::startProgram;
using test_support::TemporaryFolder;
using test_support::waitForExitOrKill;
using test_support::writeFile;

TEST(StartProgramTest, TheProgramGetsExactlyItsArgumentsEnvironmentAndOutputFiles) {
    TemporaryFolder folder;
    writeFile(folder / "out", "left from before\n");
    test_support::StartOptions options;
    options.output = folder / "out";
    options.errors = folder / "err";
    options.truncate = true;
    // Found on the PATH the environment names; HOME, set in this process, is not passed on.
    const pid_t pid = startProgram(
        "sh",
        {"-c", "printf '%s|%s|%s\\n' \"$1\" \"$GREETING\" \"${HOME-unset}\"; echo oops >&2; exit 3",
         "sh", "two words"},
        {"PATH=/usr/bin:/bin", "GREETING=grüße"}, options);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(waitForExitOrKill(pid, 10s), 3);
    EXPECT_EQ(readFile(folder / "out"), "two words|grüße|unset\n");
    EXPECT_EQ(readFile(folder / "err"), "oops\n");

    const pid_t missing = startProgram("pendra-no-such-program", {}, {"PATH=/usr/bin:/bin"});
    EXPECT_EQ(waitForExitOrKill(missing, 10s), 127);
}

TEST(StartProgramTest, AProgramEndsOnSIGTERMEvenWhereThisProcessBlocksIt) {
    // A loop of this process blocks the quit signal to read it itself.
    sigset_t terminate, previous;
    sigemptyset(&terminate);
    sigaddset(&terminate, SIGTERM);
    ASSERT_EQ(::sigprocmask(SIG_BLOCK, &terminate, &previous), 0);
    test_support::StartOptions options;
    options.ownProcessGroup = true;
    const pid_t pid = startProgram("/bin/sleep", {"30"}, {}, options);
    ::sigprocmask(SIG_SETMASK, &previous, nullptr);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(::getpgid(pid), pid);
    ::kill(pid, SIGTERM);
    EXPECT_EQ(waitForExitOrKill(pid, 10s), 128 + SIGTERM);
}

TEST(PrivateBusTest, TheDaemonListensInItsOwnFolderAndEndsWithTheObject) {
    pid_t daemon = -1;
    std::string socket;
    {
        test_support::PrivateBus bus;
        if (!bus.started()) {
            GTEST_SKIP() << bus.error();
        }
        daemon = bus.daemon();
        const std::string& address = bus.address();
        ASSERT_TRUE(address.starts_with("unix:path=")) << address;
        socket = address.substr(10, address.find(',') - 10);
        EXPECT_TRUE(itemExists(socket)) << socket;
        EXPECT_FALSE(test_support::processGone(daemon));
    }
    EXPECT_TRUE(test_support::processGone(daemon));
    EXPECT_FALSE(itemExists(std::filesystem::path(socket).parent_path()));
}

TEST(TemporaryFolderTest, GoesWithEverythingInItAndItsTreeShowsEachKindOfItem) {
    std::string path;
    {
        TemporaryFolder folder("pendra tëst ");
        path = folder.path();
        writeFile(folder / "Sub/Inner/note.txt", "abc");
        std::filesystem::create_symlink("Sub/Inner/note.txt", folder / "link");
        EXPECT_EQ(test_support::treeAt(folder.path()),
                  (std::map<std::string, std::string>{{"Sub", "<folder>"},
                                                      {"Sub/Inner", "<folder>"},
                                                      {"Sub/Inner/note.txt", "abc"},
                                                      {"link", "-> Sub/Inner/note.txt"}}));
        EXPECT_EQ(test_support::treeAt(folder / "Sub", test_support::FileContent::Digest)
                      .at("Inner/note.txt")
                      .substr(0, 16),
                  "3 bytes, digest ");
        // A folder a test made read-only, and one it made unreadable, go all the same.
        ::chmod((folder / "Sub/Inner").c_str(), 0500);
        ::chmod((folder / "Sub").c_str(), 0);
    }
    EXPECT_FALSE(itemExists(path));
    EXPECT_TRUE(test_support::treeAt(path).empty());
}

}  // namespace
