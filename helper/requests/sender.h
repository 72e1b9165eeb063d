// Finds out which running application sent an Apple Event, from the event's address attribute.
#pragma once

#include <optional>
#include <string>

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

}  // namespace pendra
