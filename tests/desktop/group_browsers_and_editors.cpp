// The applications the desktop capture was first built against: two browsers showing a local
// page and two editors showing a text file each; on an X server, and as native clients of a
// Wayland compositor, where the browsers are asked to be and every application is found in
// front by its frame marked active on the accessibility bus.
#include <unistd.h>

#include "desktop/desktop_session.h"

namespace desktop_test {
namespace {

std::vector<RealApplication> browsersAndEditors(const SessionFolders& folders, bool wayland) {
    const std::string& docs = folders.docs;
    test_support::writeFile(docs + "/page.html",
                            "<html><head><title>Local Test Page</title></head>"
                            "<body><p>Hello</p></body></html>");
    test_support::writeFile(docs + "/second.html",
                            "<html><head><title>Second Page</title></head>"
                            "<body><p>Again</p></body></html>");
    test_support::writeFile(docs + "/notes one.txt", "notes\n");
    test_support::writeFile(docs + "/list.txt", "list\n");
    test_support::writeFile(folders.root + "/firefox/user.js",
                            "user_pref(\"browser.shell.checkDefaultBrowser\", false);\n"
                            "user_pref(\"browser.startup.homepage_override.mstone\", "
                            "\"ignore\");\n"
                            "user_pref(\"datareporting.policy.dataSubmissionEnabled\", "
                            "false);\n"
                            "user_pref(\"browser.aboutwelcome.enabled\", false);\n");
    std::vector<std::string> chromium{"chromium",
                                      "--force-renderer-accessibility",
                                      "--no-first-run",
                                      "--no-default-browser-check",
                                      "--disable-gpu",
                                      "--password-store=basic",
                                      "--user-data-dir=" + folders.root + "/chromium"};
    if (::geteuid() == 0) {
        chromium.push_back("--no-sandbox");
    }
    if (wayland) {
        chromium.push_back("--ozone-platform=wayland");
    }
    std::vector<std::string> firefox{"firefox-esr", "--no-remote", "--profile",
                                     folders.root + "/firefox", fileURL(docs + "/page.html")};
    if (wayland) {
        firefox.insert(firefox.begin(), {"env", "MOZ_ENABLE_WAYLAND=1"});
    }
    // The page comes last: a second window is asked for with the same command and another page.
    chromium.push_back(fileURL(docs + "/page.html"));
    return {
        {"Chromium",
         "chromium",
         "chromium",
         "Local Test Page",
         fileURL(docs + "/page.html"),
         wayland,
         chromium,
         -1,
         {}},
        {"Firefox ESR",
         "firefox-esr",
         "firefox",
         "Local Test Page",
         fileURL(docs + "/page.html"),
         true,
         firefox,
         -1,
         {}},
        {"gedit",
         "org.gnome.gedit",
         "gedit",
         "notes one.txt",
         fileURL(docs + "/notes one.txt"),
         true,
         {"gedit", docs + "/notes one.txt"},
         -1,
         {}},
        {"Mousepad",
         "org.xfce.mousepad",
         "mousepad",
         "list.txt",
         fileURL(docs + "/list.txt"),
         true,
         {"mousepad", docs + "/list.txt"},
         -1,
         {}},
    };
}

const GroupRegistration x11Group{"browsers-and-editors", [](const SessionFolders& folders) {
                                     return browsersAndEditors(folders, false);
                                 }};
const GroupRegistration waylandGroup{
    "wayland", [](const SessionFolders& folders) { return browsersAndEditors(folders, true); }};

}  // namespace
}  // namespace desktop_test
