// Applications whose trees hold no document object of their own: two file managers showing a
// folder each, and a browser whose page lives in a web process of its own. What they show is
// read from their windows' location fields.
#include "desktop/desktop_session.h"

namespace desktop_test {
namespace {

std::vector<RealApplication> filesAndWeb(const SessionFolders& folders) {
    const std::string& docs = folders.docs;
    const std::string gnomeFolder = docs + "/Project Folder";
    const std::string xfceFolder = docs + "/Thunar Folder";
    std::filesystem::create_directories(gnomeFolder);
    std::filesystem::create_directories(xfceFolder);
    test_support::writeFile(gnomeFolder + "/plan.txt", "plan\n");
    test_support::writeFile(xfceFolder + "/list.txt", "list\n");
    test_support::writeFile(docs + "/web.html",
                            "<html><head><title>Web Test Page</title></head>"
                            "<body><p>Hello</p></body></html>");
    return {
        // A folder's link ends in a separator.
        {"Thunar",
         "thunar",
         "thunar",
         "Thunar Folder",
         fileURL(xfceFolder) + "/",
         true,
         {"thunar", xfceFolder},
         -1,
         {}},
        // WebKit draws under Xvfb as it is, as root and as a user: it needs no settings here.
        {"Epiphany",
         "org.gnome.Epiphany",
         "epiphany",
         "Web Test Page",
         fileURL(docs + "/web.html"),
         true,
         {"epiphany", fileURL(docs + "/web.html")},
         -1,
         {}},
        // GTK 4 draws through GL, which Xvfb offers in software alone: every frame then keeps
        // the application's loop busy long enough to make each question on the bus wait a
        // tenth of a second. It draws with cairo here.
        {"Nautilus",
         "org.gnome.Nautilus",
         "org.gnome.Nautilus",
         "Project Folder",
         fileURL(gnomeFolder) + "/",
         true,
         {"env", "GSK_RENDERER=cairo", "nautilus", "--new-window", gnomeFolder},
         -1,
         {}},
    };
}

const GroupRegistration registration{"files-and-web", filesAndWeb};

}  // namespace
}  // namespace desktop_test
