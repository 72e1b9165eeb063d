// Two terminals, each with two tabs whose shells work in different folders and write the
// prompt's usual title ("user@host: ~/folder"), and a mail client showing a message of a local
// folder, in a profile written here.
#include <pwd.h>
#include <unistd.h>

#include <filesystem>

#include "desktop/desktop_session.h"

namespace desktop_test {
namespace {

// The title bash's usual prompt gives a window: "user@host: ~/folder".
std::string promptTitle(const SessionFolders& folders, const std::string& folder) {
    const passwd* user = ::getpwuid(::geteuid());
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    const std::string shortHost = std::string(host).substr(0, std::string(host).find('.'));
    return std::string(user != nullptr ? user->pw_name : "") + "@" + shortHost + ": ~" +
           folder.substr(folders.home.size());
}

// A profile with the local folders account, whose inbox holds one message, and no first-start
// wizards. The session opens the inbox, which makes the client read the folder; once it has,
// the message is shown through the command line, as a link to it would be.
std::vector<std::string> mailClient(const SessionFolders& folders) {
    const std::string profile = folders.root + "/thunderbird";
    test_support::writeFile(
        profile + "/user.js",
        "user_pref(\"mail.accountmanager.accounts\", \"account1\");\n"
        "user_pref(\"mail.accountmanager.localfoldersserver\", \"server1\");\n"
        "user_pref(\"mail.account.account1.server\", \"server1\");\n"
        "user_pref(\"mail.account.lastKey\", 1);\n"
        "user_pref(\"mail.server.server1.directory-rel\", \"[ProfD]Mail/Local Folders\");\n"
        "user_pref(\"mail.server.server1.hostname\", \"Local Folders\");\n"
        "user_pref(\"mail.server.server1.name\", \"Local Folders\");\n"
        "user_pref(\"mail.server.server1.type\", \"none\");\n"
        "user_pref(\"mail.server.server1.userName\", \"nobody\");\n"
        "user_pref(\"mail.provider.suppress_dialog_on_startup\", true);\n"
        "user_pref(\"mail.shell.checkDefaultClient\", false);\n"
        "user_pref(\"mailnews.start_page.enabled\", false);\n"
        "user_pref(\"mail.spotlight.firstRunDone\", true);\n"
        "user_pref(\"mail.rights.version\", 1);\n"
        "user_pref(\"datareporting.policy.dataSubmissionEnabled\", false);\n"
        "user_pref(\"toolkit.telemetry.reportingpolicy.firstRun\", false);\n"
        "user_pref(\"app.update.auto\", false);\n");
    test_support::writeFile(profile + "/Mail/Local Folders/Inbox",
                            "From - Mon Dec  7 10:00:00 2026\n"
                            "From: Ann <ann@example.org>\n"
                            "To: Bob <bob@example.org>\n"
                            "Subject: Quarterly figures\n"
                            "Date: Mon, 7 Dec 2026 10:00:00 +0000\n"
                            "Message-ID: <figures@example.org>\n"
                            "\n"
                            "Hello Bob, the figures are in.\n"
                            "\n");
    // The client reads a folder when it first shows it: a first start, under a window class
    // of its own that the test does not look for, shows the inbox and is ended; the start the
    // test sees brings back the inbox and the message in a tab of its own, as a person's
    // client brings back what was open. Should the message not show, it is asked for again
    // through the running client, as a link to it would be.
    const std::string folderTab =
        R"({"mode":"mail3PaneTab","state":{"firstTab":true,)"
        R"("folderURI":"mailbox://nobody@Local%20Folders/Inbox","folderPaneVisible":true,)"
        R"("messagePaneVisible":true},"ext":{}})";
    const std::string messageTab =
        R"({"mode":"mailMessageTab","state":{"messageURI":)"
        R"("mailbox-message://nobody@Local%20Folders/Inbox#1"},"ext":{}})";
    auto session = [](int selected, const std::string& tabs) {
        return R"({"rev":0,"windows":[{"type":"3pane","tabs":{"rev":0,"selectedIndex":)" +
               std::to_string(selected) + R"(,"tabs":[)" + tabs + "]}}]}";
    };
    test_support::writeFile(profile + "/session.json", session(0, folderTab));
    test_support::writeFile(profile + "/session-with-message.json",
                            session(1, folderTab + "," + messageTab));
    test_support::writeFile(
        profile + "/show-message.sh",
        "profile=$1\n"
        "titled() { xdotool search --onlyvisible --class \"$1\" --all --name \"$2\" "
        ">/dev/null 2>&1; }\n"
        "thunderbird --class pendra-first-start --profile \"$profile\" &\n"
        "first=$!\n"
        "for second in $(seq 360); do\n"
        "    [ -e \"$profile/Mail/Local Folders/Inbox.msf\" ] && break\n"
        "    sleep 0.5\n"
        "done\n"
        "sleep 3\n"
        "kill $first\n"
        "for second in $(seq 60); do kill -0 $first 2>/dev/null || break; sleep 0.5; done\n"
        "kill -9 $first 2>/dev/null\n"
        "cp \"$profile/session-with-message.json\" \"$profile/session.json\"\n"
        "thunderbird --profile \"$profile\" &\n"
        "for second in $(seq 120); do titled thunderbird-default \"^$2 - \" && break; "
        "sleep 0.5; done\n"
        "titled thunderbird-default \"^$2 - \" ||\n"
        "    thunderbird --profile \"$profile\" "
        "'mailbox-message://nobody@Local%20Folders/Inbox#1'\n"
        "wait\n");
    return {"sh", profile + "/show-message.sh", profile, "Quarterly figures"};
}

std::vector<RealApplication> terminalsAndMail(const SessionFolders& folders) {
    const std::string first = folders.docs + "/terminal one";
    const std::string second = folders.docs + "/shell two";
    std::filesystem::create_directories(first);
    std::filesystem::create_directories(second);
    // Debian's usual prompt, which writes the working folder into the window's title.
    const std::string rc = folders.root + "/bashrc";
    test_support::writeFile(rc, "PS1='\\[\\e]0;\\u@\\h: \\w\\a\\]\\$ '\n");
    const std::string shell = "bash --rcfile '" + rc + "'";
    // GNOME Terminal starts the user's login shell in every tab unless its profile names a
    // command (the test's user has none); its server is started on the session bus.
    const std::string profile =
        "org.gnome.Terminal.Legacy.Profile:/org/gnome/terminal/legacy/"
        "profiles:/:b1dcc9dd-5262-4d8d-a863-c897e6d979b9/";
    const std::string gnomeTerminal = "gsettings set " + profile +
                                      " use-custom-command true && gsettings set " + profile +
                                      " custom-command \"'bash --rcfile " + rc +
                                      "'\" && exec gnome-terminal --window --working-directory='" +
                                      first + "' --tab " + "--working-directory='" + second + "'";
    // The second tab of xfce4-terminal is the one in front.
    const std::string mailbox = folders.root + "/thunderbird/Mail/Local%20Folders/Inbox";
    return {
        {"GNOME Terminal",
         "org.gnome.Terminal",
         "gnome-terminal",
         promptTitle(folders, first),
         fileURL(first) + "/",
         false,
         {"sh", "-c", gnomeTerminal},
         -1,
         {}},
        {"xfce4-terminal",
         "xfce4-terminal",
         "xfce4-terminal",
         "Terminal - " + promptTitle(folders, second),
         fileURL(second) + "/",
         true,
         {"xfce4-terminal", "--working-directory=" + first, "-e", shell, "--tab",
          "--working-directory=" + second, "-e", shell},
         -1,
         {}},
        {"Thunderbird",
         "thunderbird",
         "thunderbird-default",
         "Quarterly figures",
         "mailbox://" + mailbox + "?number=1",
         false,
         mailClient(folders),
         -1,
         {}},
    };
}

const GroupRegistration registration{"terminals-and-mail", terminalsAndMail};

}  // namespace
}  // namespace desktop_test
