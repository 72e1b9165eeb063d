#include "platform/property_list.h"
#include "real_text.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "platform/url.h"
#include "platform/utf.h"

namespace platform {

PropertyList::PropertyList() : value_(std::make_shared<Dictionary>()) {}
PropertyList::PropertyList(std::string value) : value_(std::move(value)) {}
PropertyList::PropertyList(const char* value) : value_(std::string(value ? value : "")) {}
PropertyList::PropertyList(bool value) : value_(value) {}
PropertyList::PropertyList(std::int64_t value) : value_(value) {}
PropertyList::PropertyList(int value) : value_(static_cast<std::int64_t>(value)) {}
PropertyList::PropertyList(double value) : value_(value) {}
PropertyList::PropertyList(Date value) : value_(value) {}
PropertyList::PropertyList(Data value) : value_(std::move(value)) {}
PropertyList::PropertyList(Array value) : value_(std::make_shared<Array>(std::move(value))) {}
PropertyList::PropertyList(Dictionary value)
    : value_(std::make_shared<Dictionary>(std::move(value))) {}

PropertyList::Type PropertyList::type() const {
    return static_cast<Type>(value_.index());
}

const std::string* PropertyList::stringValue() const {
    return std::get_if<std::string>(&value_);
}

std::optional<bool> PropertyList::booleanValue() const {
    if (const auto* value = std::get_if<bool>(&value_)) {
        return *value;
    }
    return std::nullopt;
}

std::optional<std::int64_t> PropertyList::integerValue() const {
    if (const auto* value = std::get_if<std::int64_t>(&value_)) {
        return *value;
    }
    return std::nullopt;
}

std::optional<double> PropertyList::realValue() const {
    if (const auto* value = std::get_if<double>(&value_)) {
        return *value;
    }
    return std::nullopt;
}

const PropertyList::Array* PropertyList::arrayValue() const {
    const auto* value = std::get_if<std::shared_ptr<Array>>(&value_);
    return value ? value->get() : nullptr;
}

const PropertyList::Dictionary* PropertyList::dictionaryValue() const {
    const auto* value = std::get_if<std::shared_ptr<Dictionary>>(&value_);
    return value ? value->get() : nullptr;
}

PropertyList::Dictionary* PropertyList::mutableDictionaryValue() {
    auto* value = std::get_if<std::shared_ptr<Dictionary>>(&value_);
    if (value == nullptr) {
        return nullptr;
    }
    // Copies share their containers until one of them changes.
    if (value->use_count() > 1) {
        *value = std::make_shared<Dictionary>(**value);
    }
    return value->get();
}

const PropertyList::Data* PropertyList::dataValue() const {
    return std::get_if<Data>(&value_);
}

std::optional<PropertyList::Date> PropertyList::dateValue() const {
    if (const auto* value = std::get_if<Date>(&value_)) {
        return *value;
    }
    return std::nullopt;
}

const PropertyList* PropertyList::objectForKey(const std::string& key) const {
    const Dictionary* dictionary = dictionaryValue();
    if (dictionary == nullptr) {
        return nullptr;
    }
    const auto found = dictionary->find(key);
    return found == dictionary->end() ? nullptr : &found->second;
}

bool PropertyList::boolValue() const {
    switch (type()) {
        case Type::Boolean:
            return std::get<bool>(value_);
        case Type::Integer:
            return std::get<std::int64_t>(value_) != 0;
        case Type::Real:
            return std::get<double>(value_) != 0;
        case Type::String: {
            // White space, then an optional sign and leading zeros are passed over.
            const std::string& text = std::get<std::string>(value_);
            std::size_t i = text.find_first_not_of(" \t\n\r\v\f");
            if (i == std::string::npos) {
                return false;
            }
            if (text[i] == '+' || text[i] == '-') {
                ++i;
            }
            while (i < text.size() && text[i] == '0') {
                ++i;
            }
            if (i >= text.size()) {
                return false;
            }
            const char c = text[i];
            return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
        }
        default:
            return false;
    }
}

std::optional<PropertyList> PropertyList::dictionaryWithContentsOfFile(const std::string& path) {
    auto value = readFromFile(path);
    if (!value || !value->isDictionary()) {
        return std::nullopt;
    }
    return value;
}

std::optional<PropertyList> PropertyList::dictionaryWithContentsOfURL(const URL& url) {
    if (!url.isFileURL()) {
        return std::nullopt;
    }
    return dictionaryWithContentsOfFile(url.path());
}

namespace {

std::string indentation(int level) {
    return std::string(static_cast<std::size_t>(level) * 4, ' ');
}

bool isBareWord(const std::string& text) {
    if (text.empty()) {
        return false;
    }
    for (const char c : text) {
        const bool alphanumeric =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!alphanumeric) {
            return false;
        }
    }
    return true;
}

// Strings print bare when they are plain words, otherwise quoted with escapes; characters
// outside ASCII print as \Uxxxx, one per UTF-16 unit.
std::string describeString(const std::string& text) {
    if (isBareWord(text)) {
        return text;
    }
    std::string out = "\"";
    for (const char16_t unit : utf::utf8ToUtf16(text)) {
        switch (unit) {
            case u'"':
                out += "\\\"";
                break;
            case u'\\':
                out += "\\\\";
                break;
            case u'\n':
                out += "\\n";
                break;
            case u'\t':
                out += "\\t";
                break;
            case u'\r':
                out += "\\r";
                break;
            default:
                if (unit >= 0x20 && unit < 0x7F) {
                    out.push_back(static_cast<char>(unit));
                } else {
                    char escape[8];
                    std::snprintf(escape, sizeof escape, "\\U%04x", static_cast<unsigned>(unit));
                    out += escape;
                }
        }
    }
    out.push_back('"');
    return out;
}

std::string describeDate(PropertyList::Date date) {
    // Seconds between 1970-01-01 and the reference date 2001-01-01.
    constexpr double kReferenceOffset = 978307200.0;
    const double seconds = std::floor(date.secondsSinceReferenceDate + kReferenceOffset);
    if (!std::isfinite(seconds) || std::fabs(seconds) > 1e15) {
        return shortestRealText(date.secondsSinceReferenceDate);
    }
    const auto time = static_cast<std::time_t>(seconds);
    std::tm parts{};
    gmtime_r(&time, &parts);
    char buffer[64];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S +0000", &parts);
    return buffer;
}

std::string hexBytes(const std::uint8_t* bytes, std::size_t count, bool grouped) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < count; ++i) {
        if (grouped && i > 0 && i % 4 == 0) {
            out.push_back(' ');
        }
        out.push_back(kDigits[bytes[i] >> 4]);
        out.push_back(kDigits[bytes[i] & 0x0F]);
    }
    return out;
}

std::string describeData(const PropertyList::Data& data) {
    std::string out = "{length = " + std::to_string(data.size()) + ", bytes = 0x";
    if (data.size() <= 24) {
        out += hexBytes(data.data(), data.size(), false);
    } else {
        // Long data shows its head and its tail only.
        out += hexBytes(data.data(), 16, true) + " ... " +
               hexBytes(data.data() + data.size() - 8, 8, true) + " ";
    }
    return out + "}";
}

// The text of a value that is no container, before quoting.
std::string leafText(const PropertyList& value) {
    switch (value.type()) {
        case PropertyList::Type::String:
            return *value.stringValue();
        case PropertyList::Type::Boolean:
            return *value.booleanValue() ? "1" : "0";
        case PropertyList::Type::Integer:
            return std::to_string(*value.integerValue());
        case PropertyList::Type::Real:
            return shortestRealText(*value.realValue());
        case PropertyList::Type::Date:
            return describeDate(*value.dateValue());
        case PropertyList::Type::Data:
            return describeData(*value.dataValue());
        default:
            return std::string();
    }
}

std::string describe(const PropertyList& value, int level) {
    switch (value.type()) {
        case PropertyList::Type::String:
        case PropertyList::Type::Boolean:
        case PropertyList::Type::Integer:
        case PropertyList::Type::Real:
        case PropertyList::Type::Date:
        case PropertyList::Type::Data:
            // Every value prints through its text, quoted unless it is a plain word.
            return describeString(leafText(value));
        case PropertyList::Type::Array: {
            // A nested container opens indented at its own level, as the platform prints it.
            std::string out = indentation(level) + "(\n";
            const auto& items = *value.arrayValue();
            for (std::size_t i = 0; i < items.size(); ++i) {
                out += indentation(level + 1) + describe(items[i], level + 1);
                out += i + 1 < items.size() ? ",\n" : "\n";
            }
            return out + indentation(level) + ")";
        }
        case PropertyList::Type::Dictionary: {
            std::string out = indentation(level) + "{\n";
            for (const auto& [key, item] : *value.dictionaryValue()) {
                out += indentation(level + 1) + describeString(key) + " = " +
                       describe(item, level + 1) + ";\n";
            }
            return out + indentation(level) + "}";
        }
    }
    return std::string();
}

}  // namespace

std::string PropertyList::description() const {
    return describe(*this, 0);
}

bool PropertyList::operator==(const PropertyList& other) const {
    if (type() != other.type()) {
        return false;
    }
    switch (type()) {
        case Type::Array:
            return *arrayValue() == *other.arrayValue();
        case Type::Dictionary:
            return *dictionaryValue() == *other.dictionaryValue();
        case Type::Real: {
            // Not-a-number equals itself here, so that a value read back equals the value written.
            const double a = *realValue(), b = *other.realValue();
            return a == b || (std::isnan(a) && std::isnan(b));
        }
        default:
            return value_ == other.value_;
    }
}

}  // namespace platform
