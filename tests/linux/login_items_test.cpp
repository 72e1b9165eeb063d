#include <gtest/gtest.h>

#include "linux_login_items.h"
#include "test_support.h"

namespace {

using linux_test::makeBundle;
using linux_test::readFile;
using linux_test::ScopedEnvironment;
using linux_test::TemporaryFolder;
using linux_test::writeFile;
using platform::URL;
using platform::linux_platform::escapeDesktopString;
using platform::linux_platform::LinuxLaunchServices;
using platform::linux_platform::parseDesktopEntry;
using platform::linux_platform::quoteExecArgument;
using platform::linux_platform::splitExecLine;

TEST(DesktopEntryTest, ExecArgumentsAreQuotedWhereTheFormatRequires) {
    EXPECT_EQ(quoteExecArgument("/usr/bin/app"), "/usr/bin/app");
    EXPECT_EQ(quoteExecArgument("/a b/c"), "\"/a b/c\"");
    EXPECT_EQ(quoteExecArgument("/a$b`c\"d\\e"), "\"/a\\$b\\`c\\\"d\\\\e\"");
    EXPECT_EQ(quoteExecArgument("/100%/x"), "/100%%/x");
    EXPECT_EQ(quoteExecArgument("/it's"), "\"/it's\"");
    EXPECT_EQ(escapeDesktopString(" lead\\back\nline"), "\\slead\\\\back\\nline");
}

TEST(DesktopEntryTest, QuotedPathsReadBackAsTheyWere) {
    for (const std::string path :
         {"/plain/App", "/with space/Pendra Sandbox Helper.app/Contents/MacOS/App",
          "/odd $HOME `x` \"q\" back\\slash 100% ~ & ; * ? # ( ) < > |/App",
          "/caf\xc3\xa9/\xe2\x9c\x93"}) {
        const std::string line =
            "[Desktop Entry]\nExec=" + escapeDesktopString(quoteExecArgument(path)) + " %U\n";
        auto entry = parseDesktopEntry(line);
        ASSERT_TRUE(entry);
        EXPECT_EQ(splitExecLine(entry->at("Exec")), std::vector<std::string>{path}) << line;
    }
    EXPECT_EQ(splitExecLine("app --flag \"two words\" %f 50%%"),
              (std::vector<std::string>{"app", "--flag", "two words", "50%"}));
    EXPECT_FALSE(parseDesktopEntry("Exec=app\n"));
    auto other = parseDesktopEntry("[Other]\nName=no\n[Desktop Entry]\nName = yes\n");
    ASSERT_TRUE(other);
    EXPECT_EQ(other->at("Name"), "yes");
}

class LoginItemsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        environment.set("XDG_CONFIG_HOME", config.path());
        list = services.LSSharedFileListCreate(platform::kLSSharedFileListSessionLoginItems);
        ASSERT_TRUE(list);
    }
    std::string autostart() const { return config / "autostart"; }
    std::vector<std::string> desktopFiles() const {
        std::vector<std::string> names;
        if (!std::filesystem::exists(autostart())) {
            return names;
        }
        for (const auto& entry : std::filesystem::directory_iterator(autostart())) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    std::vector<std::string> names() {
        std::vector<std::string> result;
        for (const auto& item : services.LSSharedFileListCopySnapshot(list)) {
            result.push_back(item.displayName);
        }
        return result;
    }
    std::optional<URL> resolve(const platform::LSSharedFileListItem& item,
                               platform::OSStatus* status = nullptr) {
        std::optional<URL> url;
        platform::OSStatus result = services.LSSharedFileListItemResolve(list, item, 0, &url);
        if (status != nullptr) {
            *status = result;
        }
        return url;
    }

    ScopedEnvironment environment;
    TemporaryFolder config;
    TemporaryFolder applications;
    LinuxLaunchServices services;
    platform::LSSharedFileListRef list;
};

TEST_F(LoginItemsTest, AnInsertedItemIsAValidAutostartEntryThatResolvesToItsBundle) {
    EXPECT_TRUE(services.LSSharedFileListCopySnapshot(list).empty());
    const std::string bundle =
        makeBundle(applications / "Pendra Sandbox Helper $100% \"q\"", "PendraMacSandboxHelper",
                   {{"CFBundleIdentifier", "com.orvano.PendraMacSandboxHelper"}});
    auto item = services.LSSharedFileListInsertItemURL(list, platform::kLSSharedFileListItemLast,
                                                       "PendraMacSandboxHelper",
                                                       URL::fileURLWithPath(bundle));
    ASSERT_TRUE(item);
    EXPECT_EQ(item->displayName, "PendraMacSandboxHelper");
    ASSERT_EQ(desktopFiles().size(), 1u);  // written in one piece, no leftovers
    const std::string file = autostart() + "/" + desktopFiles()[0];

    auto entry = parseDesktopEntry(readFile(file));
    ASSERT_TRUE(entry);
    const std::string executable = bundle + "/Contents/MacOS/PendraMacSandboxHelper";
    EXPECT_EQ(entry->at("Type"), "Application");
    EXPECT_EQ(entry->at("Name"), "PendraMacSandboxHelper");
    EXPECT_EQ(splitExecLine(entry->at("Exec")), std::vector<std::string>{executable});
    EXPECT_EQ(entry->at("TryExec"), executable);
    EXPECT_EQ(entry->at("X-Pendra-Bundle-Path"), bundle);

    if (std::filesystem::exists("/usr/bin/desktop-file-validate")) {
        const std::string command = "/usr/bin/desktop-file-validate '" + file + "' 2>&1";
        FILE* validator = ::popen(command.c_str(), "r");
        ASSERT_NE(validator, nullptr);
        char buffer[4096];
        std::string output;
        while (std::fgets(buffer, sizeof buffer, validator) != nullptr) {
            output += buffer;
        }
        EXPECT_EQ(::pclose(validator), 0);
        EXPECT_EQ(output, "");
    }

    auto snapshot = services.LSSharedFileListCopySnapshot(list);
    ASSERT_EQ(snapshot.size(), 1u);
    EXPECT_EQ(snapshot[0], *item);
    EXPECT_EQ(resolve(*item), URL::fileURLWithPath(bundle));

    // Once the bundle is gone the item no longer resolves.
    std::filesystem::remove_all(bundle);
    platform::OSStatus status = platform::noErr;
    EXPECT_FALSE(resolve(*item, &status));
    EXPECT_NE(status, platform::noErr);
    EXPECT_EQ(names(), std::vector<std::string>{"PendraMacSandboxHelper"});
}

TEST_F(LoginItemsTest, ItemsKeepTheirOrderAndInsertingAgainMovesRatherThanDoubles) {
    const std::string first =
        makeBundle(applications.path(), "First", {{"CFBundleIdentifier", "a.first"}});
    const std::string second =
        makeBundle(applications.path(), "Second", {{"CFBundleIdentifier", "a.second"}});
    const std::string third =
        makeBundle(applications.path(), "Third", {{"CFBundleIdentifier", "a.third"}});
    auto firstItem = services.LSSharedFileListInsertItemURL(
        list, platform::kLSSharedFileListItemLast, "First", URL::fileURLWithPath(first));
    auto secondItem = services.LSSharedFileListInsertItemURL(
        list, platform::kLSSharedFileListItemLast, "Second", URL::fileURLWithPath(second));
    services.LSSharedFileListInsertItemURL(list, platform::kLSSharedFileListItemLast, "Third",
                                           URL::fileURLWithPath(third));
    ASSERT_TRUE(firstItem && secondItem);
    EXPECT_EQ(names(), (std::vector<std::string>{"First", "Second", "Third"}));

    services.LSSharedFileListInsertItemURL(list, platform::kLSSharedFileListItemLast, "First again",
                                           URL::fileURLWithPath(first));
    EXPECT_EQ(names(), (std::vector<std::string>{"Second", "Third", "First again"}));
    EXPECT_EQ(desktopFiles().size(), 3u);

    // An item of an older snapshot still names its entry after the list changed.
    EXPECT_EQ(services.LSSharedFileListItemRemove(list, *secondItem), platform::noErr);
    EXPECT_EQ(names(), (std::vector<std::string>{"Third", "First again"}));
    EXPECT_EQ(resolve(*firstItem), URL::fileURLWithPath(first));
    EXPECT_NE(services.LSSharedFileListItemRemove(list, *secondItem), platform::noErr);
    EXPECT_FALSE(resolve(*secondItem));

    // A bundle that declares no executable cannot start at login.
    std::filesystem::create_directories(applications / "Empty.app/Contents");
    EXPECT_FALSE(
        services.LSSharedFileListInsertItemURL(list, platform::kLSSharedFileListItemLast, "Empty",
                                               URL::fileURLWithPath(applications / "Empty.app")));
    EXPECT_EQ(desktopFiles().size(), 2u);
}

TEST_F(LoginItemsTest, OtherProgramsEntriesAreListedResolvedAndNeverChanged) {
    std::filesystem::create_directories(autostart());
    const std::string foreign =
        "[Desktop Entry]\nType=Application\nName=Clock\nExec=sh -c \"sleep 1\"\n";
    writeFile(autostart() + "/clock.desktop", foreign);
    writeFile(autostart() + "/broken.desktop", "no group at all\n");
    writeFile(autostart() + "/notes.txt", "[Desktop Entry]\nName=Not an entry\n");
    const std::string bundle =
        makeBundle(applications.path(), "Ours", {{"CFBundleIdentifier", "a.ours"}});
    services.LSSharedFileListInsertItemURL(list, platform::kLSSharedFileListItemLast, "Ours",
                                           URL::fileURLWithPath(bundle));

    auto snapshot = services.LSSharedFileListCopySnapshot(list);
    ASSERT_EQ(snapshot.size(), 2u);
    EXPECT_EQ(snapshot[0].displayName, "Clock");
    EXPECT_EQ(snapshot[1].displayName, "Ours");

    auto url = resolve(snapshot[0]);
    ASSERT_TRUE(url);
    EXPECT_EQ(std::filesystem::path(url->path()).filename(), "sh");
    EXPECT_NE(services.LSSharedFileListItemRemove(list, snapshot[0]), platform::noErr);
    EXPECT_EQ(readFile(autostart() + "/clock.desktop"), foreign);
    EXPECT_EQ(readFile(autostart() + "/broken.desktop"), "no group at all\n");

    EXPECT_EQ(services.LSSharedFileListItemRemove(list, snapshot[1]), platform::noErr);
    EXPECT_EQ(names(), std::vector<std::string>{"Clock"});
}

}  // namespace
