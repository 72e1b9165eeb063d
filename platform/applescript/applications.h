// Finding the application a script names, through the platform's workspace: `tell application
// "Name"` and `tell application id "identifier"`.
#pragma once

#include <optional>
#include <string>

#include "platform/workspace.h"

namespace platform::applescript {

// The bundle identifier of the application with this name: the frontmost application when its
// name matches, then an installed one (by its folder name, CFBundleName or CFBundleDisplayName),
// ignoring case, then an identifier of a running or installed application, then the name of any
// running application. Absent when no application has the name.
std::optional<std::string> bundleIdentifierForApplicationNamed(const std::string& name);

// Bundle identifiers name an application whatever their case, as the system's own lookups do;
// events go out under the spelling the application declares, which the transport addresses.
// The identifier as given when no application declares it.
// `running` is what runs under `identifier` as given, when the caller has asked already.
std::string declaredBundleIdentifier(const std::string& identifier,
                                     const std::optional<RunningApplication>& running);

}  // namespace platform::applescript
