#include "helper/pendra_sandbox_helper.h"
#include "platform/linux_platform.h"

int main() {
    // The helper exists to be reached by its main application: unreachable, it ends, so that
    // the next start can take its place.
    platform::linux_platform::LinuxPlatform linuxPlatform({.endWhenUnreachable = true});
    platform::ScopedInstall installed(linuxPlatform.services());
    return pendra::helperMain();
}
