#include "devtools/sample_document.h"

#include <algorithm>
#include <variant>

#include "platform/url.h"
#include "platform/utf.h"

namespace devtools {

using platform::AppleEventDescriptor;

namespace {

// What a specifier names while it is being resolved.
struct ApplicationObject {};
struct DocumentObject {};
struct WindowObject {};
using Resolved = std::variant<ApplicationObject, DocumentObject, WindowObject, AppleEventDescriptor,
                              platform::OSStatus>;

constexpr int kMaximumSpecifierDepth = 16;

// Element 1 of the application, by index 1, the first ordinal, or the given name.
bool namesFrontElement(const AppleEventDescriptor& form, const AppleEventDescriptor& key,
                       const std::string& elementName) {
    const platform::DescType formCode = form.typeCodeValue();
    if (formCode == formAbsolutePosition) {
        if (key.descriptorType() == typeAbsoluteOrdinal ||
            key.descriptorType() == platform::typeEnumerated) {
            return key.typeCodeValue() == kAEFirst;
        }
        return key.descriptorType() == platform::typeSInt32 && key.int32Value() == 1;
    }
    if (formCode == formName) {
        return key.stringValue() == elementName;
    }
    return false;
}

Resolved property(const Resolved& container, platform::DescType code,
                  const std::optional<SampleDocument>& document) {
    if (std::holds_alternative<ApplicationObject>(container)) {
        if (code == pName) {
            return AppleEventDescriptor::descriptorWithString(kSampleDocumentName);
        }
        if (code == pIsFrontmost) {
            return AppleEventDescriptor::descriptorWithBoolean(true);
        }
    } else if (std::holds_alternative<DocumentObject>(container) && document) {
        if (code == pName) {
            return AppleEventDescriptor::descriptorWithString(document->name);
        }
        if (code == pURL) {
            return AppleEventDescriptor::descriptorWithString(document->url);
        }
        if ((code == pPath || code == pFile) && document->path()) {
            return AppleEventDescriptor::descriptorWithString(*document->path());
        }
    } else if (std::holds_alternative<WindowObject>(container) && document) {
        if (code == pName) {
            return AppleEventDescriptor::descriptorWithString(document->frontWindowName());
        }
    }
    return platform::errAENoSuchObject;
}

Resolved resolve(const AppleEventDescriptor& specifier,
                 const std::optional<SampleDocument>& document, int depth) {
    if (specifier.descriptorType() == platform::typeNull) {
        return ApplicationObject{};
    }
    if (depth > kMaximumSpecifierDepth ||
        specifier.descriptorType() != platform::typeObjectSpecifier) {
        return platform::errAENoSuchObject;
    }
    const auto want = specifier.descriptorForKeyword(platform::keyAEDesiredClass);
    const auto from = specifier.descriptorForKeyword(platform::keyAEContainer);
    const auto form = specifier.descriptorForKeyword(platform::keyAEKeyForm);
    const auto key = specifier.descriptorForKeyword(platform::keyAEKeyData);
    if (!want || !form || !key) {
        return platform::errAENoSuchObject;
    }
    const Resolved container =
        resolve(from.value_or(AppleEventDescriptor::nullDescriptor()), document, depth + 1);
    if (std::holds_alternative<platform::OSStatus>(container) ||
        std::holds_alternative<AppleEventDescriptor>(container)) {
        return platform::errAENoSuchObject;
    }
    const platform::DescType wanted = want->typeCodeValue();
    if (wanted == cProperty && form->typeCodeValue() == formPropertyID) {
        return property(container, key->typeCodeValue(), document);
    }
    if (!std::holds_alternative<ApplicationObject>(container) || !document) {
        return platform::errAENoSuchObject;
    }
    if (wanted == cDocument && namesFrontElement(*form, *key, document->name)) {
        return DocumentObject{};
    }
    if (wanted == cWindow && namesFrontElement(*form, *key, document->frontWindowName())) {
        return WindowObject{};
    }
    return platform::errAENoSuchObject;
}

// Unreserved characters of RFC 3986: everything else in a query value is encoded.
constexpr std::string_view kQueryValueAllowed =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~";

}  // namespace

std::optional<std::string> SampleDocument::path() const {
    auto parsed = platform::URL::URLWithString(url);
    if (!parsed || !parsed->isFileURL()) {
        return std::nullopt;
    }
    return parsed->path();
}

GetDataAnswer answerGetData(const AppleEventDescriptor& event,
                            const std::optional<SampleDocument>& document) {
    const auto directObject = event.paramDescriptorForKeyword(platform::keyDirectObject);
    if (!directObject) {
        return {std::nullopt, platform::errAENoSuchObject};
    }
    const Resolved resolved = resolve(*directObject, document, 0);
    if (const auto* value = std::get_if<AppleEventDescriptor>(&resolved)) {
        return {*value, platform::noErr};
    }
    if (const auto* status = std::get_if<platform::OSStatus>(&resolved)) {
        return {std::nullopt, *status};
    }
    return {*directObject, platform::noErr};
}

AppleEventDescriptor frontObjectPropertySpecifier(platform::DescType objectClass,
                                                  platform::DescType property) {
    const auto front = AppleEventDescriptor::objectSpecifierWithDesiredClass(
        objectClass, AppleEventDescriptor::nullDescriptor(), formAbsolutePosition,
        AppleEventDescriptor::descriptorWithInt32(1));
    return AppleEventDescriptor::objectSpecifierWithDesiredClass(
        cProperty, front, formPropertyID, AppleEventDescriptor::descriptorWithTypeCode(property));
}

std::string quickEntryURL(const SampleDocument& document) {
    std::string url =
        "pendrahelper://quickentry?title=" +
        platform::stringByAddingPercentEncoding(document.name, kQueryValueAllowed) +
        "&url=" + platform::stringByAddingPercentEncoding(document.url, kQueryValueAllowed);
    if (auto path = document.path()) {
        url += "&path=" + platform::stringByAddingPercentEncoding(*path, kQueryValueAllowed);
    }
    return url;
}

bool isOwnSchemeURL(const std::string& url) {
    const std::string prefix = std::string(kSampleDocumentURLScheme) + ":";
    return platform::utf::equalsIgnoringASCIICase(std::string_view(url).substr(0, prefix.size()),
                                                  prefix);
}

platform::Pasteboard servicesPasteboard(const std::string& selection,
                                        const std::vector<std::string>& types) {
    platform::Pasteboard pasteboard;
    for (const auto& type : types) {
        if (std::find(pasteboard.types.begin(), pasteboard.types.end(), type) !=
            pasteboard.types.end()) {
            continue;
        }
        pasteboard.types.push_back(type);
        if (type == platform::NSStringPboardType || type == "public.utf8-plain-text") {
            pasteboard.strings[type] = selection;
        }
    }
    return pasteboard;
}

}  // namespace devtools
