// Script objects of the scripting language: source text compiled on first run and evaluated by
// a tree walker. Object specifiers are resolved by sending get-data events to the target
// application through the platform's Apple Event manager; applications are found through the
// platform's workspace. The library depends on the platform contracts only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/apple_script.h"

namespace platform::applescript {

// Error numbers a script run answers besides those of the transport and of `error` statements.
inline constexpr OSStatus kVariableNotDefined = -2753;
inline constexpr OSStatus kWrongNumberOfParameters = -1721;
inline constexpr OSStatus kStackOverflow = -2706;

struct Options {
    // A run stops with a timeout error after this many evaluation steps or this much time
    // (waiting for replies included), whichever comes first.
    std::int64_t maximumSteps = 2'000'000;
    double maximumSeconds = 120;
    // Finds an application's bundle identifier from its name; absent when none has it. The
    // workspace's applications are searched when it is not set.
    std::function<std::optional<std::string>(const std::string& name)> applicationNamed;
};

std::unique_ptr<AppleScript> makeScript(std::string source, Options options = {});

}  // namespace platform::applescript
