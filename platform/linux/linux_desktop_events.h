// Get-data events answered for an application of the desktop that does not speak the bus
// protocol, from what its accessibility tree shows: the application's name and frontmost; its
// windows, front first, with their names; its front document (of the front window) with name,
// URL, and path and file for a local file.
#pragma once

#include "linux_desktop.h"
#include "platform/apple_event_descriptor.h"

namespace platform::linux_platform {

// Fills the reply to a get-data event as a scriptable application would: the value as the
// direct object, or the error number (errAENoSuchObject for what is not there,
// errAEEventNotHandled for another event).
void answerDesktopEvent(const AppleEventDescriptor& event, const std::string& applicationName,
                        const DesktopApplicationView& view, AppleEventDescriptor& reply);

}  // namespace platform::linux_platform
