// How an Apple Event crosses the session bus: flattened, as bytes in the message or, when it is
// large, in a memory file (linux_event_files.h) whose handle the bus daemon relays; a receiver
// that does not know memory files gets the bytes. And how the application object answers one.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/apple_event_descriptor.h"
#include "sd_bus_handles.h"

namespace platform::linux_platform {

class SessionBus;

// Sends `event` to the application object of the bus name `name`. With `replyTimeoutUsec` it
// waits that long for the answer, which it unflattens into `answer`; without, it returns once
// the bus has the event. noErr; procNotFound when nothing owns the name; errAEEventNotHandled
// when the owner does not speak our interface; errAETimeout; errAEEventFailed (logged) for an
// event larger than a message carries; errAENotAEDesc when the answer is no descriptor;
// errOSASystemError for the rest.
OSStatus sendEvent(SessionBus& bus, const std::string& name, const AppleEventDescriptor& event,
                   std::optional<std::uint64_t> replyTimeoutUsec,
                   std::optional<AppleEventDescriptor>& answer);

// The application object's methods that carry events (the connection exports them):
// HandleEvent(ay) and HandleEventInSharedMemory(h, t), both answering (ay). `userdata` is the
// SessionBus.
int handleEventMethod(sd_bus_message* message, void* userdata, sd_bus_error* error);
int handleEventInSharedMemoryMethod(sd_bus_message* message, void* userdata, sd_bus_error* error);

}  // namespace platform::linux_platform
