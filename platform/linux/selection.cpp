// The selection a command run from a key binding reads: the Wayland compositor's where it
// shares its selections through the data-control protocol, else the X11 display's (an X11
// desktop, or the X server of a Wayland desktop, which mirrors its selections there).
#include <algorithm>
#include <cstdlib>

#include "linux_selection.h"

namespace platform::linux_platform {

namespace {
using Clock = std::chrono::steady_clock;
using Outcome = SelectionReading::Outcome;
}  // namespace

SelectionReading readDesktopSelection(SelectionKind kind, std::chrono::milliseconds timeout,
                                      std::size_t limit) {
    const auto deadline = Clock::now() + timeout;
    SelectionReading wayland = readWaylandSelection(kind, timeout, limit);
    if (wayland.outcome != Outcome::unavailable) {
        return wayland;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    SelectionReading x11 =
        readX11Selection(kind, std::max(left, std::chrono::milliseconds(0)), limit);
    if (x11.outcome == Outcome::unavailable && std::getenv("WAYLAND_DISPLAY") != nullptr) {
        x11.detail = wayland.detail + ", and " + x11.detail;
    }
    return x11;
}

}  // namespace platform::linux_platform
