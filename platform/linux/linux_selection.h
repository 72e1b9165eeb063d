// The text a person has selected on the desktop, read as a window-less client: from an X11
// selection owner (ICCCM conversion, INCR transfers included) or from a Wayland compositor
// that offers the data-control protocol. Every wait has the caller's deadline, so an owner
// that never answers costs that long and no more.
#pragma once

#include <chrono>
#include <cstddef>

#include "platform/linux_platform.h"

namespace platform::linux_platform {

// From the display named by $DISPLAY; `unavailable` when there is none.
SelectionReading readX11Selection(SelectionKind kind, std::chrono::milliseconds timeout,
                                  std::size_t limit);
// From the compositor named by $WAYLAND_DISPLAY; `unavailable` when there is none or it does
// not offer zwlr_data_control_manager_v1.
SelectionReading readWaylandSelection(SelectionKind kind, std::chrono::milliseconds timeout,
                                      std::size_t limit);

// Latin-1 text (the X11 STRING type) as UTF-8.
std::string utf8FromLatin1(std::string_view latin1);

}  // namespace platform::linux_platform
