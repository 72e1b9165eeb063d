#include "helper/pendra_sandbox_helper.h"
#include "platform/linux_platform.h"

int main() {
    platform::linux_platform::LinuxPlatform linuxPlatform;
    platform::ScopedInstall installed(linuxPlatform.services());
    return pendra::helperMain();
}
