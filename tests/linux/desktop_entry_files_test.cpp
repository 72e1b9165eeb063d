// Desktop entries are read only from regular files of at most 1 MiB, and linked folders among
// the applications folders are walked once each: a FIFO, a link to a device or a folder cycle
// named like an entry costs a log line, never a hang or unbounded memory.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <sstream>

#include <gtest/gtest.h>

#include "linux/test_support.h"
#include "linux_desktop_entries.h"
#include "linux_desktop_entry_files.h"
#include "linux_login_items.h"

namespace {

namespace fs = std::filesystem;
using linux_test::readFile;
using linux_test::ScopedEnvironment;
using linux_test::TemporaryFolder;
using linux_test::writeFile;
using namespace platform::linux_platform;
using namespace std::chrono_literals;

std::string entryText(const std::string& name) {
    return "[Desktop Entry]\nType=Application\nName=" + name + "\nExec=/bin/true\n";
}

// Entries that are not regular files, and one regular file too large, all named like entries.
void addHostileEntries(const std::string& folder) {
    ASSERT_EQ(::mkfifo((folder + "/fifo.desktop").c_str(), 0600), 0);
    fs::create_symlink("/dev/zero", folder + "/zero.desktop");
    std::string large = entryText("Large");
    large.resize(kMaximumDesktopEntryBytes + 1, '#');
    writeFile(folder + "/large.desktop", large);
    fs::create_directory(folder + "/folder.desktop");
}

// Runs `work` in a child process, bounded: a reader that blocks or grows without end fails the
// test instead of holding it. The child's exit status is 0 once `work` has returned.
bool finishesInAChild(const std::function<void()>& work) {
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        work();
        ::_exit(0);
    }
    return linux_test::waitForExitOrKill(child, 120s) == 0;
}

TEST(DesktopEntryFileTest, OnlyARegularFileOfAtMostOneMebibyteIsRead) {
    TemporaryFolder folder;
    addHostileEntries(folder.path());
    std::string limit = entryText("Limit");
    limit.resize(kMaximumDesktopEntryBytes, '#');
    writeFile(folder / "limit.desktop", limit);
    writeFile(folder / "plain.desktop", entryText("Plain"));
    fs::create_symlink(folder / "plain.desktop", folder / "link.desktop");

    const struct {
        const char* name;
        bool read;
        const char* reason;
    } cases[] = {
        {"plain.desktop", true, ""},
        {"limit.desktop", true, ""},
        {"large.desktop", false, "it holds 1048577 bytes, more than the 1048576 an entry may"},
        {"link.desktop", false, "it is a link"},
        {"zero.desktop", false, "it is a link"},
        {"fifo.desktop", false, "it is a FIFO"},
        {"folder.desktop", false, "it is a folder"},
        {"missing.desktop", false, "No such file or directory"},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.name);
        std::string why;
        std::optional<std::string> text;
        ASSERT_TRUE(finishesInAChild([&] { readDesktopEntryFile(folder / each.name, &why); }));
        text = readDesktopEntryFile(folder / each.name, &why);
        EXPECT_EQ(text.has_value(), each.read);
        if (each.read) {
            EXPECT_EQ(*text, readFile(folder / each.name));
        } else {
            EXPECT_EQ(why, each.reason);
        }
    }
}

std::vector<std::string> idsOf(const DesktopEntryIndex& index) {
    std::vector<std::string> ids;
    for (const auto& entry : index.entries()) {
        ids.push_back(entry.id);
    }
    std::sort(ids.begin(), ids.end());
    return ids;
}

TEST(DesktopEntryFileTest, ApplicationsFoldersLeaveOutWhatIsNoFileAndWalkEachFolderOnce) {
    TemporaryFolder data;
    const std::string applications = data / "applications";
    fs::create_directories(applications + "/vendor");
    writeFile(applications + "/good.desktop", entryText("Good"));
    writeFile(applications + "/vendor/browser.desktop", entryText("Browser"));
    addHostileEntries(applications);
    // 450 links to the folder above, each a way back into this one: read once, not 450^2 times.
    for (int i = 0; i < 450; ++i) {
        fs::create_directory_symlink("..", applications + "/up" + std::to_string(i));
    }
    // A linked folder is walked like one of its own.
    TemporaryFolder elsewhere;
    writeFile(elsewhere / "editor.desktop", entryText("Editor"));
    fs::create_directory_symlink(elsewhere.path(), applications + "/linked");

    const std::string idsFile = data / "ids";
    ASSERT_TRUE(finishesInAChild([&] {
        std::ostringstream ids;
        for (const auto& id : idsOf(DesktopEntryIndex::read({applications}))) {
            ids << id << "\n";
        }
        writeFile(idsFile, ids.str());
    }));
    EXPECT_EQ(readFile(idsFile), "good\nlinked-editor\nvendor-browser\n");
}

TEST(DesktopEntryFileTest, AnApplicationsFolderMadeAfterAReadIsReadOnTheNextQuestion) {
    TemporaryFolder data;
    ScopedEnvironment environment;
    environment.set("XDG_DATA_HOME", data.path());
    environment.set("XDG_DATA_DIRS", data / "none");
    EXPECT_EQ(DesktopEntryIndex::current()->entryWithId("late"), nullptr);
    fs::create_directories(data / "applications");
    writeFile(data / "applications/late.desktop", entryText("Late"));
    const auto index = DesktopEntryIndex::current();
    const ApplicationEntry* late = index->entryWithId("late");
    ASSERT_NE(late, nullptr);
    EXPECT_EQ(late->name, "Late");
}

TEST(DesktopEntryFileTest, AutostartEntriesThatAreNoFilesAreLeftOut) {
    TemporaryFolder config;
    ScopedEnvironment environment;
    environment.set("XDG_CONFIG_HOME", config.path());
    const std::string autostart = config / "autostart";
    fs::create_directories(autostart);
    writeFile(autostart + "/good.desktop", entryText("Good"));
    addHostileEntries(autostart);

    LinuxLaunchServices services;
    const auto list = services.LSSharedFileListCreate(platform::kLSSharedFileListSessionLoginItems);
    ASSERT_TRUE(list);
    const std::string namesFile = config / "names";
    ASSERT_TRUE(finishesInAChild([&] {
        std::string names;
        for (const auto& item : services.LSSharedFileListCopySnapshot(list)) {
            names += item.displayName + "\n";
        }
        writeFile(namesFile, names);
    }));
    EXPECT_EQ(readFile(namesFile), "Good\n");
}

}  // namespace
