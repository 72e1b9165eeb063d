// Reading property lists through libplist (XML and binary), and their XML text.
#include <plist/plist.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>

#include "platform/file_manager.h"
#include "platform/format.h"
#include "platform/log.h"
#include "platform/platform.h"
#include "platform/property_list.h"

namespace platform {
namespace {

// Nesting beyond this is refused rather than followed.
constexpr int kMaximumDepth = 256;

struct PlistDeleter {
    void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using PlistHandle = std::unique_ptr<void, PlistDeleter>;

// libplist hands out the text of a key only as a C string, and aborts the process when that
// text holds a NUL byte, which a binary property list can encode (U+0000 in UTF-16). Its XML
// form writes such a byte as it is, so one look at the XML tells whether any key needs care.
bool xmlHoldsNul(plist_t node) {
    char* xml = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(node, &xml, &length);
    const bool found = xml != nullptr && std::memchr(xml, '\0', length) != nullptr;
    plist_to_xml_free(xml);
    return found;
}

void logLeftOut(const std::string& source, const std::string& where) {
    const std::string line =
        formatString("Property list %@: left out %@, a text holding a NUL character",
                     {source, where.empty() ? std::string("the root") : where});
    if (LogService* log = installed().log) {
        log->writeConsole(line);
    } else {
        std::fprintf(stderr, "%s\n", line.c_str());
    }
}

// Walks libplist's tree. A text the platform cannot hold (one with a NUL character) is left out
// of its container and logged; anything else malformed fails the whole list.
class Reader {
  public:
    Reader(plist_t root, std::string source)
        : source_(std::move(source)), keysMayHoldNul_(xmlHoldsNul(root)) {}

    // Absent with *malformed unset: the value is left out.
    std::optional<PropertyList> read(plist_t node, int depth, const std::string& where,
                                     bool* malformed) const {
        if (node == nullptr || depth > kMaximumDepth) {
            *malformed = true;
            return std::nullopt;
        }
        switch (plist_get_node_type(node)) {
            case PLIST_BOOLEAN: {
                std::uint8_t value = 0;
                plist_get_bool_val(node, &value);
                return PropertyList(value != 0);
            }
            case PLIST_UINT: {
                // Integers are stored as 64-bit patterns; the platform reads them as signed.
                std::uint64_t value = 0;
                plist_get_uint_val(node, &value);
                return PropertyList(static_cast<std::int64_t>(value));
            }
            case PLIST_UID: {
                std::uint64_t value = 0;
                plist_get_uid_val(node, &value);
                return PropertyList(static_cast<std::int64_t>(value));
            }
            case PLIST_REAL: {
                double value = 0;
                plist_get_real_val(node, &value);
                return PropertyList(value);
            }
            case PLIST_STRING: {
                std::uint64_t length = 0;
                const char* value = plist_get_string_ptr(node, &length);
                if (value != nullptr && std::memchr(value, '\0', length) != nullptr) {
                    logLeftOut(source_, where);
                    return std::nullopt;
                }
                return PropertyList(value ? std::string(value, length) : std::string());
            }
            case PLIST_KEY: {
                auto text = keyText(node);
                if (!text) {
                    logLeftOut(source_, where);
                }
                return text ? std::optional<PropertyList>(std::move(*text)) : std::nullopt;
            }
            case PLIST_DATE: {
                std::int32_t seconds = 0, microseconds = 0;
                plist_get_date_val(node, &seconds, &microseconds);
                return PropertyList(PropertyList::Date{seconds + microseconds / 1e6});
            }
            case PLIST_DATA: {
                std::uint64_t length = 0;
                const char* bytes = plist_get_data_ptr(node, &length);
                const auto* first = reinterpret_cast<const std::uint8_t*>(bytes);
                return PropertyList(bytes ? PropertyList::Data(first, first + length)
                                          : PropertyList::Data());
            }
            case PLIST_ARRAY: {
                PropertyList::Array items;
                const std::uint32_t size = plist_array_get_size(node);
                for (std::uint32_t i = 0; i < size; ++i) {
                    auto item = read(plist_array_get_item(node, i), depth + 1,
                                     where + "[" + std::to_string(i) + "]", malformed);
                    if (*malformed) {
                        return std::nullopt;
                    }
                    if (item) {
                        items.push_back(std::move(*item));
                    }
                }
                return PropertyList(std::move(items));
            }
            case PLIST_DICT:
                return readDictionary(node, depth, where, malformed);
            default:
                *malformed = true;
                return std::nullopt;
        }
    }

  private:
    std::optional<std::string> keyText(plist_t key) const {
        if (keysMayHoldNul_ && xmlHoldsNul(key)) {
            return std::nullopt;
        }
        char* value = nullptr;
        plist_get_key_val(key, &value);
        std::string text = value ? value : "";
        std::free(value);
        return text;
    }

    std::optional<PropertyList> readDictionary(plist_t node, int depth, const std::string& where,
                                               bool* malformed) const {
        PropertyList::Dictionary entries;
        plist_dict_iter iterator = nullptr;
        plist_dict_new_iter(node, &iterator);
        if (iterator == nullptr) {
            *malformed = true;
            return std::nullopt;
        }
        while (!*malformed) {
            plist_t value = nullptr;
            plist_dict_next_item(node, iterator, nullptr, &value);
            if (value == nullptr) {
                break;
            }
            const plist_t keyNode = plist_dict_item_get_key(value);
            if (keyNode == nullptr) {
                *malformed = true;
                break;
            }
            const auto key = keyText(keyNode);
            if (!key) {
                logLeftOut(source_, "a key" + (where.empty() ? "" : " in " + where));
                continue;
            }
            const std::string path = where.empty() ? *key : where + "." + *key;
            if (auto item = read(value, depth + 1, path, malformed)) {
                entries.insert_or_assign(*key, std::move(*item));
            }
        }
        std::free(iterator);
        if (*malformed) {
            return std::nullopt;
        }
        return PropertyList(std::move(entries));
    }

    std::string source_;
    bool keysMayHoldNul_;
};

// Reads a whole list; absent when it is malformed or its root is left out.
std::optional<PropertyList> readBytes(std::span<const std::uint8_t> bytes,
                                      const std::string& source) {
    if (bytes.empty() || bytes.size() > std::numeric_limits<std::uint32_t>::max()) {
        return std::nullopt;
    }
    plist_t root = nullptr;
    plist_from_memory(reinterpret_cast<const char*>(bytes.data()),
                      static_cast<std::uint32_t>(bytes.size()), &root);
    if (root == nullptr) {
        return std::nullopt;
    }
    const PlistHandle handle(root);
    bool malformed = false;
    auto value = Reader(root, source).read(root, 0, "", &malformed);
    return malformed ? std::nullopt : value;
}

plist_t toNode(const PropertyList& value) {
    switch (value.type()) {
        case PropertyList::Type::String:
            return plist_new_string(value.stringValue()->c_str());
        case PropertyList::Type::Boolean:
            return plist_new_bool(*value.booleanValue() ? 1 : 0);
        case PropertyList::Type::Integer:
            return plist_new_uint(static_cast<std::uint64_t>(*value.integerValue()));
        case PropertyList::Type::Real:
            return plist_new_real(*value.realValue());
        case PropertyList::Type::Date: {
            const double seconds = value.dateValue()->secondsSinceReferenceDate;
            double whole = std::floor(seconds);
            if (!(whole >= std::numeric_limits<std::int32_t>::min() &&
                  whole <= std::numeric_limits<std::int32_t>::max())) {
                whole = 0;  // outside what the file format's writer can hold
            }
            const auto micro = static_cast<std::int32_t>(std::lround((seconds - whole) * 1e6));
            return plist_new_date(static_cast<std::int32_t>(whole),
                                  micro >= 1000000 ? 999999 : micro);
        }
        case PropertyList::Type::Data: {
            const auto& data = *value.dataValue();
            return plist_new_data(reinterpret_cast<const char*>(data.data()), data.size());
        }
        case PropertyList::Type::Array: {
            plist_t array = plist_new_array();
            for (const auto& item : *value.arrayValue()) {
                plist_array_append_item(array, toNode(item));
            }
            return array;
        }
        case PropertyList::Type::Dictionary: {
            plist_t dictionary = plist_new_dict();
            for (const auto& [key, item] : *value.dictionaryValue()) {
                plist_dict_set_item(dictionary, key.c_str(), toNode(item));
            }
            return dictionary;
        }
    }
    return plist_new_string("");
}

// Property-list files of this platform are small; anything larger is refused.
constexpr std::uint64_t kMaximumFileSize = 64 * 1024 * 1024;

}  // namespace

std::optional<PropertyList> PropertyList::readFromBytes(std::span<const std::uint8_t> bytes) {
    return readBytes(bytes, "(in memory)");
}

std::optional<PropertyList> PropertyList::readFromFile(const std::string& path) {
    return readFromFile(path, fileManager());
}

std::optional<PropertyList> PropertyList::readFromFile(const std::string& path,
                                                       FileManager& files) {
    // A missing file is an answer, not a fault: callers read optional files this way.
    const auto bytes = files.contentsAtPath(path, kMaximumFileSize, nullptr);
    if (!bytes) {
        return std::nullopt;
    }
    return readBytes(*bytes, path);
}

std::string PropertyList::toXML() const {
    const PlistHandle root(toNode(*this));
    char* xml = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(static_cast<plist_t>(root.get()), &xml, &length);
    std::string text = xml ? std::string(xml, length) : std::string();
    plist_to_xml_free(xml);
    return text;
}

}  // namespace platform
