#include "linux_scripting.h"

#include "applescript/script.h"

namespace platform::linux_platform {

std::unique_ptr<AppleScript> LinuxScriptingComponent::makeAppleScriptWithSource(
    const std::string& source) {
    // Script objects of the language library; compiled when they first run.
    return applescript::makeScript(source);
}

}  // namespace platform::linux_platform
