// One answer to the application that asked for a quick entry: the autofill reply event
// ('PNDR'/'sqep') carrying the title and BBCode notes in its quick entry properties record
// ('qepp'), merged with the properties the caller sent along.
#pragma once

#include <optional>
#include <string>

#include "platform/apple_event_descriptor.h"

namespace pendra {

class PendraSandboxHelperQuickEntryWithAutofillCall {
  public:
    // Assigns both values through the setters.
    PendraSandboxHelperQuickEntryWithAutofillCall(
        const std::optional<std::string>& callerAppBundleIdentifier,
        const std::optional<platform::AppleEventDescriptor>& propertiesDescriptor);

    static PendraSandboxHelperQuickEntryWithAutofillCall callWithCallerAppBundleIdentifier(
        const std::optional<std::string>& callerAppBundleIdentifier,
        const std::optional<platform::AppleEventDescriptor>& propertiesDescriptor);

    const std::optional<std::string>& callerAppBundleIdentifier() const {
        return callerAppBundleIdentifier_;
    }
    void setCallerAppBundleIdentifier(const std::optional<std::string>& callerAppBundleIdentifier);

    // The caller's own quick entry properties: its 'note', 'pnam' and 'tnam' entries are sent
    // back, everything else in it is not.
    const std::optional<platform::AppleEventDescriptor>& propertiesDescriptor() const {
        return propertiesDescriptor_;
    }
    void setPropertiesDescriptor(
        const std::optional<platform::AppleEventDescriptor>& propertiesDescriptor);

    // The reply's target: a 'bund' address holding the identifier's UTF-8 bytes (no terminator,
    // no length), empty when there is no identifier. Built afresh on every call.
    platform::AppleEventDescriptor callerAppDescriptor() const;

    // Builds the reply event and sends it, waiting for the hand-over only; a failed send is
    // logged to the console and otherwise ignored. An empty string counts as given. The note
    // and title go whole, never cut: an answer larger than the transport carries goes again
    // without the caller's note, then without any note, then without the title too, each time
    // with a log line that says what was left out. Each call answers with one event.
    void respondWithTitle(const std::optional<std::string>& title,
                          const std::optional<std::string>& bbCodeNotes) const;

  private:
    // What an answer holds, from everything to the tags alone; each step leaves out more.
    enum class Content { whole, withoutCallersNote, withoutNote, withoutTexts };

    // The quick entry properties record to send, or absent when the event goes without one.
    std::optional<platform::AppleEventDescriptor> _quickEntryPropertiesWithTitle(
        const std::optional<std::string>& title, const std::optional<std::string>& bbCodeNotes,
        Content content) const;

    std::optional<std::string> callerAppBundleIdentifier_;
    std::optional<platform::AppleEventDescriptor> propertiesDescriptor_;
};

}  // namespace pendra
