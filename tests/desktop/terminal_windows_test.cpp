// A terminal's windows, each with shells of its own: the folder given is that of the window in
// front, followed as the person switches windows, and a shell that leaves for another folder
// is followed at the next capture.
#include <filesystem>

#include <gtest/gtest.h>

#include "desktop/desktop_session.h"

namespace desktop_test {
namespace {

class TerminalWindowsTest : public DesktopViewTest {
  protected:
    // The link the terminal's front window gives, once it is `wanted` (a shell sets its title
    // a moment after it changes folder).
    std::string linkOnceItIs(const RealApplication& terminal, const std::string& wanted) {
        DesktopApplicationView view;
        viewShows(terminal.pid, &DesktopDocument::url, wanted, 15s, &view);
        return view.frontDocument ? view.frontDocument->url : std::string();
    }
};

TEST_F(TerminalWindowsTest, TheFrontWindowsShellIsFollowedAcrossWindowsAndFolders) {
    REQUIRE_APPLICATION(terminal, "xfce4-terminal");
    ASSERT_TRUE(RealApplications::activate(terminal));
    ASSERT_EQ(linkOnceItIs(terminal, terminal.documentURL), terminal.documentURL);

    // A second window of the same terminal process, in a folder neither tab of the first
    // window works in; its title names no folder, so only the window tells.
    const std::string home = std::getenv("HOME");
    const std::string third = home + "/docs/third";
    std::filesystem::create_directories(third);
    const std::string root = std::getenv("PENDRA_DESKTOP_ROOT");
    applications->start({"xfce4-terminal", "--window", "--working-directory=" + third, "-e",
                         "bash --norc", "--title", "Untitled"},
                        root + "/logs/xfce4-terminal-second");
    std::string second;
    ASSERT_TRUE(test_support::eventually(
        [&] {
            second = commandOutput("xdotool getactivewindow");
            return !second.empty() && second != terminal.window &&
                   commandOutput("xdotool getwindowpid " + second) == std::to_string(terminal.pid);
        },
        30s))
        << "the terminal opened no second window";
    EXPECT_EQ(linkOnceItIs(terminal, fileURL(third) + "/"), fileURL(third) + "/");

    // Back to the first window: its tab in front again.
    ASSERT_TRUE(RealApplications::activate(terminal));
    EXPECT_EQ(linkOnceItIs(terminal, terminal.documentURL), terminal.documentURL);

    // The shell of the tab in front changes folder, and its title says so.
    commandOutput("xdotool type --delay 20 'cd ~/docs/third'");
    commandOutput("xdotool key Return");
    EXPECT_EQ(linkOnceItIs(terminal, fileURL(third) + "/"), fileURL(third) + "/");
    commandOutput("xdotool type --delay 20 'cd -'");
    commandOutput("xdotool key Return");
    EXPECT_EQ(linkOnceItIs(terminal, terminal.documentURL), terminal.documentURL);
}

}  // namespace
}  // namespace desktop_test
