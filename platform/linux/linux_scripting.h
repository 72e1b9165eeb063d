// Script objects: made from source without running it, compiled and run by the script language
// library (platform/applescript).
#pragma once

#include "platform/apple_script.h"

namespace platform::linux_platform {

class LinuxScriptingComponent final : public ScriptingComponent {
  public:
    std::unique_ptr<AppleScript> makeAppleScriptWithSource(const std::string& source) override;
};

}  // namespace platform::linux_platform
