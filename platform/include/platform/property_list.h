// Property-list values: string, boolean, integer, real, date, data, array and dictionary, read
// from XML or binary property-list files and written as XML text.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace platform {

class FileManager;
class URL;

class PropertyList {
  public:
    using Array = std::vector<PropertyList>;
    // Keys are kept sorted, which is also the order in which the platform prints them.
    using Dictionary = std::map<std::string, PropertyList>;
    struct Date {
        double secondsSinceReferenceDate = 0;  // since 2001-01-01 00:00:00 UTC
        bool operator==(const Date&) const = default;
    };
    using Data = std::vector<std::uint8_t>;

    enum class Type : std::uint8_t {
        String,
        Boolean,
        Integer,
        Real,
        Date,
        Data,
        Array,
        Dictionary
    };

    PropertyList();  // an empty dictionary
    PropertyList(std::string value);
    PropertyList(const char* value);
    PropertyList(bool value);
    PropertyList(std::int64_t value);
    PropertyList(int value);
    PropertyList(double value);
    PropertyList(Date value);
    PropertyList(Data value);
    PropertyList(Array value);
    PropertyList(Dictionary value);

    Type type() const;
    bool isString() const { return type() == Type::String; }
    bool isDictionary() const { return type() == Type::Dictionary; }
    bool isArray() const { return type() == Type::Array; }

    // Typed access; absent (or null) when the value has another type.
    const std::string* stringValue() const;
    std::optional<bool> booleanValue() const;
    std::optional<std::int64_t> integerValue() const;
    std::optional<double> realValue() const;
    const Array* arrayValue() const;
    const Dictionary* dictionaryValue() const;
    Dictionary* mutableDictionaryValue();
    const Data* dataValue() const;
    std::optional<Date> dateValue() const;

    // A dictionary's value for a key; absent when this is no dictionary or has no such key.
    const PropertyList* objectForKey(const std::string& key) const;
    // The platform's Boolean reading of a value: booleans as they are, numbers non-zero,
    // strings starting with Y, y, T, t or a non-zero digit; everything else NO.
    bool boolValue() const;

    // Reading, through the installed file manager or the one given. A missing, unreadable,
    // malformed or overlarge file answers absent.
    static std::optional<PropertyList> readFromFile(const std::string& path);
    static std::optional<PropertyList> readFromFile(const std::string& path, FileManager& files);
    static std::optional<PropertyList> readFromBytes(std::span<const std::uint8_t> bytes);
    // A property list whose root is a dictionary, or absent (dictionaryWithContentsOfURL:).
    static std::optional<PropertyList> dictionaryWithContentsOfURL(const URL& url);
    static std::optional<PropertyList> dictionaryWithContentsOfFile(const std::string& path);

    // The XML property-list text; files are written by the platform's file services.
    std::string toXML() const;

    // The platform's text form: strings bare or quoted, dictionaries as
    // "{\n    key = value;\n}", arrays as "(\n    a,\n    b\n)".
    std::string description() const;

    bool operator==(const PropertyList& other) const;

  private:
    std::variant<std::string, bool, std::int64_t, double, Date, Data, std::shared_ptr<Array>,
                 std::shared_ptr<Dictionary>>
        value_;
};

}  // namespace platform
