#include "platform/apple_event_descriptor.h"
#include "real_text.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "platform/utf.h"

namespace platform {
namespace {

constexpr DescType typeText = fourCharCode("TEXT");
constexpr DescType typeSInt16 = fourCharCode("shor");
constexpr DescType typeSInt64 = fourCharCode("comp");
constexpr DescType typeUInt32 = fourCharCode("magn");

template <typename T>
std::vector<std::uint8_t> bytesOf(const T& value) {
    std::vector<std::uint8_t> bytes(sizeof(T));
    std::memcpy(bytes.data(), &value, sizeof(T));
    return bytes;
}

template <typename T>
std::optional<T> valueOf(std::span<const std::uint8_t> bytes) {
    if (bytes.size() != sizeof(T)) {
        return std::nullopt;
    }
    T value;
    std::memcpy(&value, bytes.data(), sizeof(T));
    return value;
}

bool isTextType(DescType type) {
    return type == typeUnicodeText || type == typeUTF8Text || type == typeText;
}

// A whole decimal integer, optionally signed and surrounded by white space.
std::optional<std::int64_t> parseInteger(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\n\r");
    if (first == std::string_view::npos) {
        return std::nullopt;
    }
    const auto last = text.find_last_not_of(" \t\n\r");
    text = text.substr(first, last - first + 1);
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
    }
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

std::optional<double> parseReal(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\n\r");
    if (first == std::string_view::npos) {
        return std::nullopt;
    }
    const auto last = text.find_last_not_of(" \t\n\r");
    text = text.substr(first, last - first + 1);
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

std::string quoted(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(c);
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escape[7];
            std::snprintf(escape, sizeof escape, "\\x%02X", static_cast<unsigned>(c));
            out += escape;
        } else {
            out.push_back(c);
        }
    }
    out.push_back('"');
    return out;
}

std::string codeText(FourCharCode code) {
    return "'" + fourCharCodeString(code) + "'";
}

std::string hexText(std::span<const std::uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out = "$";
    for (const std::uint8_t byte : bytes) {
        out.push_back(kDigits[byte >> 4]);
        out.push_back(kDigits[byte & 0x0F]);
    }
    out.push_back('$');
    return out;
}

using Entries = std::vector<std::pair<AEKeyword, AppleEventDescriptor>>;

const AppleEventDescriptor* findEntry(const Entries& entries, AEKeyword keyword) {
    for (const auto& [key, value] : entries) {
        if (key == keyword) {
            return &value;
        }
    }
    return nullptr;
}

void setEntry(Entries& entries, AEKeyword keyword, const AppleEventDescriptor& descriptor) {
    for (auto& [key, value] : entries) {
        if (key == keyword) {
            value = descriptor;
            return;
        }
    }
    entries.emplace_back(keyword, descriptor);
}

}  // namespace

// ---- Construction ----

AppleEventDescriptor::AppleEventDescriptor() = default;

AppleEventDescriptor AppleEventDescriptor::nullDescriptor() {
    return AppleEventDescriptor();
}

std::uint8_t* AppleEventDescriptor::makeRoom(std::size_t size) {
    auto bytes = std::make_shared_for_overwrite<std::uint8_t[]>(size);
    std::uint8_t* room = bytes.get();
    bytes_ = std::move(bytes);
    size_ = size;
    return room;
}

AppleEventDescriptor AppleEventDescriptor::descriptorWithString(std::string_view utf8) {
    AppleEventDescriptor descriptor;
    descriptor.type_ = typeUnicodeText;
    if (!utf8.empty()) {
        // Room for the longest conversion, two bytes a byte; only what was written counts.
        descriptor.size_ = utf::utf8ToUtf16Bytes(utf8, descriptor.makeRoom(2 * utf8.size()));
    }
    return descriptor;
}

AppleEventDescriptor AppleEventDescriptor::descriptorWithInt32(std::int32_t value) {
    return descriptorWithDescriptorType(typeSInt32, bytesOf(value));
}

AppleEventDescriptor AppleEventDescriptor::descriptorWithBoolean(bool value) {
    const std::uint8_t byte = value ? 1 : 0;
    return descriptorWithDescriptorType(typeBoolean, std::span<const std::uint8_t>(&byte, 1));
}

AppleEventDescriptor AppleEventDescriptor::descriptorWithDouble(double value) {
    return descriptorWithDescriptorType(typeIEEE64BitFloatingPoint, bytesOf(value));
}

AppleEventDescriptor AppleEventDescriptor::descriptorWithTypeCode(FourCharCode code) {
    return descriptorWithDescriptorType(typeType, bytesOf(code));
}

AppleEventDescriptor AppleEventDescriptor::descriptorWithEnumCode(FourCharCode code) {
    return descriptorWithDescriptorType(typeEnumerated, bytesOf(code));
}

AppleEventDescriptor AppleEventDescriptor::descriptorWithDescriptorType(
    DescType type, std::span<const std::uint8_t> bytes) {
    AppleEventDescriptor descriptor;
    descriptor.type_ = type;
    if (!bytes.empty()) {
        std::memcpy(descriptor.makeRoom(bytes.size()), bytes.data(), bytes.size());
    }
    return descriptor;
}

AppleEventDescriptor AppleEventDescriptor::descriptorWithDescriptorType(DescType type,
                                                                        std::string_view bytes) {
    const auto* first = reinterpret_cast<const std::uint8_t*>(bytes.data());
    return descriptorWithDescriptorType(type, std::span<const std::uint8_t>(first, bytes.size()));
}

AppleEventDescriptor AppleEventDescriptor::descriptorWithProcessSerialNumber(
    ProcessSerialNumber psn) {
    AppleEventDescriptor descriptor;
    descriptor.type_ = typeProcessSerialNumber;
    std::uint8_t* room = descriptor.makeRoom(8);
    std::memcpy(room, &psn.highLongOfPSN, 4);
    std::memcpy(room + 4, &psn.lowLongOfPSN, 4);
    return descriptor;
}

AppleEventDescriptor AppleEventDescriptor::descriptorWithApplicationBundleIdentifier(
    std::string_view id) {
    return descriptorWithDescriptorType(typeApplicationBundleID, id);
}

AppleEventDescriptor AppleEventDescriptor::recordDescriptor(DescType type) {
    AppleEventDescriptor descriptor;
    descriptor.kind_ = Kind::Record;
    descriptor.type_ = type;
    return descriptor;
}

AppleEventDescriptor AppleEventDescriptor::listDescriptor() {
    AppleEventDescriptor descriptor;
    descriptor.kind_ = Kind::List;
    descriptor.type_ = typeAEList;
    return descriptor;
}

AppleEventDescriptor AppleEventDescriptor::objectSpecifierWithDesiredClass(
    DescType desiredClass, const AppleEventDescriptor& container, DescType keyForm,
    const AppleEventDescriptor& keyData) {
    AppleEventDescriptor specifier = recordDescriptor(typeObjectSpecifier);
    specifier.setDescriptor(descriptorWithTypeCode(desiredClass), keyAEDesiredClass);
    specifier.setDescriptor(container, keyAEContainer);
    specifier.setDescriptor(descriptorWithEnumCode(keyForm), keyAEKeyForm);
    specifier.setDescriptor(keyData, keyAEKeyData);
    return specifier;
}

AppleEventDescriptor AppleEventDescriptor::appleEventWithEventClass(
    AEEventClass eventClass, AEEventID eventID, const AppleEventDescriptor& target,
    std::int16_t returnID, std::int32_t transactionID) {
    AppleEventDescriptor descriptor;
    descriptor.kind_ = Kind::AppleEvent;
    descriptor.type_ = typeAppleEvent;
    descriptor.eventClass_ = eventClass;
    descriptor.eventID_ = eventID;
    descriptor.returnID_ = returnID;
    descriptor.transactionID_ = transactionID;
    descriptor.target_.push_back(target);
    return descriptor;
}

// ---- Values ----

namespace {

std::optional<std::int64_t> integerOf(DescType type, std::span<const std::uint8_t> data) {
    if (type == typeSInt32) {
        if (auto v = valueOf<std::int32_t>(data))
            return *v;
    } else if (type == typeSInt16) {
        if (auto v = valueOf<std::int16_t>(data))
            return *v;
    } else if (type == typeSInt64) {
        if (auto v = valueOf<std::int64_t>(data))
            return *v;
    } else if (type == typeUInt32) {
        if (auto v = valueOf<std::uint32_t>(data))
            return *v;
    }
    return std::nullopt;
}

std::optional<bool> booleanOf(DescType type, std::span<const std::uint8_t> data) {
    if (type == typeTrue)
        return true;
    if (type == typeFalse)
        return false;
    if (type == typeBoolean && data.size() == 1)
        return data[0] != 0;
    return std::nullopt;
}

}  // namespace

std::optional<std::string> AppleEventDescriptor::stringValue() const {
    if (kind_ != Kind::Scalar) {
        return std::nullopt;
    }
    if (type_ == typeUnicodeText) {
        // An odd trailing byte is half a code unit: it shows as U+FFFD.
        return utf::utf16BytesToUtf8(data());
    }
    if (type_ == typeUTF8Text || type_ == typeText) {
        return utf::sanitizedUtf8(
            std::string_view(reinterpret_cast<const char*>(data().data()), data().size()));
    }
    if (const auto integer = integerOf(type_, data())) {
        return std::to_string(*integer);
    }
    if (const auto boolean = booleanOf(type_, data())) {
        return *boolean ? "true" : "false";
    }
    if (type_ == typeIEEE64BitFloatingPoint) {
        if (const auto real = valueOf<double>(data()))
            return shortestRealText(*real);
    }
    // Type and enumeration codes have no text form, as on the platform: a script's `missing
    // value` must not read as the text "msng".
    return std::nullopt;
}

namespace {

std::optional<std::int32_t> narrow(std::optional<std::int64_t> value) {
    if (!value || *value < std::numeric_limits<std::int32_t>::min() ||
        *value > std::numeric_limits<std::int32_t>::max()) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(*value);
}

std::optional<std::int32_t> int32Of(const AppleEventDescriptor& descriptor) {
    if (descriptor.kind() != AppleEventDescriptor::Kind::Scalar) {
        return std::nullopt;
    }
    const DescType type = descriptor.descriptorType();
    if (const auto integer = integerOf(type, descriptor.data())) {
        return narrow(integer);
    }
    if (const auto boolean = booleanOf(type, descriptor.data())) {
        return *boolean ? 1 : 0;
    }
    if (type == typeIEEE64BitFloatingPoint) {
        const auto real = valueOf<double>(descriptor.data());
        if (real && std::isfinite(*real) && std::trunc(*real) == *real && *real >= -2147483648.0 &&
            *real <= 2147483647.0) {
            return static_cast<std::int32_t>(*real);
        }
        return std::nullopt;
    }
    if (isTextType(type)) {
        if (const auto text = descriptor.stringValue())
            return narrow(parseInteger(*text));
    }
    return std::nullopt;
}

}  // namespace

std::optional<AppleEventDescriptor> AppleEventDescriptor::textByAppendingText(
    const AppleEventDescriptor& other) const {
    const auto wellFormed = [](const AppleEventDescriptor& text) {
        return text.kind_ == Kind::Scalar && text.type_ == typeUnicodeText &&
               utf::isWellFormedUtf16Bytes(text.data());
    };
    if (wellFormed(*this) && wellFormed(other)) {
        AppleEventDescriptor joined;
        joined.type_ = typeUnicodeText;
        if (size_ + other.size_ > 0) {
            std::uint8_t* room = joined.makeRoom(size_ + other.size_);
            std::copy_n(data().data(), size_, room);
            std::copy_n(other.data().data(), other.size_, room + size_);
        }
        return joined;
    }
    const auto head = stringValue();
    const auto tail = other.stringValue();
    if (!head || !tail) {
        return std::nullopt;
    }
    return descriptorWithString(*head + *tail);
}

std::int32_t AppleEventDescriptor::int32Value() const {
    return int32Of(*this).value_or(0);
}

bool AppleEventDescriptor::booleanValue() const {
    if (kind_ != Kind::Scalar) {
        return false;
    }
    if (const auto boolean = booleanOf(type_, data())) {
        return *boolean;
    }
    if (const auto integer = integerOf(type_, data())) {
        return *integer != 0;
    }
    if (isTextType(type_)) {
        const auto text = stringValue();
        return text && (*text == "true" || *text == "yes" || *text == "1");
    }
    return false;
}

std::optional<double> AppleEventDescriptor::doubleValue() const {
    if (kind_ != Kind::Scalar) {
        return std::nullopt;
    }
    if (type_ == typeIEEE64BitFloatingPoint) {
        return valueOf<double>(data());
    }
    if (const auto integer = integerOf(type_, data())) {
        return static_cast<double>(*integer);
    }
    if (isTextType(type_)) {
        if (const auto text = stringValue())
            return parseReal(*text);
    }
    return std::nullopt;
}

FourCharCode AppleEventDescriptor::typeCodeValue() const {
    if (kind_ != Kind::Scalar || (type_ != typeType && type_ != typeEnumerated)) {
        return 0;
    }
    return valueOf<FourCharCode>(data()).value_or(0);
}

std::optional<ProcessSerialNumber> AppleEventDescriptor::processSerialNumberValue() const {
    if (kind_ != Kind::Scalar || type_ != typeProcessSerialNumber || data().size() != 8) {
        return std::nullopt;
    }
    ProcessSerialNumber psn;
    std::memcpy(&psn.highLongOfPSN, data().data(), 4);
    std::memcpy(&psn.lowLongOfPSN, data().data() + 4, 4);
    return psn;
}

std::optional<AppleEventDescriptor> AppleEventDescriptor::coerceToDescriptorType(
    DescType type) const {
    if (type == type_) {
        return *this;
    }
    if (type == typeAEList && kind_ != Kind::List) {
        // Anything becomes a list of itself.
        AppleEventDescriptor list = listDescriptor();
        list.items_.push_back(*this);
        return list;
    }
    if (kind_ == Kind::Record && type == typeAERecord) {
        AppleEventDescriptor record = *this;
        record.type_ = typeAERecord;
        return record;
    }
    if (kind_ != Kind::Scalar) {
        return std::nullopt;
    }
    if (type == typeUnicodeText || type == typeUTF8Text || type == typeText) {
        const auto text = stringValue();
        if (!text)
            return std::nullopt;
        return type == typeUnicodeText ? descriptorWithString(*text)
                                       : descriptorWithDescriptorType(type, *text);
    }
    if (type == typeSInt32) {
        const auto value = int32Of(*this);
        if (!value)
            return std::nullopt;
        return descriptorWithInt32(*value);
    }
    if (type == typeIEEE64BitFloatingPoint) {
        const auto value = doubleValue();
        if (!value)
            return std::nullopt;
        return descriptorWithDouble(*value);
    }
    if (type == typeBoolean) {
        if (const auto boolean = booleanOf(type_, data()))
            return descriptorWithBoolean(*boolean);
        if (const auto integer = integerOf(type_, data())) {
            if (*integer == 0 || *integer == 1)
                return descriptorWithBoolean(*integer == 1);
        }
        return std::nullopt;
    }
    if ((type == typeType || type == typeEnumerated) &&
        (type_ == typeType || type_ == typeEnumerated) && data().size() == 4) {
        return descriptorWithDescriptorType(type, std::span<const std::uint8_t>(data()));
    }
    if (type == typeProcessSerialNumber && type_ == typeKernelProcessID) {
        // A process serial number of this platform holds the process id in its low word.
        const auto pid = valueOf<std::int32_t>(data());
        if (!pid || *pid <= 0)
            return std::nullopt;
        return descriptorWithProcessSerialNumber({0, static_cast<std::uint32_t>(*pid)});
    }
    return std::nullopt;
}

// ---- Lists, records and events ----

std::int64_t AppleEventDescriptor::numberOfItems() const {
    switch (kind_) {
        case Kind::List:
            return static_cast<std::int64_t>(items_.size());
        case Kind::Record:
        case Kind::AppleEvent:
            return static_cast<std::int64_t>(entries_.size());
        case Kind::Scalar:
            break;
    }
    return 0;
}

std::optional<AppleEventDescriptor> AppleEventDescriptor::descriptorAtIndex(
    std::int64_t index) const {
    if (index < 1 || index > numberOfItems()) {
        return std::nullopt;
    }
    const auto at = static_cast<std::size_t>(index - 1);
    return kind_ == Kind::List ? items_[at] : entries_[at].second;
}

void AppleEventDescriptor::insertDescriptor(const AppleEventDescriptor& descriptor,
                                            std::int64_t index) {
    if (kind_ != Kind::List) {
        // Records and events take entries by keyword only.
        return;
    }
    if (index < 1 || index > static_cast<std::int64_t>(items_.size())) {
        items_.push_back(descriptor);
    } else {
        items_.insert(items_.begin() + (index - 1), descriptor);
    }
}

AEKeyword AppleEventDescriptor::keywordForDescriptorAtIndex(std::int64_t index) const {
    if (kind_ == Kind::List || index < 1 || index > numberOfItems()) {
        return 0;
    }
    return entries_[static_cast<std::size_t>(index - 1)].first;
}

std::optional<AppleEventDescriptor> AppleEventDescriptor::descriptorForKeyword(
    AEKeyword keyword) const {
    if (kind_ != Kind::Record && kind_ != Kind::AppleEvent) {
        return std::nullopt;
    }
    if (const auto* found = findEntry(entries_, keyword)) {
        return *found;
    }
    return std::nullopt;
}

void AppleEventDescriptor::setDescriptor(const AppleEventDescriptor& descriptor,
                                         AEKeyword keyword) {
    if (kind_ == Kind::Record || kind_ == Kind::AppleEvent) {
        setEntry(entries_, keyword, descriptor);
    }
}

void AppleEventDescriptor::removeDescriptorWithKeyword(AEKeyword keyword) {
    std::erase_if(entries_, [keyword](const auto& entry) { return entry.first == keyword; });
}

std::optional<AppleEventDescriptor> AppleEventDescriptor::targetDescriptor() const {
    if (kind_ != Kind::AppleEvent || target_.empty()) {
        return std::nullopt;
    }
    return target_.front();
}

std::optional<AppleEventDescriptor> AppleEventDescriptor::paramDescriptorForKeyword(
    AEKeyword keyword) const {
    if (kind_ != Kind::AppleEvent) {
        return std::nullopt;
    }
    return descriptorForKeyword(keyword);
}

void AppleEventDescriptor::setParamDescriptor(const AppleEventDescriptor& descriptor,
                                              AEKeyword keyword) {
    if (kind_ == Kind::AppleEvent) {
        setEntry(entries_, keyword, descriptor);
    }
}

std::optional<AppleEventDescriptor> AppleEventDescriptor::attributeDescriptorForKeyword(
    AEKeyword keyword) const {
    if (kind_ != Kind::AppleEvent) {
        return std::nullopt;
    }
    // The target is the address attribute unless one was set explicitly.
    if (const auto* found = findEntry(attributes_, keyword)) {
        return *found;
    }
    if (keyword == keyAddressAttr) {
        return targetDescriptor();
    }
    return std::nullopt;
}

void AppleEventDescriptor::setAttributeDescriptor(const AppleEventDescriptor& descriptor,
                                                  AEKeyword keyword) {
    if (kind_ == Kind::AppleEvent) {
        setEntry(attributes_, keyword, descriptor);
    }
}

// ---- Diagnostics ----

namespace {

std::string describeEntries(const Entries& entries) {
    std::string out = "{";
    bool first = true;
    for (const auto& [keyword, value] : entries) {
        if (!first)
            out += ", ";
        first = false;
        out += codeText(keyword) + ":" + value.description();
    }
    return out + "}";
}

}  // namespace

std::string AppleEventDescriptor::description() const {
    switch (kind_) {
        case Kind::Record:
            return (type_ == typeAERecord ? "" : codeText(type_)) + describeEntries(entries_);
        case Kind::List: {
            std::string out = "[";
            for (std::size_t i = 0; i < items_.size(); ++i) {
                if (i > 0)
                    out += ", ";
                out += items_[i].description();
            }
            return out + "]";
        }
        case Kind::AppleEvent: {
            std::string out =
                codeText(type_) + "(" + codeText(eventClass_) + "\\" + codeText(eventID_) +
                " target=" + (target_.empty() ? "none" : target_.front().description()) +
                " returnID=" + std::to_string(returnID_) +
                " transactionID=" + std::to_string(transactionID_) + ")";
            out += describeEntries(entries_);
            if (!attributes_.empty()) {
                out += " attributes " + describeEntries(attributes_);
            }
            return out;
        }
        case Kind::Scalar:
            break;
    }
    const std::string head = codeText(type_) + "(";
    if (type_ == typeNull && data().empty()) {
        return head + ")";
    }
    if (type_ == typeTrue || type_ == typeFalse) {
        return head + ")";
    }
    if (isTextType(type_) || type_ == typeApplicationBundleID) {
        const auto text = type_ == typeApplicationBundleID
                              ? utf::sanitizedUtf8(std::string_view(
                                    reinterpret_cast<const char*>(data().data()), data().size()))
                              : stringValue().value_or("");
        return head + quoted(text) + ")";
    }
    if (type_ == typeType || type_ == typeEnumerated) {
        if (const auto code = valueOf<FourCharCode>(data()))
            return head + codeText(*code) + ")";
    }
    if (type_ == typeProcessSerialNumber) {
        if (const auto psn = processSerialNumberValue()) {
            return head + std::to_string(psn->highLongOfPSN) + "," +
                   std::to_string(psn->lowLongOfPSN) + ")";
        }
    }
    if (type_ == typeKernelProcessID) {
        if (const auto pid = valueOf<std::int32_t>(data()))
            return head + std::to_string(*pid) + ")";
    }
    if (const auto text = stringValue()) {
        return head + *text + ")";
    }
    return head + hexText(data()) + ")";
}

bool AppleEventDescriptor::operator==(const AppleEventDescriptor& other) const {
    return kind_ == other.kind_ && type_ == other.type_ &&
           std::ranges::equal(data(), other.data()) && items_ == other.items_ &&
           entries_ == other.entries_ && eventClass_ == other.eventClass_ &&
           eventID_ == other.eventID_ && returnID_ == other.returnID_ &&
           transactionID_ == other.transactionID_ && target_ == other.target_ &&
           attributes_ == other.attributes_;
}

}  // namespace platform
