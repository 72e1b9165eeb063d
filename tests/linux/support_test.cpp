#include <gtest/gtest.h>
#include <unistd.h>

#include <regex>

#include "linux_support.h"
#include "test_support.h"

namespace {

using linux_test::readFile;
using linux_test::ScopedEnvironment;
using linux_test::TemporaryFolder;
using linux_test::writeFile;
using platform::PropertyList;
using platform::linux_platform::LinuxLogService;
using platform::linux_platform::LinuxUserDefaults;
using platform::linux_platform::writeFileAtomically;

class LinuxUserDefaultsTest : public ::testing::Test {
  protected:
    void SetUp() override { environment.set("XDG_CONFIG_HOME", config.path()); }
    ScopedEnvironment environment;
    TemporaryFolder config;
    std::optional<std::string> domain = "com.orvano.PendraMacSandboxHelper";
    LinuxUserDefaults defaults{[this] { return domain; }};
};

TEST_F(LinuxUserDefaultsTest, ValuesComeFromTheDomainsPropertyListReadAfresh) {
    EXPECT_EQ(LinuxUserDefaults::pathForDomain("com.orvano.PendraMacSandboxHelper"),
              config / "com.orvano.PendraMacSandboxHelper.plist");
    EXPECT_FALSE(defaults.objectForKey("ExperimentalIntegrationsEnabled"));
    EXPECT_FALSE(defaults.boolForKey("ExperimentalIntegrationsEnabled"));

    ASSERT_TRUE(writeFileAtomically(
        config / "com.orvano.PendraMacSandboxHelper.plist",
        PropertyList(
            PropertyList::Dictionary{{"ExperimentalIntegrationsEnabled", true}, {"Other", "text"}})
            .toXML()));
    EXPECT_TRUE(defaults.boolForKey("ExperimentalIntegrationsEnabled"));
    EXPECT_EQ(defaults.objectForKey("Other"), PropertyList("text"));
    EXPECT_FALSE(defaults.boolForKey("Missing"));

    ASSERT_TRUE(writeFileAtomically(
        config / "com.orvano.PendraMacSandboxHelper.plist",
        PropertyList(PropertyList::Dictionary{{"ExperimentalIntegrationsEnabled", false}})
            .toXML()));
    EXPECT_FALSE(defaults.boolForKey("ExperimentalIntegrationsEnabled"));
}

TEST_F(LinuxUserDefaultsTest, AnUnreadableDomainOrNoDomainAnswersNothing) {
    writeFile(config / "com.orvano.PendraMacSandboxHelper.plist", "not a property list");
    EXPECT_FALSE(defaults.objectForKey("ExperimentalIntegrationsEnabled"));
    EXPECT_FALSE(defaults.boolForKey("ExperimentalIntegrationsEnabled"));

    ASSERT_TRUE(writeFileAtomically(config / ".plist",
                                    PropertyList(PropertyList::Dictionary{{"Key", true}}).toXML()));
    domain = std::nullopt;
    EXPECT_FALSE(defaults.objectForKey("Key"));
    domain = "";
    EXPECT_FALSE(defaults.objectForKey("Key"));
    domain = "../escape";
    EXPECT_FALSE(defaults.objectForKey("Key"));
}

TEST(WriteFileAtomically, ReplacesTheFileAndLeavesNothingElse) {
    TemporaryFolder folder;
    const std::string path = folder / "Info.plist";
    writeFile(path, "old");
    ASSERT_TRUE(writeFileAtomically(path, "new"));
    EXPECT_EQ(readFile(path), "new");
    struct stat status {};
    ASSERT_EQ(::stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0644u);
    ASSERT_TRUE(writeFileAtomically(path, "private", 0600));
    ASSERT_EQ(::stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
    EXPECT_FALSE(writeFileAtomically(folder / "no/such/folder.plist", "lost"));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path()),
                            std::filesystem::directory_iterator()),
              1);
}

class LinuxLogServiceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fd = ::open((folder / "log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        ASSERT_GE(fd, 0);
    }
    void TearDown() override { ::close(fd); }
    std::string prefixPattern() const {
        return R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} )" +
               std::string(program_invocation_short_name) + R"(\[)" + std::to_string(::getpid()) +
               R"(\] )";
    }
    TemporaryFolder folder;
    int fd = -1;
};

TEST_F(LinuxLogServiceTest, ConsoleLinesCarryTimeProcessNameAndId) {
    LinuxLogService log(false, fd);
    log.writeConsole("Relaunching: /a b -> /c");
    log.writeConsole("two\nlines\n");
    const std::string text = readFile(folder / "log");
    EXPECT_TRUE(std::regex_match(text, std::regex(prefixPattern() + "Relaunching: /a b -> /c\n" +
                                                  prefixPattern() + "two\nlines\n")))
        << text;
}

TEST_F(LinuxLogServiceTest, UnifiedMessagesNameTheirSubsystemAndCategoryWithoutAJournal) {
    LinuxLogService log(false, fd);
    log.writeUnified({"com.orvano.PendraMacSandboxHelper", "PendraSandboxHelper"},
                     platform::LogLevel::Debug, "Checking main app existence");
    const std::string text = readFile(folder / "log");
    EXPECT_TRUE(std::regex_match(
        text, std::regex(prefixPattern() +
                         R"(\[com\.orvano\.PendraMacSandboxHelper:PendraSandboxHelper\] )"
                         "Checking main app existence\n")))
        << text;
}

TEST_F(LinuxLogServiceTest, AnUnreachableJournalFallsBackToTheDescriptor) {
    if (std::filesystem::exists("/run/systemd/journal/socket")) {
        GTEST_SKIP() << "a journal is running here; its messages cannot be read back";
    }
    LinuxLogService log(true, fd);
    log.writeUnified({"sub", "cat"}, platform::LogLevel::Debug, "kept");
    EXPECT_NE(readFile(folder / "log").find("[sub:cat] kept\n"), std::string::npos);
}

}  // namespace

namespace {

int runWriteDefault(const std::vector<std::string>& arguments) {
    std::string command = PENDRA_BUILD_DIR "/devtools/pendra-write-default";
    for (const auto& argument : arguments) {
        command += " '" + argument + "'";
    }
    command += " 2>/dev/null";
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(LinuxUserDefaultsTest, TheDevelopersCommandSwitchesABooleanDefault) {
    EXPECT_EQ(runWriteDefault({*domain, "ExperimentalIntegrationsEnabled", "YES"}), 0);
    EXPECT_TRUE(defaults.boolForKey("ExperimentalIntegrationsEnabled"));
    EXPECT_EQ(runWriteDefault({*domain, "Other", "YES"}), 0);
    EXPECT_EQ(runWriteDefault({*domain, "ExperimentalIntegrationsEnabled", "NO"}), 0);
    EXPECT_FALSE(defaults.boolForKey("ExperimentalIntegrationsEnabled"));
    EXPECT_TRUE(defaults.boolForKey("Other"));  // other keys are kept

    EXPECT_EQ(runWriteDefault({*domain, "Other", "perhaps"}), 2);
    EXPECT_TRUE(defaults.boolForKey("Other"));
    writeFile(LinuxUserDefaults::pathForDomain("com.example.array"),
              platform::PropertyList(platform::PropertyList::Array{"x"}).toXML());
    EXPECT_EQ(runWriteDefault({"com.example.array", "Key", "YES"}), 1);
}

}  // namespace
