#include "platform/linux_platform.h"

#include "linux_file_manager.h"
#include "linux_processes.h"

namespace platform::linux_platform {

struct LinuxPlatform::Impl {
    LinuxFileManager fileManager;
    LinuxProcessManager processManager;
    LinuxTaskService tasks;
    LinuxProcessInfo processInfo;
    LinuxPathService paths;
};

LinuxPlatform::LinuxPlatform() : impl_(std::make_unique<Impl>()) {
    services_.fileManager = &impl_->fileManager;
    services_.processManager = &impl_->processManager;
    services_.tasks = &impl_->tasks;
    services_.processInfo = &impl_->processInfo;
    services_.paths = &impl_->paths;
}

LinuxPlatform::~LinuxPlatform() = default;

}  // namespace platform::linux_platform
