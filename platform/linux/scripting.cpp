#include "linux_scripting.h"

#include "applescript_interpreter.h"

namespace platform::linux_platform {

std::unique_ptr<AppleScript> LinuxScriptingComponent::makeAppleScriptWithSource(
    const std::string& source) {
    // Script objects of our own interpreter; compiled when they first run.
    return applescript::makeScript(source);
}

}  // namespace platform::linux_platform
