// The output of the programs that play the other side of the session: one line per fact, in a
// form that stays the same from run to run, so that a person can read it and a test can match it.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/apple_event_descriptor.h"
#include "platform/distributed_notification_center.h"

namespace devtools {

// Text in double quotes, with backslash, quote, line feed, carriage return, tab and other
// control characters escaped, so that a value never spans lines.
std::string quoted(const std::string& text);

// A descriptor's value on one line: text types quoted, integers in decimal, type and enumeration
// codes in single quotes, records and lists in their diagnostic form.
std::string valueText(const platform::AppleEventDescriptor& descriptor);

// "<label> '<type>' <value>", for example: qepp note 'utxt' "Title"
std::string descriptorLine(const std::string& label, const platform::AppleEventDescriptor& value);

// The lines that report an autofill reply event: "reply PNDR/sqep", then one line per entry of
// its 'qepp' record in order ("qepp note 'utxt' ..."), or "qepp absent" when the event has no such
// parameter, or "qepp '<type>' <value>" when it is not a record; then "reply end".
std::vector<std::string> autofillReplyLines(const platform::AppleEventDescriptor& event);

// The lines that report a distributed notification: "notification <name>", then
// "notification-object <name> ..." when it has an object, then one
// "notification-info <name> <key> <value>" line per user-info entry in key order.
std::vector<std::string> notificationLines(const std::string& name,
                                           const std::optional<std::string>& object,
                                           const platform::NotificationUserInfo& userInfo);

// Whether a notification is one of the helper's (its names start with the helper's prefix).
bool isHelperNotification(const std::string& name);

// Writes one fact line, or several, to standard output at once, so that a reader sees each
// line as soon as it is known.
void emit(const std::string& line);
void emitAll(const std::vector<std::string>& lines);

}  // namespace devtools
