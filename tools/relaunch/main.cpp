#include "platform/linux_platform.h"
#include "tools/relaunch/termination_listener.h"

int main(int argc, char** argv) {
    platform::linux_platform::LinuxPlatform linuxPlatform;
    platform::ScopedInstall installed(linuxPlatform.services());
    return relaunch_tool::relaunchToolMain(argc, argv);
}
