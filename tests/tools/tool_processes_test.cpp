// The built tools as processes, on their real event loop: each waits for a process that ends
// by itself, then does its work within about a second, deleting its own bundle on the way.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "tests/tools/tool_test_support.h"

namespace {

using Clock = std::chrono::steady_clock;
using tools_test::itemExists;
using tools_test::treeAt;

// A child that sleeps, then ends; it stays a zombie until reaped, which counts as ended.
pid_t startSleeper(int milliseconds) {
    const pid_t pid = fork();
    if (pid == 0) {
        usleep(static_cast<useconds_t>(milliseconds) * 1000);
        _exit(0);
    }
    return pid;
}

// Starts a program with arguments and an environment of its own.
pid_t startProgram(const std::string& path, const std::vector<std::string>& arguments,
                   const std::vector<std::string>& environment) {
    std::vector<std::string> argvStrings{path};
    argvStrings.insert(argvStrings.end(), arguments.begin(), arguments.end());
    const pid_t pid = fork();
    if (pid == 0) {
        std::vector<char*> argv, envp;
        for (auto& value : argvStrings) {
            argv.push_back(value.data());
        }
        argv.push_back(nullptr);
        std::vector<std::string> env = environment;
        for (auto& value : env) {
            envp.push_back(value.data());
        }
        envp.push_back(nullptr);
        execve(path.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    return pid;
}

// The exit status, or absent when the process is still running at the deadline.
std::optional<int> waitForExit(pid_t pid, std::chrono::milliseconds bound) {
    const auto deadline = Clock::now() + bound;
    while (Clock::now() < deadline) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return std::nullopt;
}

void reap(pid_t pid) {
    if (!waitForExit(pid, std::chrono::seconds(5))) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
}

void installExecutable(const std::string& from, const std::string& to) {
    std::filesystem::create_directories(std::filesystem::path(to).parent_path());
    std::filesystem::copy_file(from, to);
    std::filesystem::permissions(to, std::filesystem::perms::owner_all);
}

void writeInfo(const std::string& bundle, const std::string& identifier,
               const std::string& executable) {
    tools_test::writeFile(
        bundle + "/Contents/Info.plist",
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
        "<key>CFBundleIdentifier</key><string>" +
            identifier + "</string><key>CFBundleExecutable</key><string>" + executable +
            "</string><key>CFBundlePackageType</key><string>APPL</string>"
            "</dict></plist>\n");
}

class ToolProcessesTest : public ::testing::Test {
  protected:
    std::vector<std::string> environment() const {
        return {"PATH=/usr/bin:/bin", "HOME=" + home, "XDG_RUNTIME_DIR=" + runtime,
                "TMPDIR=" + folder.path()};
    }

    tools_test::TemporaryFolder folder;
    const std::string home = folder / "home ü";
    const std::string runtime = folder / "run";
    std::vector<pid_t> started;
};

TEST_F(ToolProcessesTest, RelaunchToolReplacesLaunchesAndDeletesItselfAfterTheProcessEnds) {
    const std::string tool = folder / "tmp/PendraSandboxHelperRelaunchTool.app";
    installExecutable(PENDRA_RELAUNCH_TOOL_EXECUTABLE,
                      tool + "/Contents/MacOS/PendraSandboxHelperRelaunchTool");
    writeInfo(tool, "com.orvano.PendraSandboxHelperRelaunchTool",
              "PendraSandboxHelperRelaunchTool");
    const std::string marker = folder / "launched";
    const std::string source = folder / "Neue Version ü/Pendra Hélper.app";
    const std::string target =
        folder / "Application Support/Pendra Sandbox Helper/Pendra Hélper.app";
    for (const auto& [bundle, mark] : {std::pair{source, "new"}, std::pair{target, "old"}}) {
        writeInfo(bundle, "com.orvano.PendraMacSandboxHelper", "Helper");
        tools_test::writeFile(
            bundle + "/Contents/MacOS/Helper",
            std::string("#!/bin/sh\necho \"") + mark + " $#\" > '" + marker + "'\n");
        std::filesystem::permissions(bundle + "/Contents/MacOS/Helper",
                                     std::filesystem::perms::owner_all);
    }
    const auto newTree = treeAt(source), oldTree = treeAt(target);

    const pid_t awaited = startSleeper(600);
    const pid_t toolPid =
        startProgram(tool + "/Contents/MacOS/PendraSandboxHelperRelaunchTool",
                     {source, target, std::to_string(awaited), "ignored"}, environment());
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(waitForExit(toolPid, std::chrono::milliseconds(0)), std::nullopt);
    EXPECT_EQ(treeAt(target), oldTree);
    EXPECT_TRUE(itemExists(source));

    // The sleeper ends at 0.6 s; the tool's next check comes within a second of that.
    const auto status = waitForExit(toolPid, std::chrono::milliseconds(3000));
    reap(awaited);
    if (!status) {
        reap(toolPid);
    }
    EXPECT_EQ(status, 0);
    EXPECT_EQ(treeAt(target), newTree);
    EXPECT_FALSE(itemExists(source));
    EXPECT_FALSE(itemExists(tool));

    // The new bundle was launched, without arguments.
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (!itemExists(marker) && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(tools_test::readFile(marker), "new 0\n");
}

TEST_F(ToolProcessesTest, RelaunchToolWithTooFewArgumentsEndsWithOne) {
    const pid_t toolPid = startProgram(PENDRA_RELAUNCH_TOOL_EXECUTABLE,
                                       {folder / "a.app", folder / "b.app"}, environment());
    EXPECT_EQ(waitForExit(toolPid, std::chrono::seconds(5)), 1);
}

TEST_F(ToolProcessesTest, RemoveToolDeletesTheBundleItRunsFromAfterTheProcessEnds) {
    const std::string bundle =
        folder / "Application Support/Pendra Sandbox Helper/Pendra Hélper.app";
    const std::string executable = bundle + "/Contents/MacOS/PendraSandboxHelperRemoveTool";
    installExecutable(PENDRA_REMOVE_TOOL_EXECUTABLE, executable);
    writeInfo(bundle, "com.orvano.PendraMacSandboxHelper", "PendraMacSandboxHelper");

    const pid_t awaited = startSleeper(600);
    const pid_t toolPid =
        startProgram(executable, {bundle, std::to_string(awaited)}, environment());
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(waitForExit(toolPid, std::chrono::milliseconds(0)), std::nullopt);
    EXPECT_TRUE(itemExists(executable));

    const auto status = waitForExit(toolPid, std::chrono::milliseconds(3000));
    reap(awaited);
    if (!status) {
        reap(toolPid);
    }
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(itemExists(bundle));
    EXPECT_TRUE(itemExists(folder / "Application Support/Pendra Sandbox Helper"));
}

TEST_F(ToolProcessesTest, RemoveToolRefusesTheHomeFolder) {
    tools_test::writeFile(home + "/Wichtig.txt", "keep me");
    const pid_t toolPid =
        startProgram(PENDRA_REMOVE_TOOL_EXECUTABLE, {home + "/", "1"}, environment());
    EXPECT_EQ(waitForExit(toolPid, std::chrono::seconds(5)), 1);
    EXPECT_EQ(tools_test::readFile(home + "/Wichtig.txt"), "keep me");
}

}  // namespace
