// Who a desktop's application is (its desktop entry) and which file an editor's title names.
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "linux/test_support.h"
#include "linux_desktop.h"
#include "linux_desktop_entries.h"
#include "linux_editor_titles.h"

namespace {

using linux_test::ScopedEnvironment;
using linux_test::TemporaryFolder;
using linux_test::writeFile;
using namespace platform::linux_platform;

std::string entryText(const std::string& lines) {
    return "[Desktop Entry]\nType=Application\n" + lines + "\n[Desktop Action new]\nName=Other\n";
}

class DesktopEntriesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(user / "applications/vendor");
        std::filesystem::create_directories(system / "applications");
        environment.set("XDG_DATA_HOME", user.path());
        environment.set("XDG_DATA_DIRS", system.path());
        environment.set("LC_ALL", "de_AT.UTF-8");
    }
    TemporaryFolder user;
    TemporaryFolder system;
    ScopedEnvironment environment;
};

TEST_F(DesktopEntriesTest, ApplicationsAreKnownByIdWindowClassAndProgram) {
    const std::string self = std::filesystem::canonical("/proc/self/exe").string();
    writeFile(user / "applications/org.example.Editor.desktop",
              entryText("Name=Editor\nName[de]=Bearbeiter\nStartupWMClass=SharedClass"));
    writeFile(system / "applications/org.example.Editor.desktop",
              entryText("Name=Shadowed\nStartupWMClass=Shadowed"));
    writeFile(user / "applications/vendor/browser.desktop",
              entryText("Name=Browser\nName[de_AT]=Browser AT\nStartupWMClass=webby"));
    writeFile(system / "applications/a-tests-settings.desktop",
              entryText("Name=Settings\nExec=" + self + " --settings"));
    writeFile(system / "applications/tests.desktop",
              entryText("Name=Tests\nExec=env A=1 B=2 \"" + self + "\" %U"));
    writeFile(system / "applications/hidden.desktop",
              entryText("Name=Hidden\nHidden=true\nStartupWMClass=ghost"));
    writeFile(system / "applications/link.desktop", "[Desktop Entry]\nType=Link\nName=Link\n");

    struct Case {
        const char* applicationId;
        const char* windowClass;
        pid_t pid;
        std::optional<std::string> identifier;
        std::optional<std::string> name;
    };
    const Case cases[] = {
        // The GTK id first, even when the window class names another entry.
        {"org.example.Editor", "Webby", 0, "org.example.Editor", "Bearbeiter"},
        {"", "WEBBY", 0, "vendor-browser", "Browser AT"},
        {"org.unknown", "webby", 0, "vendor-browser", "Browser AT"},
        {"", "SharedClass", 0, "org.example.Editor", "Bearbeiter"},
        // The program of Exec, past the env prefix, is this very process; an entry that
        // starts it with options comes second.
        {"", "nothing", ::getpid(), "tests", "Tests"},
        {"", "ghost", 0, std::nullopt, "ghost"},
        {"link", "", 0, std::nullopt, std::nullopt},
    };
    for (const auto& each : cases) {
        const auto application =
            desktopApplication(each.pid, each.applicationId, each.windowClass, each.windowClass);
        EXPECT_EQ(application.bundleIdentifier, each.identifier) << each.windowClass;
        EXPECT_EQ(application.localizedName, each.name) << each.windowClass;
        if (each.identifier) {
            ASSERT_TRUE(application.bundleURL);
            EXPECT_EQ(std::filesystem::path(application.bundleURL->path()).filename(),
                      std::filesystem::path(*each.identifier)
                              .string()
                              .substr(each.identifier->find('-') + 1) +
                          ".desktop");
        }
    }

    // A new entry is seen at the next question.
    writeFile(user / "applications/late.desktop", entryText("Name=Late\nStartupWMClass=Late"));
    EXPECT_EQ(desktopApplication(0, "", "late", "").bundleIdentifier, "late");
}

TEST(EditorTitlesTest, TheTitleNamesTheFile) {
    struct Case {
        const char* title;
        const char* name;
        const char* path;
        const char* shortened;
    };
    const Case cases[] = {
        {"notes one.txt (~/docs) - gedit", "notes one.txt", "/home/ana/docs/notes one.txt", ""},
        {"*notes.txt (~) - gedit", "notes.txt", "/home/ana/notes.txt", ""},
        {"a (b).txt (/srv/x) - gedit", "a (b).txt", "/srv/x/a (b).txt", ""},
        {"root.txt (/) - gedit", "root.txt", "/root.txt", ""},
        {"*/tmp/a - b/list.txt - Mousepad", "list.txt", "/tmp/a - b/list.txt", ""},
        {"deep.txt (~/a/\xE2\x80\xA6/z) - gedit", "deep.txt", "", "/home/ana/a/\xE2\x80\xA6/z"},
        {"Untitled Document 1 - gedit", "Untitled Document 1", "", ""},
    };
    for (const auto& each : cases) {
        const auto file = parseEditorTitle(each.title, "/home/ana");
        ASSERT_TRUE(file) << each.title;
        EXPECT_EQ(file->name, each.name) << each.title;
        EXPECT_EQ(file->path, each.path) << each.title;
        EXPECT_EQ(file->shortenedFolder, each.shortened) << each.title;
    }
    EXPECT_FALSE(parseEditorTitle("Terminal", "/home/ana"));
    EXPECT_FALSE(parseEditorTitle(" - gedit", "/home/ana"));
    EXPECT_EQ(fileURLForPath("/a b/ü#?.txt"), "file:///a%20b/%C3%BC%23%3F.txt");
}

TEST(EditorTitlesTest, RecentlyUsedFilesSettleWhatTheTitleLeavesOpen) {
    TemporaryFolder data;
    ScopedEnvironment environment;
    environment.set("XDG_DATA_HOME", data.path());
    environment.set("HOME", "/home/ana");
    auto bookmark = [](const std::string& href, const std::string& modified,
                       const std::string& application) {
        return "<bookmark href=\"" + href + "\" added=\"x\" modified=\"" + modified +
               "\"><info><metadata><bookmark:applications><bookmark:application name=\"" +
               application +
               "\" exec=\"x\"/></bookmark:applications></metadata></info>"
               "</bookmark>\n";
    };
    writeFile(
        data / "recently-used.xbel",
        "<?xml version=\"1.0\"?>\n<xbel version=\"1.0\">\n" +
            bookmark("file:///home/ana/old/Plan.txt", "2026-01-01T00:00:00Z", "gedit") +
            bookmark("file:///home/ana/new/Plan.txt", "2026-03-01T00:00:00Z", "gedit") +
            bookmark("file:///home/ana/other/Plan.txt", "2026-05-01T00:00:00Z", "Writer") +
            bookmark("file:///home/ana/a/b/c/z/deep.txt", "2026-01-01T00:00:00Z", "gedit") +
            bookmark("file:///home/ana/q/z/deep.txt", "2026-06-01T00:00:00Z", "gedit") +
            bookmark("https://example.com/Plan.txt", "2026-07-01T00:00:00Z", "gedit") +
            bookmark("file:///home/ana/R%26D%20notes.txt", "2026-01-01T00:00:00Z", "Mousepad") +
            "</xbel>\n");

    struct Case {
        const char* title;
        const char* editor;
        const char* path;
    };
    const Case cases[] = {
        // The editor's own most recent file of that name, before another program's later one.
        {"Plan.txt - gedit", "gedit", "/home/ana/new/Plan.txt"},
        {"Plan.txt - Writer", "writer", "/home/ana/other/Plan.txt"},
        {"deep.txt (~/a/\xE2\x80\xA6/z) - gedit", "gedit", "/home/ana/a/b/c/z/deep.txt"},
        {"R&D notes.txt - Mousepad", "Mousepad", "/home/ana/R&D notes.txt"},
        {"Unknown.txt - gedit", "gedit", ""},
        // A full title is taken as it stands.
        {"Plan.txt (~/elsewhere) - gedit", "gedit", "/home/ana/elsewhere/Plan.txt"},
    };
    for (const auto& each : cases) {
        const auto file = fileOfEditorTitle(each.title, each.editor);
        ASSERT_TRUE(file) << each.title;
        EXPECT_EQ(file->path, each.path) << each.title;
    }
}

}  // namespace
