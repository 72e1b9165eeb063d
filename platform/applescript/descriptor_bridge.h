// The bridge between the language's values and Apple Event descriptors: replies and handler
// arguments become values, results and specifier keys become descriptors.
#pragma once

#include "platform/apple_event_descriptor.h"
#include "value.h"

namespace platform::applescript {

// A descriptor as a value. Object specifiers become references to the application of
// `target` (the application that answered them).
Value fromDescriptor(const AppleEventDescriptor& descriptor, const Value& target);
AppleEventDescriptor toDescriptor(const Value& value);

}  // namespace platform::applescript
