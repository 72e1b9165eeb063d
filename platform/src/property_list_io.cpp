// Reading property lists through libplist (XML and binary), and their XML text.
#include <plist/plist.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <limits>
#include <memory>

#include "platform/property_list.h"

namespace platform {
namespace {

// Nesting beyond this is refused rather than followed.
constexpr int kMaximumDepth = 256;

struct PlistDeleter {
    void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using PlistHandle = std::unique_ptr<void, PlistDeleter>;

std::optional<PropertyList> fromNode(plist_t node, int depth) {
    if (node == nullptr || depth > kMaximumDepth) {
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
        case PLIST_STRING:
        case PLIST_KEY: {
            char* value = nullptr;
            if (plist_get_node_type(node) == PLIST_STRING) {
                plist_get_string_val(node, &value);
            } else {
                plist_get_key_val(node, &value);
            }
            std::string text = value ? value : "";
            std::free(value);
            return PropertyList(std::move(text));
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
                auto item = fromNode(plist_array_get_item(node, i), depth + 1);
                if (!item) {
                    return std::nullopt;
                }
                items.push_back(std::move(*item));
            }
            return PropertyList(std::move(items));
        }
        case PLIST_DICT: {
            PropertyList::Dictionary entries;
            plist_dict_iter iterator = nullptr;
            plist_dict_new_iter(node, &iterator);
            bool ok = iterator != nullptr;
            while (ok) {
                char* key = nullptr;
                plist_t value = nullptr;
                plist_dict_next_item(node, iterator, &key, &value);
                if (value == nullptr) {
                    std::free(key);
                    break;
                }
                auto item = fromNode(value, depth + 1);
                if (item && key != nullptr) {
                    entries.insert_or_assign(key, std::move(*item));
                } else {
                    ok = false;
                }
                std::free(key);
            }
            std::free(iterator);
            if (!ok) {
                return std::nullopt;
            }
            return PropertyList(std::move(entries));
        }
        default:
            return std::nullopt;
    }
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
constexpr std::streamoff kMaximumFileSize = 64 * 1024 * 1024;

}  // namespace

std::optional<PropertyList> PropertyList::readFromBytes(std::span<const std::uint8_t> bytes) {
    if (bytes.empty() || bytes.size() > std::numeric_limits<std::uint32_t>::max()) {
        return std::nullopt;
    }
    plist_t root = nullptr;
    plist_from_memory(reinterpret_cast<const char*>(bytes.data()),
                      static_cast<std::uint32_t>(bytes.size()), &root);
    const PlistHandle handle(root);
    return fromNode(root, 0);
}

std::optional<PropertyList> PropertyList::readFromFile(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode) ||
        status.st_size > kMaximumFileSize) {
        return std::nullopt;
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return std::nullopt;
    }
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(file)),
                                          std::istreambuf_iterator<char>());
    if (file.bad()) {
        return std::nullopt;
    }
    return readFromBytes(bytes);
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
