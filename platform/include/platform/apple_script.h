// Script objects made from AppleScript source, and the keys of their error information.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/apple_event_descriptor.h"
#include "platform/property_list.h"

namespace platform {

inline constexpr const char* NSAppleScriptErrorMessage = "NSAppleScriptErrorMessage";
inline constexpr const char* NSAppleScriptErrorNumber = "NSAppleScriptErrorNumber";
inline constexpr const char* NSAppleScriptErrorAppName = "NSAppleScriptErrorAppName";
inline constexpr const char* NSAppleScriptErrorBriefMessage = "NSAppleScriptErrorBriefMessage";
inline constexpr const char* NSAppleScriptErrorRange = "NSAppleScriptErrorRange";

// Error information: a dictionary under the keys above.
using ScriptErrorInfo = PropertyList::Dictionary;

class AppleScript {
  public:
    virtual ~AppleScript() = default;

    virtual const std::string& source() const = 0;
    // Runs the script's implicit run handler synchronously. On failure answers absent and
    // fills *errorInfo (when given) with at least the number and the message.
    virtual std::optional<AppleEventDescriptor> executeAndReturnError(
        ScriptErrorInfo* errorInfo) = 0;
    // Executes an Apple Event against the script (a subroutine call 'ascr'/'psbr' runs the
    // handler named by 'snam' with the direct-parameter list).
    virtual std::optional<AppleEventDescriptor> executeAppleEvent(const AppleEventDescriptor& event,
                                                                  ScriptErrorInfo* errorInfo) = 0;
};

class ScriptingComponent {
  public:
    virtual ~ScriptingComponent() = default;
    // A script object from source text, not compiled or run yet (initWithSource:); absent when
    // no object can be made.
    virtual std::unique_ptr<AppleScript> makeAppleScriptWithSource(const std::string& source) = 0;
};

}  // namespace platform
