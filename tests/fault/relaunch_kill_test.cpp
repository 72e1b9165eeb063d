// The relaunch tool as a process killed with SIGKILL at random moments of a replacement: the
// installed bundle is whole every time, old or new (or, where the file system exchanges in
// three renames, set aside whole for the next start to put back), and the next update
// completes. Half of the replacements go through the three-rename exchange.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tools/tool_test_support.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using Tree = std::map<std::string, std::string>;
using tools_test::readFile;
using tools_test::treeAt;

constexpr int kTrials = 100;
constexpr int kParallel = 20;
constexpr int kFiles = 24;
constexpr std::size_t kFileSize = 512 * 1024;  // 12 MB a bundle

// A bundle of the helper, big enough that copying it takes a while; every byte tells its
// version.
void makeBigBundle(const std::string& path, const std::string& version) {
    tools_test::makeBundle(path, version);
    for (int index = 0; index < kFiles; ++index) {
        std::string content(kFileSize, static_cast<char>('a' + index % 26));
        content.replace(0, version.size(), version);
        tools_test::writeFile(path + "/Contents/Resources/Part " + std::to_string(index) + ".bin",
                              content);
    }
}

// A copy made of hard links: cheap, and the tool never writes into files it did not create.
void linkCopy(const std::string& from, const std::string& to) {
    fs::create_directories(to);
    for (const auto& entry : fs::recursive_directory_iterator(from)) {
        const fs::path copy = fs::path(to) / entry.path().lexically_relative(from);
        if (entry.is_directory()) {
            fs::create_directories(copy);
        } else {
            fs::create_hard_link(entry.path(), copy);
        }
    }
}

pid_t startTool(const std::string& source, const std::string& target, pid_t awaited,
                bool threeRenames, const std::string& logFile) {
    const std::string program = PENDRA_RELAUNCH_TOOL_EXECUTABLE;
    std::vector<std::string> argvText{program, source, target, std::to_string(awaited)};
    std::vector<std::string> envText{"PATH=/usr/bin:/bin", "HOME=/nonexistent"};
    if (threeRenames) {
        envText.push_back("PENDRA_FILE_MANAGER_NO_RENAME_FLAGS=1");
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        std::vector<char*> argv, envp;
        for (auto& value : argvText) {
            argv.push_back(value.data());
        }
        argv.push_back(nullptr);
        for (auto& value : envText) {
            envp.push_back(value.data());
        }
        envp.push_back(nullptr);
        const int out = ::open(logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        ::dup2(out, 1);
        ::dup2(out, 2);
        ::execve(program.c_str(), argv.data(), envp.data());
        ::_exit(127);
    }
    return pid;
}

std::optional<int> waitForExit(pid_t pid, std::chrono::milliseconds bound) {
    const auto deadline = Clock::now() + bound;
    while (true) {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (Clock::now() >= deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
            return std::nullopt;
        }
        std::this_thread::sleep_for(5ms);
    }
}

class RelaunchKillTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "pendra-kill-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        root = pattern;
        makeBigBundle(root + "/templates/old/Helper.app", "old");
        makeBigBundle(root + "/templates/new/Helper.app", "new");
        oldTree = treeAt(root + "/templates/old/Helper.app");
        newTree = treeAt(root + "/templates/new/Helper.app");
        // Ended and never reaped: the id stays taken, and the tool finds the process gone.
        awaited = ::fork();
        if (awaited == 0) {
            ::_exit(0);
        }
    }
    void TearDown() override {
        ::waitpid(awaited, nullptr, 0);
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }

    std::string root;
    Tree oldTree, newTree;
    pid_t awaited = -1;
};

struct Slot {
    std::string folder, source, target;
    bool threeRenames = false;
    pid_t tool = -1;
    Clock::time_point killAt;
};

TEST_F(RelaunchKillTest, KilledAtAnyMomentTheInstalledBundleStaysWholeAndTheNextUpdateCompletes) {
    // How long a whole replacement takes here, from the tool's start.
    const std::string probeSource = root + "/probe/src/Helper.app";
    const std::string probeTarget = root + "/probe/install/Helper.app";
    linkCopy(root + "/templates/old/Helper.app", probeTarget);
    linkCopy(root + "/templates/new/Helper.app", probeSource);
    const auto probeStart = Clock::now();
    ASSERT_EQ(
        waitForExit(startTool(probeSource, probeTarget, awaited, false, root + "/probe.log"), 30s),
        0)
        << readFile(root + "/probe.log");
    const auto whole = Clock::now() - probeStart;

    std::mt19937 random(20261208);
    int survived = 0, setAside = 0, tried = 0;
    for (int batch = 0; batch < kTrials / kParallel; ++batch) {
        std::vector<Slot> slots(kParallel);
        for (int index = 0; index < kParallel; ++index) {
            Slot& slot = slots[index];
            slot.folder = root + "/trial " + std::to_string(batch * kParallel + index);
            slot.source = slot.folder + "/Downloads/Helper.app";
            slot.target = slot.folder + "/Pendra Sandbox Helper/Helper.app";
            slot.threeRenames = index % 2 == 1;
            linkCopy(root + "/templates/old/Helper.app", slot.target);
            linkCopy(root + "/templates/new/Helper.app", slot.source);
        }
        // Somewhere from just before the first check to the end of a whole replacement; the
        // parallel tools make each one slower than the probe, so later moments are covered too.
        std::uniform_int_distribution<long> moment(
            900, std::chrono::duration_cast<std::chrono::milliseconds>(whole).count() * 2);
        const auto start = Clock::now();
        for (Slot& slot : slots) {
            slot.tool = startTool(slot.source, slot.target, awaited, slot.threeRenames,
                                  slot.folder + "/tool.log");
            slot.killAt = start + std::chrono::milliseconds(moment(random));
        }
        for (Slot& slot : slots) {
            std::this_thread::sleep_until(slot.killAt);
            ::kill(slot.tool, SIGKILL);
        }
        for (Slot& slot : slots) {
            ::waitpid(slot.tool, nullptr, 0);
            ++tried;
            const Tree installed = treeAt(slot.target);
            const std::string aside = slot.folder + "/Pendra Sandbox Helper/.Helper.app.exchange";
            if (installed == oldTree || installed == newTree) {
                ++survived;
            } else if (installed.empty() && treeAt(aside) == oldTree) {
                ++setAside;  // the next start puts it back
            } else {
                ADD_FAILURE() << slot.target << " is neither bundle after the kill";
            }
        }
        // The next update: from the source where the kill left it whole, else from a new one.
        for (Slot& slot : slots) {
            if (!fs::exists(fs::symlink_status(slot.source))) {
                linkCopy(root + "/templates/new/Helper.app", slot.source);
            }
            slot.tool = startTool(slot.source, slot.target, awaited, slot.threeRenames,
                                  slot.folder + "/tool.log");
        }
        for (Slot& slot : slots) {
            EXPECT_EQ(waitForExit(slot.tool, 30s), 0) << readFile(slot.folder + "/tool.log");
            EXPECT_TRUE(treeAt(slot.target) == newTree) << slot.target;
            EXPECT_EQ(tools_test::namesIn(slot.folder + "/Pendra Sandbox Helper"),
                      std::vector<std::string>{"Helper.app"})
                << slot.folder;
            fs::remove_all(slot.folder);
        }
    }
    std::cout << "kills survived: " << survived + setAside << " / " << tried << " (" << setAside
              << " with the installed bundle set aside whole and put back at the next start)\n";
    RecordProperty("kills_tried", tried);
    RecordProperty("kills_survived", survived + setAside);
    EXPECT_EQ(survived + setAside, tried);
}

}  // namespace
