// The file a text editor's window shows, read from its title: "name (folder) - Editor" with
// "~" for the home folder, or "/full/path - Editor" ("~/path - Editor" under the home folder,
// as editors show it to everyone but root), either with "*" in front while modified.
// A title that leaves the folder open (a bare name, or a folder shortened with "…") is settled
// by the files the desktop recorded as recently used ($XDG_DATA_HOME/recently-used.xbel).
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace platform::linux_platform {

struct TitledFile {
    std::string name;             // the file's name, as the title gives it
    std::string path;             // its full path; empty when the title does not settle it
    std::string shortenedFolder;  // the folder as a title shortened it with "…"
};

// What the title says, without looking anywhere. A title without " - " is no editor's.
std::optional<TitledFile> parseEditorTitle(const std::string& title, const std::string& home);

// One file of the recently-used list.
struct RecentFile {
    std::string path;
    std::string modified;                   // ISO 8601 time, compared as text
    std::vector<std::string> applications;  // the names of the programs that used it
};

// The files of a recently-used list's text (XBEL); entries that are no local files are left out.
std::vector<RecentFile> parseRecentlyUsed(const std::string& text);

// The file the title names, its path settled by the recently-used files where the title leaves
// it open: the most recently used file of that name (in a folder that fits a shortened
// folder), preferring those the editor itself used. Absent when the title names no file.
std::optional<TitledFile> fileOfEditorTitle(const std::string& title,
                                            const std::string& editorName);

}  // namespace platform::linux_platform
