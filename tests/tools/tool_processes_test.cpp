// The built tools as processes, on their real event loop: each waits for a process that ends
// by itself, then does its work within about a second, deleting its own bundle on the way.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "testing/processes.h"
#include "tests/tools/tool_test_support.h"

namespace {

using Clock = std::chrono::steady_clock;
using test_support::waitForExit;
using test_support::waitForExitOrKill;
using tools_test::itemExists;
using tools_test::treeAt;

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
                "TMPDIR=" + folder.path(), "PENDRA_LOG_TO_STDERR=1"};
    }

    pid_t startProgram(const std::string& path, const std::vector<std::string>& arguments) {
        return test_support::startProgram(path, arguments, environment(), folder / "tools.log");
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

    const pid_t awaited = test_support::startShortLivedChild(std::chrono::milliseconds(600));
    const pid_t toolPid = startProgram(tool + "/Contents/MacOS/PendraSandboxHelperRelaunchTool",
                                       {source, target, std::to_string(awaited), "ignored"});
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(waitForExit(toolPid, std::chrono::milliseconds(0)), std::nullopt);
    EXPECT_EQ(treeAt(target), oldTree);
    EXPECT_TRUE(itemExists(source));

    // The sleeper ends at 0.6 s; the tool's next check comes within a second of that.
    const auto status = waitForExit(toolPid, std::chrono::milliseconds(3000));
    waitForExitOrKill(awaited, std::chrono::seconds(5));
    if (!status) {
        waitForExitOrKill(toolPid, std::chrono::seconds(5));
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

TEST_F(ToolProcessesTest, TwoRelaunchToolsForOneTargetLeaveAWholeBundleFromOneSource) {
    const std::string target = folder / "Pendra Sandbox Helper/Helper.app";
    tools_test::makeBundle(target, "installed");
    std::vector<std::string> sources;
    std::vector<std::map<std::string, std::string>> trees;
    for (const std::string name : {"Erste", "Zweite"}) {
        const std::string source = folder / (name + "/Helper.app");
        tools_test::makeBundle(source, name);
        // Big enough that the two copies overlap.
        for (int part = 0; part < 8; ++part) {
            tools_test::writeFile(source + "/Contents/Resources/Teil " + std::to_string(part),
                                  std::string(1 << 20, static_cast<char>('a' + part)) + name);
        }
        sources.push_back(source);
        trees.push_back(treeAt(source));
    }
    // Ended but not reaped until the end: its id is not given to another process meanwhile.
    const pid_t awaited = test_support::startShortLivedChild(std::chrono::milliseconds(0));
    std::vector<pid_t> tools;
    for (const std::string& source : sources) {
        tools.push_back(startProgram(PENDRA_RELAUNCH_TOOL_EXECUTABLE,
                                     {source, target, std::to_string(awaited)}));
    }
    for (const pid_t tool : tools) {
        EXPECT_EQ(waitForExit(tool, std::chrono::seconds(20)), 0);
    }
    waitForExitOrKill(awaited, std::chrono::seconds(5));
    const auto installed = treeAt(target);
    EXPECT_TRUE(installed == trees[0] || installed == trees[1]);
    EXPECT_EQ(tools_test::namesIn(folder / "Pendra Sandbox Helper"),
              std::vector<std::string>{"Helper.app"});
    EXPECT_FALSE(itemExists(sources[0]));
    EXPECT_FALSE(itemExists(sources[1]));
}

TEST_F(ToolProcessesTest, MissingArgumentsOrAnIdThatIsNoPositiveNumberGiveTheUsageAndNoChange) {
    const std::string source = folder / "Downloads/Helper.app";
    const std::string target = folder / "Pendra Sandbox Helper/Helper.app";
    tools_test::makeBundle(source, "new");
    tools_test::makeBundle(target, "installed");
    const auto sourceTree = treeAt(source), targetTree = treeAt(target);
    // Each id but the first would name a process that is not running, were it read leniently.
    const std::vector<std::string> wrongIds = {"", "0", "-5", "12x", "99999999999", " 7"};
    std::vector<std::pair<std::string, std::vector<std::string>>> runs = {
        {PENDRA_RELAUNCH_TOOL_EXECUTABLE, {source, target}},
        {PENDRA_REMOVE_TOOL_EXECUTABLE, {target}}};
    for (const std::string& id : wrongIds) {
        runs.push_back({PENDRA_RELAUNCH_TOOL_EXECUTABLE, {source, target, id}});
        runs.push_back({PENDRA_REMOVE_TOOL_EXECUTABLE, {target, id}});
    }
    for (const auto& [tool, arguments] : runs) {
        std::filesystem::remove(folder / "tools.log");
        const pid_t toolPid = startProgram(tool, arguments);
        const auto status = waitForExit(toolPid, std::chrono::seconds(5));
        if (!status) {
            waitForExitOrKill(toolPid, std::chrono::seconds(5));
        }
        EXPECT_EQ(status, 1) << tool << " '" << arguments.back() << "'";
        EXPECT_THAT(tools_test::readFile(folder / "tools.log"),
                    ::testing::HasSubstr("Usage: " + tool))
            << arguments.back();
    }
    EXPECT_EQ(treeAt(source), sourceTree);
    EXPECT_EQ(treeAt(target), targetTree);
}

TEST_F(ToolProcessesTest, RemoveToolDeletesTheBundleItRunsFromAfterTheProcessEnds) {
    const std::string bundle =
        folder / "Application Support/Pendra Sandbox Helper/Pendra Hélper.app";
    const std::string executable = bundle + "/Contents/MacOS/PendraSandboxHelperRemoveTool";
    installExecutable(PENDRA_REMOVE_TOOL_EXECUTABLE, executable);
    writeInfo(bundle, "com.orvano.PendraMacSandboxHelper", "PendraMacSandboxHelper");

    const pid_t awaited = test_support::startShortLivedChild(std::chrono::milliseconds(600));
    const pid_t toolPid = startProgram(executable, {bundle, std::to_string(awaited)});
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(waitForExit(toolPid, std::chrono::milliseconds(0)), std::nullopt);
    EXPECT_TRUE(itemExists(executable));

    const auto status = waitForExit(toolPid, std::chrono::milliseconds(3000));
    waitForExitOrKill(awaited, std::chrono::seconds(5));
    if (!status) {
        waitForExitOrKill(toolPid, std::chrono::seconds(5));
    }
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(itemExists(bundle));
    EXPECT_TRUE(itemExists(folder / "Application Support/Pendra Sandbox Helper"));
}

TEST_F(ToolProcessesTest, RemoveToolRefusesTheHomeFolderAndWhatHoldsIt) {
    tools_test::writeFile(home + "/Wichtig.txt", "keep me");
    for (const std::string& path : {home + "/", home + "/.."}) {
        const pid_t toolPid = startProgram(PENDRA_REMOVE_TOOL_EXECUTABLE, {path, "1"});
        const auto status = waitForExit(toolPid, std::chrono::seconds(5));
        if (!status) {
            waitForExitOrKill(toolPid, std::chrono::seconds(5));
        }
        EXPECT_EQ(status, 1) << path;
    }
    EXPECT_EQ(tools_test::readFile(home + "/Wichtig.txt"), "keep me");
}

}  // namespace
