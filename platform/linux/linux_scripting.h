// Script objects. Running scripts is not available yet: every run answers error -2700 with a
// message that says so, which callers treat like any script error.
#pragma once

#include "platform/apple_script.h"

namespace platform::linux_platform {

class LinuxScriptingComponent final : public ScriptingComponent {
  public:
    std::unique_ptr<AppleScript> makeAppleScriptWithSource(const std::string& source) override;
};

}  // namespace platform::linux_platform
