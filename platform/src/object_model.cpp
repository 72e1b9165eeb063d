#include "platform/object_model.h"

#include <cstdint>
#include <variant>

namespace platform {
namespace {

// What a specifier names while it is being resolved: an object, a property's value, or a
// failure.
using Resolved = std::variant<ObjectReference, AppleEventDescriptor, OSStatus>;

// The index of the element that a form and key pick among `count` elements of a class.
std::optional<std::size_t> select(const ObjectModel& model, const ObjectReference& container,
                                  DescType elementClass, std::size_t count,
                                  const AppleEventDescriptor& form,
                                  const AppleEventDescriptor& key) {
    if (count == 0) {
        return std::nullopt;
    }
    const DescType formCode = form.typeCodeValue();
    if (formCode == formAbsolutePosition) {
        if (key.descriptorType() == typeAbsoluteOrdinal || key.descriptorType() == typeEnumerated) {
            // An 'abso' ordinal holds its code as an enumeration does.
            const auto ordinal =
                AppleEventDescriptor::descriptorWithDescriptorType(typeEnumerated, key.data());
            switch (ordinal.typeCodeValue()) {
                case kAEFirst:
                    return 0;
                case kAEMiddle:
                    return (count - 1) / 2;
                case kAELast:
                    return count - 1;
                default:
                    // Every element and any one answer no single object.
                    return std::nullopt;
            }
        }
        if (key.descriptorType() != typeSInt32) {
            return std::nullopt;
        }
        const std::int64_t index = key.int32Value();
        const auto size = static_cast<std::int64_t>(count);
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
        ObjectReference element = container;
        element.steps.push_back({elementClass, 0});
        for (std::size_t i = 0; name && i < count; ++i) {
            element.steps.back().index = i;
            if (model.name(element) == *name) {
                return i;
            }
        }
    }
    return std::nullopt;
}

Resolved resolve(const AppleEventDescriptor& specifier, const ObjectModel& model, int depth) {
    if (specifier.descriptorType() == typeNull) {
        return ObjectReference{};
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
    Resolved container =
        resolve(from.value_or(AppleEventDescriptor::nullDescriptor()), model, depth + 1);
    auto* object = std::get_if<ObjectReference>(&container);
    if (!object) {
        // A failure stays one; a property's value has no parts of its own here.
        return errAENoSuchObject;
    }
    const DescType wanted = want->typeCodeValue();
    if (wanted == cProperty && form->typeCodeValue() == formPropertyID) {
        const DescType code = key->typeCodeValue();
        std::optional<AppleEventDescriptor> value;
        if (code == pName) {
            if (const auto name = model.name(*object)) {
                value = AppleEventDescriptor::descriptorWithString(*name);
            }
        } else {
            value = model.property(*object, code);
        }
        return value ? Resolved(std::move(*value)) : Resolved(errAENoSuchObject);
    }
    const std::size_t count = model.countElements(*object, wanted);
    const auto index = select(model, *object, wanted, count, *form, *key);
    if (!index) {
        return errAENoSuchObject;
    }
    object->steps.push_back({wanted, *index});
    return container;
}

GetDataAnswer resolveObjectSpecifier(const AppleEventDescriptor& specifier,
                                     const ObjectModel& model) {
    const Resolved resolved = resolve(specifier, model, 0);
    if (const auto* value = std::get_if<AppleEventDescriptor>(&resolved)) {
        return {*value, noErr};
    }
    if (const auto* status = std::get_if<OSStatus>(&resolved)) {
        return {std::nullopt, *status};
    }
    // An element that exists but is no property answers its own specifier.
    return {specifier, noErr};
}

}  // namespace

void GetDataAnswer::fill(AppleEventDescriptor& reply) const {
    if (value) {
        reply.setParamDescriptor(*value, keyDirectObject);
    } else {
        reply.setParamDescriptor(AppleEventDescriptor::descriptorWithInt32(error), keyErrorNumber);
    }
}

GetDataAnswer answerGetData(const AppleEventDescriptor& event, const ObjectModel& model) {
    if (event.eventClass() != kAECoreSuite || event.eventID() != kAEGetData) {
        return {std::nullopt, errAEEventNotHandled};
    }
    const auto directObject = event.paramDescriptorForKeyword(keyDirectObject);
    if (!directObject) {
        return {std::nullopt, errAENoSuchObject};
    }
    return resolveObjectSpecifier(*directObject, model);
}

}  // namespace platform
