// A window known by its location field is followed to wherever the person moves it: the field
// is read at each capture, not remembered from the first.
#include <gtest/gtest.h>

#include "desktop/desktop_session.h"

namespace desktop_test {
namespace {

class LocationFieldTest : public DesktopViewTest {};

// Nautilus 43 and Epiphany are not moved here: in this session each at times left a question
// asked just after a key had moved it unanswered for good, and was then captured by its
// window's title alone until asked again.
TEST_F(LocationFieldTest, AFileManagerIsFollowedToTheFolderItMovesTo) {
    REQUIRE_APPLICATION(thunar, "Thunar");
    ASSERT_TRUE(RealApplications::activate(thunar));
    DesktopApplicationView view;
    ASSERT_TRUE(viewShows(thunar.pid, &DesktopDocument::url, thunar.documentURL, 30s, &view));
    // Up to the folder above, and the capture follows.
    commandOutput("xdotool key --clearmodifiers alt+Up");
    const std::string docs = std::string(std::getenv("HOME")) + "/docs";
    EXPECT_TRUE(viewShows(thunar.pid, &DesktopDocument::url, fileURL(docs) + "/", 30s, &view))
        << commandOutput("xdotool getactivewindow getwindowname");
    ASSERT_TRUE(view.frontDocument);
    EXPECT_EQ(view.frontDocument->name, "docs");
    EXPECT_EQ(view.frontDocument->path, docs);
}

}  // namespace
}  // namespace desktop_test
