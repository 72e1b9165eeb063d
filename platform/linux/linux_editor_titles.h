// The file an editor's or viewer's window shows, read from its title: "name (folder) - Editor"
// with "~" for the home folder, "/full/path - Editor" ("~/path - Editor" under the home folder,
// as editors show it to everyone but root), "name - /folder - Editor", any of them with "*" in
// front while modified, or "name — Editor" and "name — Document title" (an em dash; "name * —"
// while modified). A title that leaves the folder open (a bare name, or a folder shortened
// with "…") is settled by the file of that name the process holds open, else by the files the
// desktop recorded as recently used ($XDG_DATA_HOME/recently-used.xbel).
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace platform::linux_platform {

struct TitledFile {
    std::string name;             // the file's name, as the title gives it
    std::string path;             // its full path; empty when the title does not settle it
    std::string shortenedFolder;  // the folder as a title shortened it with "…"
};

// What the title says, without looking anywhere. A title without " - " or " — " is no
// editor's.
std::optional<TitledFile> parseEditorTitle(const std::string& title, const std::string& home);

// The path a menu item of recently used files gives for a file of that name, when the item
// reads "name [/full/path]" (as Qt editors list them); absent for any other item.
std::optional<std::string> pathOfRecentFileItem(const std::string& item, const std::string& name);

// The regular file of that name (in a folder that fits a shortened folder, when one is given)
// that the process holds open; empty when it holds none or its files cannot be read.
std::string openFileOfProcess(pid_t pid, const std::string& name,
                              const std::string& shortenedFolder = {});

// One file of the recently-used list.
struct RecentFile {
    std::string path;
    std::string modified;                   // ISO 8601 time, compared as text
    std::vector<std::string> applications;  // the names of the programs that used it
};

// The files of a recently-used list's text (XBEL); entries that are no local files are left out.
std::vector<RecentFile> parseRecentlyUsed(const std::string& text);

// The file the title names, its path settled where the title leaves it open by the file of
// that name the process `pid` holds open, else by the recently-used files: the most recently
// used file of that name (in a folder that fits a shortened folder), preferring those the
// editor itself used. A title that is a bare name names the file of that name the process
// holds open (a viewer's title for a document without a title of its own). Absent when the
// title names no file.
std::optional<TitledFile> fileOfEditorTitle(const std::string& title, const std::string& editorName,
                                            pid_t pid = 0);

}  // namespace platform::linux_platform
