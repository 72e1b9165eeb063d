// The Desktop Entry format, shared by the autostart entries (login items) and the desktop's
// application entries: its reading and writing, and the reading of an entry's file.
//
// Entry folders are written by anyone who can write the user's own folders, and by the
// packages of the system, so a "*.desktop" name says nothing of what it is: a FIFO would hold
// its reader until a writer came, a link to a device would give bytes without end. An entry is
// read only from a regular file, opened without following a link and without waiting, and only
// up to kMaximumDesktopEntryBytes.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace platform::linux_platform {

// The keys of the [Desktop Entry] group, values unescaped.
using DesktopEntry = std::map<std::string, std::string>;

// The most an entry's file may hold; entries are a few kilobytes.
inline constexpr std::size_t kMaximumDesktopEntryBytes = 1 << 20;

// The text of the entry file at `path`; absent, with the reason in `why`, when the path is not a
// regular file of at most kMaximumDesktopEntryBytes (a link, a FIFO, a device, a folder) or
// cannot be read.
std::optional<std::string> readDesktopEntryFile(const std::string& path, std::string* why);

// True when a file name ends in ".desktop" with a name before it.
bool isDesktopEntryName(const std::string& name);

// Reading and writing desktop entries as the Desktop Entry format defines them.
std::optional<DesktopEntry> parseDesktopEntry(const std::string& text);
std::string escapeDesktopString(const std::string& value);
// One argument of an Exec line, quoted where it must be, per-cent signs doubled; the result
// still needs escapeDesktopString as every string value does.
std::string quoteExecArgument(const std::string& argument);
// The arguments of an unescaped Exec value, field codes dropped.
std::vector<std::string> splitExecLine(const std::string& exec);

}  // namespace platform::linux_platform
