// A window known by its location field is followed to wherever the person moves it: the field
// is read at each capture, not remembered from the first.
#include <gtest/gtest.h>

#include "desktop/desktop_session.h"
#include "linux_desktop.h"

namespace desktop_test {
namespace {

using platform::linux_platform::DesktopApplicationView;
using platform::linux_platform::DesktopQuery;

class LocationFieldTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!RealApplications::available()) {
            GTEST_SKIP() << "no desktop session (run through scripts/desktop-session.sh)";
        }
    }

    // Asks until the application's front window shows a document at `url`, 30 s at most.
    bool showsDocumentAt(const RealApplication& application, const std::string& url,
                         DesktopApplicationView* view) {
        return test_support::eventually(
            [&] {
                return desktop.viewOfProcess(application.pid, 2s, view) == DesktopQuery::answered &&
                       view->frontDocument && view->frontDocument->url == url;
            },
            30s);
    }

    platform::linux_platform::DesktopSession desktop;
};

// Nautilus 43 and Epiphany are not moved here: in this session each at times left a question
// asked just after a key had moved it unanswered for good, and was then captured by its
// window's title alone until asked again.
TEST_F(LocationFieldTest, AFileManagerIsFollowedToTheFolderItMovesTo) {
    REQUIRE_APPLICATION(thunar, "Thunar");
    ASSERT_TRUE(RealApplications::activate(thunar));
    DesktopApplicationView view;
    ASSERT_TRUE(showsDocumentAt(thunar, thunar.documentURL, &view));
    // Up to the folder above, and the capture follows.
    commandOutput("xdotool key --clearmodifiers alt+Up");
    const std::string docs = std::string(std::getenv("HOME")) + "/docs";
    EXPECT_TRUE(showsDocumentAt(thunar, fileURL(docs) + "/", &view))
        << commandOutput("xdotool getactivewindow getwindowname");
    ASSERT_TRUE(view.frontDocument);
    EXPECT_EQ(view.frontDocument->name, "docs");
    EXPECT_EQ(view.frontDocument->path, docs);
}

}  // namespace
}  // namespace desktop_test
