// The typed value of every Apple Event: scalars (text, integers, raw typed data, addresses),
// records (keyword to descriptor, in insertion order), lists (items counted from 1) and Apple
// Events themselves (class, ID, target, return and transaction IDs, parameters, attributes).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "platform/four_char_code.h"

namespace platform {

// A process serial number: two 32-bit words, the high word first.
struct ProcessSerialNumber {
    std::uint32_t highLongOfPSN = 0;
    std::uint32_t lowLongOfPSN = 0;
    bool operator==(const ProcessSerialNumber&) const = default;
};

class AppleEventDescriptor {
  public:
    // The null descriptor ('null', no data).
    AppleEventDescriptor();

    static AppleEventDescriptor nullDescriptor();
    // Unicode text: UTF-16 in host byte order, from UTF-8 (invalid sequences become U+FFFD).
    static AppleEventDescriptor descriptorWithString(std::string_view utf8);
    static AppleEventDescriptor descriptorWithInt32(std::int32_t value);
    static AppleEventDescriptor descriptorWithBoolean(bool value);
    static AppleEventDescriptor descriptorWithDouble(double value);
    static AppleEventDescriptor descriptorWithTypeCode(FourCharCode code);
    static AppleEventDescriptor descriptorWithEnumCode(FourCharCode code);
    // Raw typed data ('bund', 'psn ' and any other scalar type).
    static AppleEventDescriptor descriptorWithDescriptorType(DescType type,
                                                             std::span<const std::uint8_t> bytes);
    static AppleEventDescriptor descriptorWithDescriptorType(DescType type, std::string_view bytes);
    static AppleEventDescriptor descriptorWithProcessSerialNumber(ProcessSerialNumber psn);
    static AppleEventDescriptor descriptorWithApplicationBundleIdentifier(std::string_view id);
    // An empty record ('reco'), or a record of another type (an object specifier is 'obj ').
    static AppleEventDescriptor recordDescriptor(DescType type = typeAERecord);
    static AppleEventDescriptor listDescriptor();
    // An object specifier ('obj '): the objects of class `desiredClass` in `container` (another
    // specifier, or the null descriptor for the application itself) that `keyData` picks out
    // in the way `keyForm` says ('prop', 'indx', 'name', 'usrp').
    static AppleEventDescriptor objectSpecifierWithDesiredClass(
        DescType desiredClass, const AppleEventDescriptor& container, DescType keyForm,
        const AppleEventDescriptor& keyData);
    static AppleEventDescriptor appleEventWithEventClass(AEEventClass eventClass, AEEventID eventID,
                                                         const AppleEventDescriptor& target,
                                                         std::int16_t returnID,
                                                         std::int32_t transactionID);

    enum class Kind : std::uint8_t { Scalar, Record, List, AppleEvent };

    Kind kind() const { return kind_; }
    DescType descriptorType() const { return type_; }
    bool isRecord() const { return kind_ == Kind::Record; }
    bool isList() const { return kind_ == Kind::List; }
    bool isAppleEvent() const { return kind_ == Kind::AppleEvent; }
    // The raw bytes of a scalar descriptor (empty for the other kinds).
    std::span<const std::uint8_t> data() const { return {bytes_.get(), size_}; }

    // Text coerced from 'utxt', 'utf8', 'TEXT', integers, reals and booleans; absent when the
    // descriptor has no text form (type and enumeration codes have none).
    std::optional<std::string> stringValue() const;
    // The value as a signed 32-bit integer (from 'long', 'bool', 'true'/'fals', numeric text);
    // 0 when it has none.
    std::int32_t int32Value() const;
    bool booleanValue() const;
    std::optional<double> doubleValue() const;
    // A type or enumeration code; 0 when there is none.
    FourCharCode typeCodeValue() const;
    std::optional<ProcessSerialNumber> processSerialNumberValue() const;

    // Unicode text: this text followed by another's. Well-formed Unicode texts are joined as
    // they are held, without a conversion; the others as `stringValue` reads them. Absent when
    // either has no text form.
    std::optional<AppleEventDescriptor> textByAppendingText(
        const AppleEventDescriptor& other) const;

    // Coercion to another descriptor type: the same type answers a copy; 'utxt' from anything
    // that has a text form; 'long' from integers and numeric text; 'psn ' from a process address.
    std::optional<AppleEventDescriptor> coerceToDescriptorType(DescType type) const;

    // Lists and records: the number of items or entries, and item access counted from 1
    // (absent when the index is out of range). Inserting at index 0 or past the end appends.
    std::int64_t numberOfItems() const;
    std::optional<AppleEventDescriptor> descriptorAtIndex(std::int64_t index) const;
    void insertDescriptor(const AppleEventDescriptor& descriptor, std::int64_t index);
    // The keyword of a record entry counted from 1 (0 when out of range).
    AEKeyword keywordForDescriptorAtIndex(std::int64_t index) const;

    // Record entries (and, on an Apple Event, its parameters). Setting an existing keyword
    // replaces its value in place; a new keyword is added at the end.
    std::optional<AppleEventDescriptor> descriptorForKeyword(AEKeyword keyword) const;
    void setDescriptor(const AppleEventDescriptor& descriptor, AEKeyword keyword);
    void removeDescriptorWithKeyword(AEKeyword keyword);

    // Apple Events.
    AEEventClass eventClass() const { return eventClass_; }
    AEEventID eventID() const { return eventID_; }
    std::int16_t returnID() const { return returnID_; }
    std::int32_t transactionID() const { return transactionID_; }
    // The target address; absent unless this is an Apple Event.
    std::optional<AppleEventDescriptor> targetDescriptor() const;
    std::optional<AppleEventDescriptor> paramDescriptorForKeyword(AEKeyword keyword) const;
    void setParamDescriptor(const AppleEventDescriptor& descriptor, AEKeyword keyword);
    std::optional<AppleEventDescriptor> attributeDescriptorForKeyword(AEKeyword keyword) const;
    void setAttributeDescriptor(const AppleEventDescriptor& descriptor, AEKeyword keyword);
    // The parameters and attributes in order, for transport and inspection.
    const std::vector<std::pair<AEKeyword, AppleEventDescriptor>>& entries() const {
        return entries_;
    }
    const std::vector<std::pair<AEKeyword, AppleEventDescriptor>>& attributes() const {
        return attributes_;
    }
    const std::vector<AppleEventDescriptor>& items() const { return items_; }

    // The byte form used between processes, and its reader. A flattening can also be written
    // in place: `flattenedSize` bytes, into room the caller has made (a bus message's). Reading
    // answers absent for any byte string that is not a whole, valid flattening; it never reads past
    // the end and bounds its nesting depth (a descriptor nested deeper than kMaximumNestingDepth
    // flattens, but does not read back).
    std::vector<std::uint8_t> flatten() const;
    std::size_t flattenedSize() const;
    void flattenInto(std::uint8_t* out) const;
    // With an `owner` that keeps `bytes` alive, large scalars share those bytes, uncopied.
    static std::optional<AppleEventDescriptor> unflatten(std::span<const std::uint8_t> bytes,
                                                         std::shared_ptr<const void> owner = {});
    static constexpr int kMaximumNestingDepth = 64;
    // A descriptor in memory takes some 150 bytes however little its flattening took, so reading
    // bounds the number of descriptors too: past this many, the bytes do not read back. Scripts
    // keep their lists well below it.
    static constexpr std::size_t kMaximumDescriptorCount = 500'000;

    // A readable form for diagnostics and tools: 'utxt'("text"), 'long'(3), {'note':...}, [...].
    std::string description() const;

    bool operator==(const AppleEventDescriptor& other) const;

  private:
    Kind kind_ = Kind::Scalar;
    DescType type_ = typeNull;
    // Room for `size` bytes of a new scalar; its bytes are written before it is shared.
    std::uint8_t* makeRoom(std::size_t size);

    // A scalar's bytes never change once written, so copies of a descriptor (into records,
    // events and replies) share them: a large text is not copied on its way through.
    std::shared_ptr<const std::uint8_t[]> bytes_;
    std::size_t size_ = 0;
    std::vector<AppleEventDescriptor> items_;
    std::vector<std::pair<AEKeyword, AppleEventDescriptor>> entries_;
    // Apple Events only.
    AEEventClass eventClass_ = 0;
    AEEventID eventID_ = 0;
    std::int16_t returnID_ = 0;
    std::int32_t transactionID_ = 0;
    std::vector<AppleEventDescriptor> target_;  // zero or one element
    std::vector<std::pair<AEKeyword, AppleEventDescriptor>> attributes_;

    friend class DescriptorReader;
};

}  // namespace platform
