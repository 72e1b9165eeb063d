#include "platform/linux_platform.h"
#include "tools/remove/termination_listener.h"

int main(int argc, char** argv) {
    platform::linux_platform::LinuxPlatform linuxPlatform;
    platform::ScopedInstall installed(linuxPlatform.services());
    return remove_tool::removeToolMain(argc, argv);
}
