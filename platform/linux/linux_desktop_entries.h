// The applications a Linux desktop knows: its desktop entries ("*.desktop" files under
// $XDG_DATA_HOME/applications and each $XDG_DATA_DIRS/applications), read with the layer's own
// desktop-entry reader (regular files only, see linux_desktop_entry_files.h). An entry's id is
// its path below the applications folder with "/" made "-" and without ".desktop"; the first
// folder that holds an id wins. Folders below are walked four deep, a linked one too, but each
// folder once however many links lead to it.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform::linux_platform {

struct ApplicationEntry {
    std::string id;    // "org.gnome.gedit"
    std::string path;  // the file
    std::string name;  // Name, in the user's language where the entry has it
    std::string startupWMClass;
    std::string execProgram;     // the program of Exec, without arguments
    std::string tryExecProgram;  // TryExec
    // Both programs as real paths (a bare name found through PATH); empty when not found.
    std::string execPath;
    std::string tryExecPath;
    bool execHasOptions = false;    // Exec gives the program more than files to open
    bool terminalEmulator = false;  // Categories holds TerminalEmulator
};

// The application a desktop entry's text describes; absent when it is no application entry
// (another type, Hidden, or no Name). `locales` are the language keys to prefer, most specific
// first.
std::optional<ApplicationEntry> applicationEntryOf(const std::string& text,
                                                   const std::vector<std::string>& locales);

// The program an Exec line starts: its first word, past an "env VAR=value" prefix; `options`
// tells whether arguments other than the files to open follow it.
std::string programOfExec(const std::string& exec, bool* options = nullptr);

// The language keys of the user's locale (LC_ALL, LC_MESSAGES, LANG), most specific first:
// "de_AT@euro" gives de_AT@euro, de_AT, de@euro, de.
std::vector<std::string> localeKeys();

// The folders searched, in order of precedence.
std::vector<std::string> desktopEntryFolders();

class DesktopEntryIndex {
  public:
    // The index of the entries on disk now; read again only when a folder has changed.
    static std::shared_ptr<const DesktopEntryIndex> current();
    // Reads the entries of the given applications folders, first folder first.
    static DesktopEntryIndex read(const std::vector<std::string>& folders);

    const ApplicationEntry* entryWithId(const std::string& id) const;
    // The entry whose StartupWMClass equals the window class, ignoring case.
    const ApplicationEntry* entryWithWindowClass(const std::string& windowClass) const;
    // The entry whose TryExec or Exec program is the executable (both resolved to real paths,
    // a bare program name through PATH); one that starts the program without options before
    // one that starts it for a settings window or the like.
    const ApplicationEntry* entryWithExecutable(const std::string& executable) const;

    const std::vector<ApplicationEntry>& entries() const { return entries_; }

  private:
    std::vector<ApplicationEntry> entries_;
    std::map<std::string, std::size_t> byId_;
    std::vector<std::pair<std::string, long long>> stamps_;  // each folder read, its mtime
};

}  // namespace platform::linux_platform
