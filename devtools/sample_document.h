// The sample document application: the document it holds, its answers to get-data events, the
// quick-entry URL it opens as the target of a URL connector, and the pasteboard it hands to the
// Services entry.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/apple_event_descriptor.h"
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

// Object classes, properties and forms of the get-data events it understands.
inline constexpr platform::DescType cDocument = platform::fourCharCode("docu");
inline constexpr platform::DescType cWindow = platform::fourCharCode("cwin");
inline constexpr platform::DescType cProperty = platform::fourCharCode("prop");
using platform::formAbsolutePosition;
using platform::formName;
using platform::formPropertyID;
inline constexpr platform::DescType typeAbsoluteOrdinal = platform::fourCharCode("abso");
inline constexpr platform::DescType kAEFirst = platform::fourCharCode("firs");
inline constexpr platform::DescType pName = platform::fourCharCode("pnam");
inline constexpr platform::DescType pURL = platform::fourCharCode("pURL");
inline constexpr platform::DescType pPath = platform::fourCharCode("ppth");
inline constexpr platform::DescType pFile = platform::fourCharCode("file");
inline constexpr platform::DescType pIsFrontmost = platform::fourCharCode("pisf");

// The answer to a get-data event: the value for the reply's direct object, or an error number.
struct GetDataAnswer {
    std::optional<platform::AppleEventDescriptor> value;
    platform::OSStatus error = platform::noErr;
};

// Resolves the direct object of a get-data event ('core'/'getd'): an object specifier ('obj '
// record of 'want', 'from', 'form', 'seld') of the application's name, of the name, URL, path
// or file of its front document (document 1, also by name), or of the name of its front window.
// An object that exists but is no property answers its own specifier, as scriptable
// applications do. Anything else, or no document, answers errAENoSuchObject (-1728).
GetDataAnswer answerGetData(const platform::AppleEventDescriptor& event,
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
