// Where a window is, as its location field says it: the folder a file manager shows, the
// address a browser's address bar holds. Applications whose tree has no document object show
// their place there alone.
#pragma once

#include <optional>
#include <string>

#include "linux_desktop.h"

namespace platform::linux_platform {

// Whether a field's text is a location: an absolute path, one under the home folder ("~/…"),
// or an address with a scheme ("file:///…", "https://…", "about:…"). Anything else a text
// field may hold (a search, a file name being typed) is not.
bool isLocationText(const std::string& text);

// Whether a text holds a control character (a line break among them), which no location does.
bool hasControlCharacters(const std::string& text);

// The document a location names: a path (as file managers show it) that is there, by its own
// name and its file URL; an address (as browsers show it), by the window's title. Absent for
// anything else.
std::optional<DesktopDocument> documentOfLocation(const std::string& text,
                                                  const std::string& windowTitle,
                                                  const std::string& home);

}  // namespace platform::linux_platform
