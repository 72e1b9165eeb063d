#include <gtest/gtest.h>
#include <unistd.h>

#include "linux_scripting.h"
#include "platform/linux_platform.h"
#include "test_support.h"

namespace {

using linux_test::readFile;
using linux_test::ScopedEnvironment;
using linux_test::TemporaryFolder;

TEST(LinuxScriptingTest, ScriptsAreCompiledWhenTheyFirstRun) {
    platform::linux_platform::LinuxScriptingComponent scripting;
    auto script = scripting.makeAppleScriptWithSource("tell application \"Safari\" to get URL of");
    ASSERT_TRUE(script);
    EXPECT_EQ(script->source(), "tell application \"Safari\" to get URL of");

    platform::ScriptErrorInfo info;
    EXPECT_FALSE(script->executeAndReturnError(&info));
    ASSERT_TRUE(info.count(platform::NSAppleScriptErrorNumber));
    EXPECT_EQ(info[platform::NSAppleScriptErrorNumber].integerValue(), -2741);
    ASSERT_TRUE(info[platform::NSAppleScriptErrorMessage].stringValue());
    EXPECT_TRUE(info.count(platform::NSAppleScriptErrorRange));

    platform::ScriptErrorInfo eventInfo;
    auto handlers = scripting.makeAppleScriptWithSource("on run_me()\n  return 1\nend run_me");
    auto event = platform::AppleEventDescriptor::appleEventWithEventClass(
        platform::kASAppleScriptSuite, platform::kASSubroutineEvent,
        platform::AppleEventDescriptor::nullDescriptor(), platform::kAutoGenerateReturnID,
        platform::kAnyTransactionID);
    EXPECT_FALSE(handlers->executeAppleEvent(event, &eventInfo));
    EXPECT_EQ(eventInfo[platform::NSAppleScriptErrorNumber].integerValue(), -1708);
    EXPECT_FALSE(script->executeAndReturnError(nullptr));

    // A script that compiles runs in the language library.
    auto list = scripting.makeAppleScriptWithSource("return {\"a\", 2}");
    platform::ScriptErrorInfo listInfo;
    const auto result = list->executeAndReturnError(&listInfo);
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->description(), "['utxt'(\"a\"), 'long'(2)]");
}

// Captures what the process writes to standard error for the object's lifetime.
class CapturedStandardError {
  public:
    explicit CapturedStandardError(std::string path) : path_(std::move(path)) {
        saved_ = ::dup(2);
        int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(fd, 2);
        ::close(fd);
    }
    ~CapturedStandardError() {
        ::dup2(saved_, 2);
        ::close(saved_);
    }
    std::string text() const { return readFile(path_); }

  private:
    std::string path_;
    int saved_ = -1;
};

TEST(LinuxPlatformTest, InstallsEveryServiceAndRunsWithoutASessionBus) {
    TemporaryFolder folder;
    ScopedEnvironment environment;
    environment.set("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + (folder / "no-bus"));
    environment.set("XDG_RUNTIME_DIR", folder.path());
    environment.set("PENDRA_LOG_TO_STDERR", "1");

    CapturedStandardError captured(folder / "stderr");
    platform::linux_platform::LinuxPlatform linuxPlatform;
    const platform::Services& services = linuxPlatform.services();
    const void* all[] = {services.application,
                         services.workspace,
                         services.distributedNotificationCenter,
                         services.appleEventManager,
                         services.scripting,
                         services.bundles,
                         services.standardUserDefaults,
                         services.fileManager,
                         services.processManager,
                         services.tasks,
                         services.processInfo,
                         services.launchServices,
                         services.paths,
                         services.log};
    for (const void* service : all) {
        EXPECT_NE(service, nullptr);
    }
    platform::ScopedInstall installed(services);

    // This program lies outside any bundle: no identifier, so no defaults and no bus name.
    EXPECT_FALSE(platform::mainBundle()->bundleIdentifier());
    EXPECT_FALSE(platform::standardUserDefaults().boolForKey("ExperimentalIntegrationsEnabled"));

    int handled = 0;
    platform::appleEventManager().setEventHandler(
        platform::kInternetEventClass, platform::kAEGetURL,
        [&](const platform::AppleEventDescriptor&, platform::AppleEventDescriptor&) { ++handled; });
    auto event = platform::AppleEventDescriptor::appleEventWithEventClass(
        platform::kInternetEventClass, platform::kAEGetURL,
        platform::AppleEventDescriptor::descriptorWithApplicationBundleIdentifier(
            "com.orvano.PendraMac"),
        platform::kAutoGenerateReturnID, platform::kAnyTransactionID);
    EXPECT_EQ(
        platform::appleEventManager().AESendMessage(event, nullptr, platform::kAEWaitReply, 0),
        platform::procNotFound);
    platform::distributedNotificationCenter().postNotificationName(
        "PendraMacSandboxHelperDidLaunchNotification", std::nullopt);
    EXPECT_EQ(handled, 0);

    const std::string text = captured.text();
    EXPECT_NE(text.find("No session bus"), std::string::npos) << text;
    EXPECT_NE(text.find("Not posting PendraMacSandboxHelperDidLaunchNotification"),
              std::string::npos)
        << text;
}

}  // namespace
