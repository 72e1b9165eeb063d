// The sample document application: the document it holds, its answers to get-data events, the
// quick-entry URL it opens as the target of a URL connector, and the pasteboard it hands to the
// Services entry.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/apple_event_descriptor.h"
#include "platform/object_model.h"
#include "platform/pasteboard.h"

namespace devtools {

inline constexpr const char* kSampleDocumentBundleIdentifier = "com.orvano.SampleDocument";
inline constexpr const char* kSampleDocumentName = "Sample Document";
// The scheme it declares, so that a URL connector can reach it.
inline constexpr const char* kSampleDocumentURLScheme = "pendrasample";
inline constexpr const char* kQuickEntryServiceMessage = "quickEntryWithAutofill";

struct SampleDocument {
    std::string name;
    std::string url;
    // The front window's title; the document's name when not given.
    std::optional<std::string> windowName;

    // The file-system path of the document when its URL is a file URL.
    std::optional<std::string> path() const;
    std::string frontWindowName() const { return windowName.value_or(name); }
};

// Answers a get-data event ('core'/'getd') from the application's objects: its name; its one
// document (by index, ordinal or name) with name, URL, and path and file for a file URL; the
// document's window with its name. The object model's resolver reads the specifier; anything
// else, or no document, answers errAENoSuchObject (-1728).
platform::GetDataAnswer answerGetData(const platform::AppleEventDescriptor& event,
                                      const std::optional<SampleDocument>& document);

// The specifier of a property of the front document (or, with cWindow, the front window), as a
// script's "name of front document" sends it.
platform::AppleEventDescriptor frontObjectPropertySpecifier(platform::DescType objectClass,
                                                            platform::DescType property);

// "pendrahelper://quickentry?title=...&url=..." (and "&path=..." for a file), every value
// percent-encoded so that it reaches the helper unchanged.
std::string quickEntryURL(const SampleDocument& document);

// Whether a URL is one the application answers as the target of a URL connector.
bool isOwnSchemeURL(const std::string& url);

// The pasteboard the Services menu hands over: the types in the order given; the selection as
// the text of each plain-text type among them.
platform::Pasteboard servicesPasteboard(const std::string& selection,
                                        const std::vector<std::string>& types);

}  // namespace devtools
