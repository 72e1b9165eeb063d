#include "devtools/sample_document.h"

#include <algorithm>

#include "platform/object_model.h"
#include "platform/url.h"
#include "platform/utf.h"

namespace devtools {

using platform::AppleEventDescriptor;

namespace {

using platform::cApplication;
using platform::cDocument;
using platform::cWindow;

// The application's objects: one document and its window, both the front one, once a document
// is open.
class SampleObjects final : public platform::ObjectModel {
  public:
    explicit SampleObjects(const std::optional<SampleDocument>& document) : document_(document) {}

    std::size_t countElements(const platform::ObjectReference& container,
                              platform::DescType elementClass) const override {
        const bool held = elementClass == cDocument || elementClass == cWindow;
        return container.objectClass() == cApplication && held && document_ ? 1 : 0;
    }

    std::optional<std::string> name(const platform::ObjectReference& object) const override {
        switch (object.objectClass()) {
            case cApplication:
                return kSampleDocumentName;
            case cDocument:
                return document_->name;
            case cWindow:
                return document_->frontWindowName();
            default:
                return std::nullopt;
        }
    }

    std::optional<AppleEventDescriptor> property(const platform::ObjectReference& object,
                                                 platform::DescType code) const override {
        const auto text = [](const std::string& value) {
            return std::optional(AppleEventDescriptor::descriptorWithString(value));
        };
        if (object.objectClass() == cApplication && code == platform::pIsFrontmost) {
            return AppleEventDescriptor::descriptorWithBoolean(true);
        }
        if (object.objectClass() != cDocument) {
            return std::nullopt;
        }
        if (code == platform::pURL) {
            return text(document_->url);
        }
        const auto path = document_->path();
        if ((code == platform::pPath || code == platform::pFile) && path) {
            return text(*path);
        }
        return std::nullopt;
    }

  private:
    const std::optional<SampleDocument>& document_;
};

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

platform::GetDataAnswer answerGetData(const AppleEventDescriptor& event,
                                      const std::optional<SampleDocument>& document) {
    return platform::answerGetData(event, SampleObjects(document));
}

AppleEventDescriptor frontObjectPropertySpecifier(platform::DescType objectClass,
                                                  platform::DescType property) {
    const auto front = AppleEventDescriptor::objectSpecifierWithDesiredClass(
        objectClass, AppleEventDescriptor::nullDescriptor(), platform::formAbsolutePosition,
        AppleEventDescriptor::descriptorWithInt32(1));
    return AppleEventDescriptor::objectSpecifierWithDesiredClass(
        platform::cProperty, front, platform::formPropertyID,
        AppleEventDescriptor::descriptorWithTypeCode(property));
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
