#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

#include "platform/fake/fake_processes.h"

namespace platform::fake {
namespace {

TEST(FakeProcessManager, ReportsOnlyUnknownPositivePidsAsGone) {
    FakeProcessManager processes;
    processes.existing = {300};
    ProcessSerialNumber psn;

    EXPECT_EQ(processes.GetProcessForPID(300, &psn), noErr);
    EXPECT_EQ(psn, (ProcessSerialNumber{0, 300}));
    EXPECT_EQ(processes.GetProcessForPID(4242, nullptr), noErr);
    EXPECT_EQ(processes.GetProcessForPID(301, &psn), procNotFound);
    EXPECT_NE(processes.GetProcessForPID(0, &psn), procNotFound);
    EXPECT_NE(processes.GetProcessForPID(-1, &psn), procNotFound);

    processes.existing.erase(300);
    EXPECT_EQ(processes.GetProcessForPID(300, nullptr), procNotFound);
    processes.statuses[300] = paramErr;
    EXPECT_EQ(processes.GetProcessForPID(300, nullptr), paramErr);
    EXPECT_EQ(processes.lookups, (std::vector<pid_t>{300, 4242, 301, 0, -1, 300, 300}));

    pid_t pid = 0;
    EXPECT_EQ(processes.GetProcessPID({0, 512}, &pid), noErr);
    EXPECT_EQ(pid, 512);
    EXPECT_EQ(processes.GetProcessPID({1, 512}, &pid), procNotFound);
}

TEST(FakeProcessManager, TerminateRecordsTheStatusAndThrows) {
    FakeProcessManager processes;
    try {
        processes.terminateProcess(3);
        FAIL() << "terminateProcess returned";
    } catch (const ProcessExit& exit) {
        EXPECT_EQ(exit.status, 3);
    }
    EXPECT_EQ(processes.exitStatus, 3);
}

TEST(FakeProcessInfo, ComparesVersionsPartByPart) {
    FakeProcessInfo info;
    info.version = {10, 15, 7};
    EXPECT_TRUE(info.isOperatingSystemAtLeastVersion({10, 15, 7}));
    EXPECT_TRUE(info.isOperatingSystemAtLeastVersion({10, 13, 0}));
    EXPECT_TRUE(info.isOperatingSystemAtLeastVersion({9, 99, 99}));
    EXPECT_FALSE(info.isOperatingSystemAtLeastVersion({10, 16, 0}));
    EXPECT_FALSE(info.isOperatingSystemAtLeastVersion({11, 0, 0}));
    EXPECT_EQ(info.queries.size(), 5u);
    EXPECT_EQ(info.queries.back().majorVersion, 11);
}

TEST(FakeProcessInfo, SysctlReportsTheSizeThenFillsTheBuffer) {
    FakeProcessInfo info;
    info.setSysctlString("hw.machine", "arm64");

    std::size_t size = 0;
    ASSERT_EQ(info.sysctlbyname("hw.machine", nullptr, &size), 0);
    EXPECT_EQ(size, 6u);
    char buffer[16] = {};
    ASSERT_EQ(info.sysctlbyname("hw.machine", buffer, &size), 0);
    EXPECT_STREQ(buffer, "arm64");

    // A buffer that is too small gets what fits and a failure.
    char small[3] = {};
    size = sizeof small;
    EXPECT_EQ(info.sysctlbyname("hw.machine", small, &size), -1);
    EXPECT_EQ(std::memcmp(small, "arm", 3), 0);

    EXPECT_EQ(info.sysctlbyname("hw.model", nullptr, &size), -1);
    info.reportedSize = 0;
    ASSERT_EQ(info.sysctlbyname("hw.machine", nullptr, &size), 0);
    EXPECT_EQ(size, 0u);
    info.failFill = true;
    size = sizeof buffer;
    EXPECT_EQ(info.sysctlbyname("hw.machine", buffer, &size), -1);
    info.failSizeQuery = true;
    EXPECT_EQ(info.sysctlbyname("hw.machine", nullptr, &size), -1);
}

TEST(FakeTasks, LaunchesGetDistinctPidsUnlessLaunchingFails) {
    FakeTasks tasks;
    auto first = tasks.launchedTaskWithLaunchPath("/bin/tool", {"a", "b"});
    auto second = tasks.launchedTaskWithLaunchPath("/bin/tool", {});
    ASSERT_TRUE(first && second);
    EXPECT_NE(first->processIdentifier, second->processIdentifier);
    tasks.failLaunch = true;
    EXPECT_FALSE(tasks.launchedTaskWithLaunchPath("/bin/other", {}));
    EXPECT_EQ(tasks.launched.size(), 3u);
    EXPECT_EQ(tasks.launched[0], (FakeTasks::Launched{"/bin/tool", {"a", "b"}}));

    tasks.exitStatus = 9;
    EXPECT_EQ(tasks.waitUntilExit(*second), 9);
    EXPECT_EQ(tasks.waitedFor, std::vector<pid_t>{second->processIdentifier});
}

}  // namespace
}  // namespace platform::fake
