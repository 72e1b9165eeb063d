// The byte form of a descriptor, in which events travel between processes: written once into
// its final place after its size is known, and read back with every count checked against the
// bytes that remain.
#include "platform/apple_event_descriptor.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace platform {
namespace {

using Entries = std::vector<std::pair<AEKeyword, AppleEventDescriptor>>;

// ---- The byte form ----
//
// header:  'P' 'A' 'E' 'D', version (u16)
// node:    tag (u8), descriptor type (u32), then by tag:
//          scalar      length (u32), bytes
//          record      count (u32), count x (keyword (u32), node)
//          list        count (u32), count x node
//          event       class (u32), ID (u32), return ID (i16), transaction ID (i32),
//                      has target (u8, 0 or 1), [target node],
//                      count (u32), count x (keyword, node)   parameters
//                      count (u32), count x (keyword, node)   attributes
// All integers of the structure are little-endian; scalar bytes are kept as they are.

constexpr std::uint8_t kMagic[4] = {'P', 'A', 'E', 'D'};
constexpr std::uint16_t kFormatVersion = 1;

enum Tag : std::uint8_t { kTagScalar = 1, kTagRecord = 2, kTagList = 3, kTagEvent = 4 };

// The fewest bytes a node or a keyword entry can take, to bound counts by what remains.
constexpr std::size_t kMinimumNodeSize = 1 + 4 + 4;
constexpr std::size_t kMinimumEntrySize = 4 + kMinimumNodeSize;

// Writes the byte form at `out`, or with no `out` only counts its bytes, so that a flattening
// can be sized first and then written once into its final place.
class Writer {
  public:
    explicit Writer(std::uint8_t* out = nullptr) : out_(out) {}
    void u8(std::uint8_t value) { raw(std::span<const std::uint8_t>(&value, 1)); }
    void u16(std::uint16_t value) {
        const std::uint8_t bytes[2] = {static_cast<std::uint8_t>(value),
                                       static_cast<std::uint8_t>(value >> 8)};
        raw(bytes);
    }
    void u32(std::uint32_t value) {
        const std::uint8_t bytes[4] = {
            static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
            static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
        raw(bytes);
    }
    void raw(std::span<const std::uint8_t> data) {
        if (out_ != nullptr && !data.empty()) {
            std::memcpy(out_ + size_, data.data(), data.size());
        }
        size_ += data.size();
    }
    std::size_t size() const { return size_; }

  private:
    std::uint8_t* out_;
    std::size_t size_ = 0;
};

}  // namespace

// Reads the byte form; every read checks what remains, and every failure answers absent.
class DescriptorReader {
  public:
    DescriptorReader(std::span<const std::uint8_t> bytes, std::shared_ptr<const void> owner)
        : bytes_(bytes), owner_(std::move(owner)) {}

    std::optional<AppleEventDescriptor> readDocument() {
        std::uint8_t magic[4];
        for (auto& byte : magic) {
            if (!u8(byte))
                return std::nullopt;
        }
        std::uint16_t version = 0;
        if (!std::equal(magic, magic + 4, kMagic) || !u16(version) || version != kFormatVersion) {
            return std::nullopt;
        }
        AppleEventDescriptor root;
        if (!node(root, 0) || position_ != bytes_.size()) {
            return std::nullopt;
        }
        return root;
    }

  private:
    std::size_t remaining() const { return bytes_.size() - position_; }

    bool u8(std::uint8_t& value) {
        if (remaining() < 1)
            return false;
        value = bytes_[position_++];
        return true;
    }
    bool u16(std::uint16_t& value) {
        if (remaining() < 2)
            return false;
        value = static_cast<std::uint16_t>(bytes_[position_] | (bytes_[position_ + 1] << 8));
        position_ += 2;
        return true;
    }
    bool u32(std::uint32_t& value) {
        if (remaining() < 4)
            return false;
        value = 0;
        for (int i = 0; i < 4; ++i) {
            value |= static_cast<std::uint32_t>(bytes_[position_ + static_cast<std::size_t>(i)])
                     << (8 * i);
        }
        position_ += 4;
        return true;
    }
    bool count(std::uint32_t& value, std::size_t minimumElementSize) {
        return u32(value) && value <= remaining() / minimumElementSize;
    }

    bool entries(Entries& out, int depth) {
        std::uint32_t n = 0;
        // Nothing is reserved ahead: storage grows only with what was really read.
        if (!count(n, kMinimumEntrySize))
            return false;
        std::vector<AEKeyword> keywords;
        for (std::uint32_t i = 0; i < n; ++i) {
            AEKeyword keyword = 0;
            AppleEventDescriptor value;
            if (!u32(keyword) || !node(value, depth + 1))
                return false;
            keywords.push_back(keyword);
            out.emplace_back(keyword, std::move(value));
        }
        // A keyword appears at most once, as it does in every descriptor built in memory.
        std::sort(keywords.begin(), keywords.end());
        return std::adjacent_find(keywords.begin(), keywords.end()) == keywords.end();
    }

    bool node(AppleEventDescriptor& out, int depth) {
        if (depth > AppleEventDescriptor::kMaximumNestingDepth ||
            ++nodes_ > AppleEventDescriptor::kMaximumDescriptorCount)
            return false;
        std::uint8_t tag = 0;
        if (!u8(tag) || !u32(out.type_))
            return false;
        switch (tag) {
            case kTagScalar: {
                std::uint32_t length = 0;
                if (!count(length, 1))
                    return false;
                out.kind_ = AppleEventDescriptor::Kind::Scalar;
                if (owner_ && length >= kSharedScalarBytes) {
                    out.bytes_ =
                        std::shared_ptr<const std::uint8_t[]>(owner_, bytes_.data() + position_);
                    out.size_ = length;
                } else if (length > 0) {
                    std::memcpy(out.makeRoom(length), bytes_.data() + position_, length);
                }
                position_ += length;
                return true;
            }
            case kTagRecord:
                out.kind_ = AppleEventDescriptor::Kind::Record;
                return entries(out.entries_, depth);
            case kTagList: {
                if (out.type_ != typeAEList)
                    return false;
                out.kind_ = AppleEventDescriptor::Kind::List;
                std::uint32_t n = 0;
                if (!count(n, kMinimumNodeSize))
                    return false;
                for (std::uint32_t i = 0; i < n; ++i) {
                    AppleEventDescriptor item;
                    if (!node(item, depth + 1))
                        return false;
                    out.items_.push_back(std::move(item));
                }
                return true;
            }
            case kTagEvent: {
                if (out.type_ != typeAppleEvent)
                    return false;
                out.kind_ = AppleEventDescriptor::Kind::AppleEvent;
                std::uint16_t returnID = 0;
                std::uint32_t transactionID = 0;
                std::uint8_t hasTarget = 0;
                if (!u32(out.eventClass_) || !u32(out.eventID_) || !u16(returnID) ||
                    !u32(transactionID) || !u8(hasTarget) || hasTarget > 1) {
                    return false;
                }
                out.returnID_ = static_cast<std::int16_t>(returnID);
                out.transactionID_ = static_cast<std::int32_t>(transactionID);
                if (hasTarget == 1) {
                    AppleEventDescriptor target;
                    if (!node(target, depth + 1))
                        return false;
                    out.target_.push_back(std::move(target));
                }
                return entries(out.entries_, depth) && entries(out.attributes_, depth);
            }
            default:
                return false;
        }
    }

    // Scalars this large share the bytes they are read from, which `owner_` keeps, rather
    // than being copied: a caller's large note passes through without a copy.
    static constexpr std::size_t kSharedScalarBytes = 64 * 1024;

    std::span<const std::uint8_t> bytes_;
    std::shared_ptr<const void> owner_;
    std::size_t position_ = 0;
    std::size_t nodes_ = 0;
};

namespace {

void writeNode(Writer& writer, const AppleEventDescriptor& descriptor);

void writeEntries(Writer& writer, const Entries& entries) {
    writer.u32(static_cast<std::uint32_t>(entries.size()));
    for (const auto& [keyword, value] : entries) {
        writer.u32(keyword);
        writeNode(writer, value);
    }
}

void writeNode(Writer& writer, const AppleEventDescriptor& descriptor) {
    using Kind = AppleEventDescriptor::Kind;
    switch (descriptor.kind()) {
        case Kind::Scalar:
            writer.u8(kTagScalar);
            writer.u32(descriptor.descriptorType());
            writer.u32(static_cast<std::uint32_t>(descriptor.data().size()));
            writer.raw(descriptor.data());
            break;
        case Kind::Record:
            writer.u8(kTagRecord);
            writer.u32(descriptor.descriptorType());
            writeEntries(writer, descriptor.entries());
            break;
        case Kind::List:
            writer.u8(kTagList);
            writer.u32(descriptor.descriptorType());
            writer.u32(static_cast<std::uint32_t>(descriptor.items().size()));
            for (const auto& item : descriptor.items()) {
                writeNode(writer, item);
            }
            break;
        case Kind::AppleEvent: {
            writer.u8(kTagEvent);
            writer.u32(descriptor.descriptorType());
            writer.u32(descriptor.eventClass());
            writer.u32(descriptor.eventID());
            writer.u16(static_cast<std::uint16_t>(descriptor.returnID()));
            writer.u32(static_cast<std::uint32_t>(descriptor.transactionID()));
            const auto target = descriptor.targetDescriptor();
            writer.u8(target ? 1 : 0);
            if (target) {
                writeNode(writer, *target);
            }
            writeEntries(writer, descriptor.entries());
            writeEntries(writer, descriptor.attributes());
            break;
        }
    }
}

}  // namespace

// ---- Transport ----

namespace {

void writeDocument(Writer& writer, const AppleEventDescriptor& descriptor) {
    writer.raw(kMagic);
    writer.u16(kFormatVersion);
    writeNode(writer, descriptor);
}

}  // namespace

std::size_t AppleEventDescriptor::flattenedSize() const {
    Writer counter;
    writeDocument(counter, *this);
    return counter.size();
}

void AppleEventDescriptor::flattenInto(std::uint8_t* out) const {
    Writer writer(out);
    writeDocument(writer, *this);
}

std::vector<std::uint8_t> AppleEventDescriptor::flatten() const {
    std::vector<std::uint8_t> bytes(flattenedSize());
    flattenInto(bytes.data());
    return bytes;
}

std::optional<AppleEventDescriptor> AppleEventDescriptor::unflatten(
    std::span<const std::uint8_t> bytes, std::shared_ptr<const void> owner) {
    return DescriptorReader(bytes, std::move(owner)).readDocument();
}

}  // namespace platform
