// Who a desktop's application is (its desktop entry), which file an editor's title names and
// where a window's location field says it is.
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "linux/test_support.h"
#include "linux_desktop.h"
#include "linux_desktop_entries.h"
#include "linux_desktop_events.h"
#include "linux_editor_titles.h"
#include "linux_locations.h"

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
        {"~/docs/list.txt - Mousepad", "list.txt", "/home/ana/docs/list.txt", ""},
        {"*~/a - b.txt - Mousepad", "a - b.txt", "/home/ana/a - b.txt", ""},
        {"deep.txt (~/a/\xE2\x80\xA6/z) - gedit", "deep.txt", "", "/home/ana/a/\xE2\x80\xA6/z"},
        {"Untitled Document 1 - gedit", "Untitled Document 1", "", ""},
        {"geany notes.txt - /srv/a - b - Geany", "geany notes.txt", "/srv/a - b/geany notes.txt",
         ""},
        {"*a - b.txt - ~/docs - Geany", "a - b.txt", "/home/ana/docs/a - b.txt", ""},
        {"top.txt - / - Geany", "top.txt", "/top.txt", ""},
        // An em dash: the viewer's document title after it may hold dashes of its own.
        {"paper.pdf \xE2\x80\x94 Report - Q3 \xE2\x80\x94 Final", "paper.pdf", "", ""},
        {"my-file - x.pdf \xE2\x80\x94 Title", "my-file - x.pdf", "", ""},
        {"kwrite.txt  \xE2\x80\x94 KWrite", "kwrite.txt", "", ""},
        {"kate file.txt * \xE2\x80\x94 Kate", "kate file.txt", "", ""},
        {"report.fodt - LibreOffice Writer", "report.fodt", "", ""},
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
    EXPECT_FALSE(parseEditorTitle("paper.pdf", "/home/ana"));
    EXPECT_FALSE(parseEditorTitle("  \xE2\x80\x94 KWrite", "/home/ana"));
}

TEST(EditorTitlesTest, AMenuItemOfRecentFilesGivesThePathOfThatNameOnly) {
    struct Case {
        const char* item;
        const char* name;
        std::optional<std::string> path;
    };
    const Case cases[] = {
        {"kwrite.txt [/home/ana/docs/kwrite.txt]", "kwrite.txt", "/home/ana/docs/kwrite.txt"},
        {"a [b].txt [/srv/x [1]/a [b].txt]", "a [b].txt", "/srv/x [1]/a [b].txt"},
        {"kwrite.txt [/home/ana/docs/other.txt]", "kwrite.txt", std::nullopt},
        {"kwrite.txt [docs/kwrite.txt]", "kwrite.txt", std::nullopt},
        {"kwrite.txt [/home/ana/docs/kwrite.txt", "kwrite.txt", std::nullopt},
        {"Open Recent", "kwrite.txt", std::nullopt},
        {"kwrite.txt [/kwrite.txt]", "", std::nullopt},
    };
    for (const auto& each : cases) {
        EXPECT_EQ(pathOfRecentFileItem(each.item, each.name), each.path) << each.item;
    }
}

TEST(LocationFieldsTest, APathNamesItsFolderAndAnAddressItsPage) {
    TemporaryFolder home;
    std::filesystem::create_directories(home / "Project Folder");
    writeFile(home / "notes.txt", "notes\n");
    const std::string folderURL = "file://" + home.path() + "/Project%20Folder/";
    struct Case {
        std::string text;
        std::string name;
        std::string url;
        std::string path;
    };
    const Case cases[] = {
        // File managers: the folder by its own name, the separator at the end or not.
        {home / "Project Folder/", "Project Folder", folderURL, home / "Project Folder"},
        {home / "Project Folder", "Project Folder", folderURL, home / "Project Folder"},
        {"~/Project Folder", "Project Folder", folderURL, home / "Project Folder"},
        {home / "notes.txt", "notes.txt", "file://" + home.path() + "/notes.txt",
         home / "notes.txt"},
        {"/", "/", "file:///", "/"},
        // Browsers: the page by the window's title, the address as the field holds it.
        {"https://example.org/a?b=1#c", "Page Title", "https://example.org/a?b=1#c", ""},
        {"file://" + home.path() + "/notes.txt", "Page Title",
         "file://" + home.path() + "/notes.txt", home / "notes.txt"},
        {"about:blank", "Page Title", "about:blank", ""},
    };
    for (const auto& each : cases) {
        EXPECT_TRUE(isLocationText(each.text)) << each.text;
        const auto document = documentOfLocation(each.text, "Page Title", home.path());
        ASSERT_TRUE(document) << each.text;
        EXPECT_EQ(document->name, each.name) << each.text;
        EXPECT_EQ(document->url, each.url) << each.text;
        EXPECT_EQ(document->path, each.path) << each.text;
    }
    // What else a field holds (a search, a name being typed) names no place; nor does a path
    // that is not there.
    for (const std::string text :
         {"", "search words", "notes.txt", "C:/x", "1http://x", "~ana/x", "/tmp/a\nb"}) {
        EXPECT_FALSE(isLocationText(text)) << text;
        EXPECT_FALSE(documentOfLocation(text, "Page Title", home.path())) << text;
    }
    EXPECT_FALSE(documentOfLocation(home / "gone", "Page Title", home.path()));
    EXPECT_FALSE(documentOfLocation("~/Project Folder", "Page Title", ""));
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
            bookmark("file://elsewhere/home/ana/new/Plan.txt", "2026-08-01T00:00:00Z", "gedit") +
            bookmark("file:///home/ana/R%26D%20notes.txt", "2026-01-01T00:00:00Z", "Mousepad") +
            bookmark("file://localhost/home/ana/%C3%BCber.txt", "2026-01-01T00:00:00Z", "gedit") +
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
        {"\xC3\xBC"
         "ber.txt - gedit",
         "gedit",
         "/home/ana/\xC3\xBC"
         "ber.txt"},
        {"Unknown.txt - gedit", "gedit", ""},
        // A full title is taken as it stands.
        {"Plan.txt (~/elsewhere) - gedit", "gedit", "/home/ana/elsewhere/Plan.txt"},
    };
    for (const auto& each : cases) {
        const auto file = fileOfEditorTitle(each.title, each.editor);
        ASSERT_TRUE(file) << each.title;
        EXPECT_EQ(file->path, each.path) << each.title;
    }

    // A file of that name that the process holds open comes before the recently-used ones; a
    // folder or a file of another name it holds does not count.
    TemporaryFolder documents;
    std::filesystem::create_directories(documents / "Plan.txt.d");
    writeFile(documents / "Plan.txt", "plan");
    const int folder = ::open((documents / "Plan.txt.d").c_str(), O_RDONLY);
    const int open = ::open((documents / "Plan.txt").c_str(), O_RDONLY);
    ASSERT_GE(open, 0);
    const std::string held = documents / "Plan.txt";
    EXPECT_EQ(fileOfEditorTitle("Plan.txt \xE2\x80\x94 Viewer", "viewer", ::getpid())->path, held);
    EXPECT_EQ(fileOfEditorTitle("Plan.txt - gedit", "gedit", ::getpid())->path, held);
    EXPECT_EQ(fileOfEditorTitle("Plan.txt", "", ::getpid())->path, held);
    EXPECT_FALSE(fileOfEditorTitle("Plan.txt.d", "", ::getpid()));
    EXPECT_EQ(openFileOfProcess(::getpid(), "Plan.txt.d"), "");
    EXPECT_EQ(openFileOfProcess(::getpid(), "Plan.txt", "/nowhere/\xE2\x80\xA6/else"), "");
    ::close(open);
    ::close(folder);
    EXPECT_FALSE(fileOfEditorTitle("Plan.txt", "", ::getpid()));
    EXPECT_EQ(fileOfEditorTitle("Plan.txt - gedit", "gedit", ::getpid())->path,
              "/home/ana/new/Plan.txt");
}

using platform::AppleEventDescriptor;
using platform::fourCharCode;

using Code = char[5];

AppleEventDescriptor specifier(const Code& wanted, const AppleEventDescriptor& from,
                               const Code& form, const AppleEventDescriptor& key) {
    auto record = AppleEventDescriptor::recordDescriptor(platform::typeObjectSpecifier);
    record.setDescriptor(AppleEventDescriptor::descriptorWithTypeCode(fourCharCode(wanted)),
                         platform::keyAEDesiredClass);
    record.setDescriptor(from, platform::keyAEContainer);
    record.setDescriptor(AppleEventDescriptor::descriptorWithEnumCode(fourCharCode(form)),
                         platform::keyAEKeyForm);
    record.setDescriptor(key, platform::keyAEKeyData);
    return record;
}

AppleEventDescriptor propertyOf(const Code& property, const AppleEventDescriptor& from) {
    return specifier("prop", from, "prop",
                     AppleEventDescriptor::descriptorWithTypeCode(fourCharCode(property)));
}

AppleEventDescriptor element(const Code& wanted, const AppleEventDescriptor& key) {
    if (key.descriptorType() == platform::fourCharCode("utxt")) {
        return specifier(wanted, AppleEventDescriptor::nullDescriptor(), "name", key);
    }
    return specifier(wanted, AppleEventDescriptor::nullDescriptor(), "indx", key);
}

TEST(DesktopEventsTest, GetDataIsAnsweredFromWhatTheWindowsShow) {
    DesktopApplicationView view;
    view.name = "gedit";
    view.windows = {{"notes.txt (~) - gedit"}, {"Preferences"}};
    view.frontDocument =
        DesktopDocument{"notes.txt", "file:///home/ana/notes.txt", "/home/ana/notes.txt"};
    view.applicationURL = "file:///usr/share/applications/org.gnome.gedit.desktop";
    const auto number = AppleEventDescriptor::descriptorWithInt32;
    const auto text = AppleEventDescriptor::descriptorWithString;
    const auto last = AppleEventDescriptor::descriptorWithEnumCode(fourCharCode("last"));
    struct Case {
        AppleEventDescriptor object;
        std::string answer;  // the reply's direct object, or "errn <number>"
    };
    const Case cases[] = {
        {propertyOf("pnam", AppleEventDescriptor::nullDescriptor()), "'utxt'(\"Text Editor\")"},
        {propertyOf("pisf", AppleEventDescriptor::nullDescriptor()), "'bool'(true)"},
        // The application's own address, which a capture links to without a document's.
        {propertyOf("pURL", AppleEventDescriptor::nullDescriptor()),
         "'utxt'(\"file:///usr/share/applications/org.gnome.gedit.desktop\")"},
        {propertyOf("ppth", AppleEventDescriptor::nullDescriptor()), "errn -1728"},
        {propertyOf("pnam", element("cwin", number(2))), "'utxt'(\"Preferences\")"},
        {propertyOf("pnam", element("cwin", number(-2))), "'utxt'(\"notes.txt (~) - gedit\")"},
        {propertyOf("pnam", element("cwin", last)), "'utxt'(\"Preferences\")"},
        {propertyOf("pnam", element("cwin", text("Preferences"))), "'utxt'(\"Preferences\")"},
        {propertyOf("pnam", element("cwin", number(3))), "errn -1728"},
        {propertyOf("pnam", element("docu", number(1))), "'utxt'(\"notes.txt\")"},
        {propertyOf("pURL", element("docu", text("notes.txt"))),
         "'utxt'(\"file:///home/ana/notes.txt\")"},
        {propertyOf("ppth", element("docu", number(-1))), "'utxt'(\"/home/ana/notes.txt\")"},
        {propertyOf("file", element("docu", number(1))), "'utxt'(\"/home/ana/notes.txt\")"},
        {propertyOf("pnam", element("docu", number(2))), "errn -1728"},
        {propertyOf("pURL", element("cwin", number(1))), "errn -1728"},
        {propertyOf("pnam", propertyOf("pnam", element("docu", number(1)))), "errn -1728"},
        {text("not a specifier"), "errn -1728"},
    };
    auto answer = [&](const AppleEventDescriptor& event, const DesktopApplicationView& shown) {
        AppleEventDescriptor reply = AppleEventDescriptor::appleEventWithEventClass(
            fourCharCode("aevt"), fourCharCode("ansr"), AppleEventDescriptor::nullDescriptor(), 1,
            0);
        answerDesktopEvent(event, "Text Editor", shown, reply);
        if (auto error = reply.paramDescriptorForKeyword(platform::keyErrorNumber)) {
            return "errn " + std::to_string(error->int32Value());
        }
        auto direct = reply.paramDescriptorForKeyword(platform::keyDirectObject);
        return direct ? direct->description() : std::string("nothing");
    };
    auto getData = [](const AppleEventDescriptor& object) {
        auto event = AppleEventDescriptor::appleEventWithEventClass(
            platform::kAECoreSuite, platform::kAEGetData, AppleEventDescriptor::nullDescriptor(),
            platform::kAutoGenerateReturnID, platform::kAnyTransactionID);
        event.setParamDescriptor(object, platform::keyDirectObject);
        return event;
    };
    for (const auto& each : cases) {
        EXPECT_EQ(answer(getData(each.object), view), each.answer) << each.object.description();
    }
    // Without a document, and for any other event.
    DesktopApplicationView empty;
    EXPECT_EQ(answer(getData(propertyOf("pnam", element("docu", number(1)))), empty), "errn -1728");
    EXPECT_EQ(answer(AppleEventDescriptor::appleEventWithEventClass(
                         platform::kAECoreSuite, fourCharCode("setd"),
                         AppleEventDescriptor::nullDescriptor(), platform::kAutoGenerateReturnID,
                         platform::kAnyTransactionID),
                     view),
              "errn -1708");
}

}  // namespace

namespace platform::linux_platform {
namespace {

// The reason a capture gives no link is worth one line an hour for each application, whatever
// the number of captures.
TEST(UnaskableApplicationsTest, EachApplicationIsNamedOnceAnHourWithItsRemedy) {
    OncePerInterval once(std::chrono::hours(1));
    const auto start = OncePerInterval::Clock::time_point{} + std::chrono::hours(100);
    EXPECT_TRUE(once.shouldSay("chromium", start));
    EXPECT_FALSE(once.shouldSay("chromium", start + std::chrono::seconds(1)));
    EXPECT_TRUE(once.shouldSay("display-im6.q16", start + std::chrono::seconds(2)));
    EXPECT_FALSE(once.shouldSay("chromium", start + std::chrono::minutes(59)));
    EXPECT_TRUE(once.shouldSay("chromium", start + std::chrono::minutes(60)));
    EXPECT_FALSE(once.shouldSay("chromium", start + std::chrono::minutes(61)));
    // Many applications do not make it forget the ones said within the hour.
    for (int each = 0; each < 600; ++each) {
        once.shouldSay("application " + std::to_string(each), start + std::chrono::minutes(62));
    }
    EXPECT_FALSE(once.shouldSay("application 1", start + std::chrono::minutes(63)));
    EXPECT_TRUE(once.shouldSay("application 1", start + std::chrono::minutes(122)));

    struct Case {
        UnaskableReason reason;
        const char* remedy;
    };
    const Case cases[] = {
        {UnaskableReason::accessibilityOff, "IsEnabled"},
        {UnaskableReason::notOnAccessibilityBus, "not on the desktop's accessibility bus"},
        {UnaskableReason::browserWithoutFlag, "--force-renderer-accessibility"},
    };
    for (const auto& each : cases) {
        const std::string line = unaskableLine("chromium", each.reason);
        EXPECT_EQ(line.rfind("Captures of chromium see only its window title: ", 0), 0U) << line;
        EXPECT_NE(line.find(each.remedy), std::string::npos) << line;
    }
}

}  // namespace
}  // namespace platform::linux_platform
