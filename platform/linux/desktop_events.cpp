#include <functional>
#include <variant>

#include "linux_desktop_events.h"

namespace platform::linux_platform {
namespace {

constexpr DescType cDocument = fourCharCode("docu");
constexpr DescType cWindow = fourCharCode("cwin");
constexpr DescType kAEFirst = fourCharCode("firs");
constexpr DescType kAELast = fourCharCode("last");
constexpr DescType kAEMiddle = fourCharCode("midd");
constexpr DescType pName = fourCharCode("pnam");
constexpr DescType pURL = fourCharCode("pURL");
constexpr DescType pPath = fourCharCode("ppth");
constexpr DescType pFile = fourCharCode("file");
constexpr DescType pIsFrontmost = fourCharCode("pisf");
constexpr int kMaximumSpecifierDepth = 16;

struct ApplicationObject {};
struct WindowObject {
    std::size_t index;
};
struct DocumentObject {};
using Resolved =
    std::variant<ApplicationObject, WindowObject, DocumentObject, AppleEventDescriptor, OSStatus>;

// The element that a form and key select among `count` elements named by `nameOf`.
std::optional<std::size_t> select(const AppleEventDescriptor& form, const AppleEventDescriptor& key,
                                  std::size_t count,
                                  const std::function<std::string(std::size_t)>& nameOf) {
    if (count == 0) {
        return std::nullopt;
    }
    const DescType formCode = form.typeCodeValue();
    if (formCode == formAbsolutePosition) {
        if (key.descriptorType() == typeAbsoluteOrdinal || key.descriptorType() == typeEnumerated) {
            switch (key.typeCodeValue()) {
                case kAEFirst:
                    return 0;
                case kAELast:
                    return count - 1;
                case kAEMiddle:
                    return (count - 1) / 2;
                default:
                    return std::nullopt;
            }
        }
        if (key.descriptorType() != typeSInt32) {
            return std::nullopt;
        }
        const std::int64_t index = key.int32Value();
        const std::int64_t size = static_cast<std::int64_t>(count);
        if (index >= 1 && index <= size) {
            return static_cast<std::size_t>(index - 1);
        }
        if (index < 0 && -index <= size) {
            return static_cast<std::size_t>(size + index);
        }
        return std::nullopt;
    }
    if (formCode == formName) {
        const auto name = key.stringValue();
        for (std::size_t i = 0; name && i < count; ++i) {
            if (nameOf(i) == *name) {
                return i;
            }
        }
    }
    return std::nullopt;
}

Resolved property(const Resolved& container, DescType code, const std::string& applicationName,
                  const DesktopApplicationView& view) {
    if (std::holds_alternative<ApplicationObject>(container)) {
        if (code == pName) {
            return AppleEventDescriptor::descriptorWithString(applicationName);
        }
        if (code == pIsFrontmost) {
            // Only the application in front is asked.
            return AppleEventDescriptor::descriptorWithBoolean(true);
        }
    } else if (const auto* window = std::get_if<WindowObject>(&container)) {
        if (code == pName) {
            return AppleEventDescriptor::descriptorWithString(view.windows[window->index].name);
        }
    } else if (std::holds_alternative<DocumentObject>(container)) {
        const DesktopDocument& document = *view.frontDocument;
        if (code == pName) {
            return AppleEventDescriptor::descriptorWithString(document.name);
        }
        if (code == pURL && !document.url.empty()) {
            return AppleEventDescriptor::descriptorWithString(document.url);
        }
        if ((code == pPath || code == pFile) && !document.path.empty()) {
            return AppleEventDescriptor::descriptorWithString(document.path);
        }
    }
    return errAENoSuchObject;
}

Resolved resolve(const AppleEventDescriptor& specifier, const std::string& applicationName,
                 const DesktopApplicationView& view, int depth) {
    if (specifier.descriptorType() == typeNull) {
        return ApplicationObject{};
    }
    if (depth > kMaximumSpecifierDepth || specifier.descriptorType() != typeObjectSpecifier) {
        return errAENoSuchObject;
    }
    const auto want = specifier.descriptorForKeyword(keyAEDesiredClass);
    const auto from = specifier.descriptorForKeyword(keyAEContainer);
    const auto form = specifier.descriptorForKeyword(keyAEKeyForm);
    const auto key = specifier.descriptorForKeyword(keyAEKeyData);
    if (!want || !form || !key) {
        return errAENoSuchObject;
    }
    const Resolved container = resolve(from.value_or(AppleEventDescriptor::nullDescriptor()),
                                       applicationName, view, depth + 1);
    if (std::holds_alternative<OSStatus>(container) ||
        std::holds_alternative<AppleEventDescriptor>(container)) {
        return errAENoSuchObject;
    }
    const DescType wanted = want->typeCodeValue();
    if (wanted == cProperty && form->typeCodeValue() == formPropertyID) {
        return property(container, key->typeCodeValue(), applicationName, view);
    }
    if (!std::holds_alternative<ApplicationObject>(container)) {
        return errAENoSuchObject;
    }
    if (wanted == cWindow) {
        const auto index = select(*form, *key, view.windows.size(),
                                  [&](std::size_t i) { return view.windows[i].name; });
        return index ? Resolved(WindowObject{*index}) : Resolved(errAENoSuchObject);
    }
    if (wanted == cDocument && view.frontDocument) {
        // The front window's document is the one document there is.
        const auto index =
            select(*form, *key, 1, [&](std::size_t) { return view.frontDocument->name; });
        return index ? Resolved(DocumentObject{}) : Resolved(errAENoSuchObject);
    }
    return errAENoSuchObject;
}

}  // namespace

void answerDesktopEvent(const AppleEventDescriptor& event, const std::string& applicationName,
                        const DesktopApplicationView& view, AppleEventDescriptor& reply) {
    if (event.eventClass() != kAECoreSuite || event.eventID() != kAEGetData) {
        reply.setParamDescriptor(AppleEventDescriptor::descriptorWithInt32(errAEEventNotHandled),
                                 keyErrorNumber);
        return;
    }
    const auto direct = event.paramDescriptorForKeyword(keyDirectObject);
    const Resolved resolved =
        direct ? resolve(*direct, applicationName, view, 0) : Resolved(errAENoSuchObject);
    if (const auto* value = std::get_if<AppleEventDescriptor>(&resolved)) {
        reply.setParamDescriptor(*value, keyDirectObject);
    } else if (const auto* status = std::get_if<OSStatus>(&resolved)) {
        reply.setParamDescriptor(AppleEventDescriptor::descriptorWithInt32(*status),
                                 keyErrorNumber);
    } else {
        // An element that exists but is no property answers its own specifier.
        reply.setParamDescriptor(*direct, keyDirectObject);
    }
}

}  // namespace platform::linux_platform
