#include "descriptor_bridge.h"

#include <cstdint>
#include <string>
#include <vector>

#include "platform/url.h"
#include "terms.h"

namespace platform::applescript {
namespace {

// The value a script has when it has none.
constexpr FourCharCode kMissingValue = fourCharCode("msng");
constexpr DescType kFileURLType = fourCharCode("furl");

}  // namespace

Value fromDescriptor(const AppleEventDescriptor& descriptor, const Value& target) {
    if (descriptor.isList()) {
        std::vector<Value> items;
        for (const AppleEventDescriptor& item : descriptor.items()) {
            items.push_back(fromDescriptor(item, target));
        }
        return Value::ofList(std::move(items));
    }
    if (descriptor.isRecord() && descriptor.descriptorType() == typeObjectSpecifier) {
        Value reference;
        reference.kind = Value::Kind::Reference;
        reference.specifier = std::make_shared<const AppleEventDescriptor>(descriptor);
        reference.bundleIdentifier = target.bundleIdentifier;
        reference.applicationName = target.applicationName;
        return reference;
    }
    if (descriptor.isRecord()) {
        Value record;
        record.kind = Value::Kind::Record;
        for (const auto& [keyword, field] : descriptor.entries()) {
            if (keyword == keyASUserRecordFields && field.isList()) {
                // Alternating names and values.
                const auto& items = field.items();
                for (std::size_t i = 0; i + 1 < items.size(); i += 2) {
                    record.keys.push_back({0, items[i].stringValue().value_or("")});
                    record.items.push_back(fromDescriptor(items[i + 1], target));
                }
            } else {
                record.keys.push_back({keyword, {}});
                record.items.push_back(fromDescriptor(field, target));
            }
        }
        return record;
    }
    if (descriptor.isAppleEvent()) {
        return Value::missing();
    }
    const DescType type = descriptor.descriptorType();
    if (type == typeUnicodeText || type == typeUTF8Text || type == fourCharCode("TEXT")) {
        return Value::ofText(descriptor.stringValue().value_or(""));
    }
    if (type == typeSInt32 || type == fourCharCode("shor")) {
        return Value::ofInteger(descriptor.int32Value());
    }
    if (type == typeIEEE64BitFloatingPoint || type == fourCharCode("sing")) {
        return Value::ofReal(descriptor.doubleValue().value_or(0));
    }
    if (type == typeBoolean || type == typeTrue || type == typeFalse) {
        return Value::ofBoolean(descriptor.booleanValue());
    }
    if (type == typeNull) {
        return Value::missing();
    }
    if (type == typeType || type == typeEnumerated) {
        if (descriptor.typeCodeValue() == kMissingValue) {
            return Value::missing();
        }
        Value value;
        value.kind = Value::Kind::Type;
        value.code = descriptor.typeCodeValue();
        return value;
    }
    if (type == fourCharCode("furl")) {
        const auto& bytes = descriptor.data();
        return Value::ofText(std::string(bytes.begin(), bytes.end()));
    }
    if (auto text = descriptor.stringValue()) {
        return Value::ofText(*text);
    }
    return Value::missing();
}

AppleEventDescriptor toDescriptor(const Value& given) {
    const Value& value = contents(given);
    switch (value.kind) {
        case Value::Kind::Missing:
            return AppleEventDescriptor::descriptorWithTypeCode(kMissingValue);
        case Value::Kind::Text:
            return AppleEventDescriptor::descriptorWithString(value.text);
        case Value::Kind::Integer:
            if (value.integer >= INT32_MIN && value.integer <= INT32_MAX) {
                return AppleEventDescriptor::descriptorWithInt32(
                    static_cast<std::int32_t>(value.integer));
            }
            return AppleEventDescriptor::descriptorWithDouble(static_cast<double>(value.integer));
        case Value::Kind::Real:
            return AppleEventDescriptor::descriptorWithDouble(value.real);
        case Value::Kind::Boolean:
            return AppleEventDescriptor::descriptorWithBoolean(value.boolean);
        case Value::Kind::Type:
            return AppleEventDescriptor::descriptorWithTypeCode(value.code);
        case Value::Kind::Reference:
            return *value.specifier;
        case Value::Kind::Application:
            return AppleEventDescriptor::descriptorWithApplicationBundleIdentifier(
                value.bundleIdentifier);
        case Value::Kind::File:
            return AppleEventDescriptor::descriptorWithDescriptorType(
                kFileURLType, URL::fileURLWithPath(value.text).absoluteString());
        case Value::Kind::List: {
            AppleEventDescriptor list = AppleEventDescriptor::listDescriptor();
            for (const Value& item : value.items) {
                list.insertDescriptor(toDescriptor(item), 0);
            }
            return list;
        }
        case Value::Kind::Record: {
            AppleEventDescriptor record = AppleEventDescriptor::recordDescriptor();
            AppleEventDescriptor userFields = AppleEventDescriptor::listDescriptor();
            for (std::size_t i = 0; i < value.items.size(); ++i) {
                if (value.keys[i].code != 0) {
                    record.setDescriptor(toDescriptor(value.items[i]), value.keys[i].code);
                } else {
                    userFields.insertDescriptor(
                        AppleEventDescriptor::descriptorWithString(value.keys[i].name), 0);
                    userFields.insertDescriptor(toDescriptor(value.items[i]), 0);
                }
            }
            if (userFields.numberOfItems() > 0) {
                record.setDescriptor(userFields, keyASUserRecordFields);
            }
            return record;
        }
        case Value::Kind::ItemReference:  // never: contents() took its item
            break;
    }
    return AppleEventDescriptor::nullDescriptor();
}

}  // namespace platform::applescript
