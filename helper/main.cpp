#include <string>
#include <vector>

#include "helper/pendra_sandbox_helper.h"
#include "platform/linux_platform.h"

int main(int argc, char** argv) {
    // The helper exists to be reached by its main application: unreachable, it ends, so that
    // the next start can take its place.
    platform::linux_platform::LinuxPlatform linuxPlatform({.endWhenUnreachable = true});
    platform::ScopedInstall installed(linuxPlatform.services());
    return pendra::helperMain(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc));
}
