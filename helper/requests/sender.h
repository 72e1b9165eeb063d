// Finds out which running application sent an Apple Event, from the event's address attribute.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/apple_event_descriptor.h"
#include "platform/workspace.h"

namespace pendra {

// The running application whose process sent the event: the 'addr' attribute coerced to a
// process serial number, that number's process id, and the running application with it.
// Absent when the attribute is missing, the coercion yields no serial number, the process
// manager knows no such process or no running application has that process id.
std::optional<platform::RunningApplication> senderApplication(
    const platform::AppleEventDescriptor& event);

// The bundle identifier of senderApplication; absent whenever that is absent or has none.
std::optional<std::string> senderBundleIdentifier(const platform::AppleEventDescriptor& event);

// The executable file that the sending process runs: the process of the 'addr' attribute, as
// for senderApplication, and the path the process manager reports for it. Absent whenever the
// process cannot be found or inspected.
std::optional<std::string> senderExecutablePath(const platform::AppleEventDescriptor& event);

// True when the sending process runs the executable of the installed application (the bundle
// that the workspace locates) of one of the bundle identifiers. Only the process the transport
// names counts; nothing the event carries in its parameters does.
bool senderRunsInstalledApplication(const platform::AppleEventDescriptor& event,
                                    const std::vector<std::string>& bundleIdentifiers);

}  // namespace pendra
