// Feeds arbitrary bytes to the property-list reader, which reads Info.plists, user defaults and
// the connector table: it must answer absent or a value that can be printed and written again.
#include <cstdint>
#include <span>

#include "platform/property_list.h"

namespace {

void visit(const platform::PropertyList& value) {
    if (const platform::PropertyList::Array* array = value.arrayValue()) {
        for (const platform::PropertyList& item : *array) {
            visit(item);
        }
    } else if (const platform::PropertyList::Dictionary* dictionary = value.dictionaryValue()) {
        for (const auto& [key, item] : *dictionary) {
            visit(item);
        }
    } else {
        (void)value.boolValue();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto value = platform::PropertyList::readFromBytes(std::span(data, size));
    if (!value) {
        return 0;
    }
    visit(*value);
    (void)value->description();
    const std::string xml = value->toXML();
    (void)platform::PropertyList::readFromBytes(
        std::span(reinterpret_cast<const std::uint8_t*>(xml.data()), xml.size()));
    return 0;
}
