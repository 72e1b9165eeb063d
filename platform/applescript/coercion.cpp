#include "coercion.h"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "terms.h"

namespace platform::applescript {
namespace {

constexpr FourCharCode kNumberType = fourCharCode("nmbr");

// What joins the items of a list made into text: the running script's first text item
// delimiter, nothing outside a run.
thread_local const std::string* joiner = nullptr;

}  // namespace

JoinerScope::JoinerScope(const std::string* between) : saved_(joiner) {
    joiner = between;
}

JoinerScope::~JoinerScope() {
    joiner = saved_;
}

std::vector<std::string> textItems(const std::string& text,
                                   const std::vector<std::string>& delimiters) {
    std::vector<std::string> lowered;
    for (const std::string& delimiter : delimiters) {
        if (!delimiter.empty()) {
            lowered.push_back(lowercased(delimiter));
        }
    }
    if (lowered.empty()) {
        return characters(text);
    }
    std::vector<std::string> items;
    if (text.empty()) {
        return items;
    }
    // Case is ignored as in comparisons; lower-casing keeps byte offsets, so the pieces are
    // cut from the original text.
    const std::string haystack = lowercased(text);
    std::size_t start = 0;
    while (true) {
        std::size_t found = std::string::npos;
        std::size_t length = 0;
        for (const std::string& delimiter : lowered) {
            const std::size_t at = haystack.find(delimiter, start);
            if (at < found) {
                found = at;
                length = delimiter.size();
            }
        }
        checkListLength(items.size() + 1);
        if (found == std::string::npos) {
            items.push_back(text.substr(start));
            return items;
        }
        items.push_back(text.substr(start, found - start));
        start = found + length;
    }
}

void cannotMake(const Value& value, const char* type) {
    raise(kCannotCoerce, "Can’t make " + describe(value) + " into type " + type + ".");
}

std::string asText(const Value& given) {
    const Value& value = contents(given);
    switch (value.kind) {
        case Value::Kind::Text:
            return value.text;
        case Value::Kind::Integer:
            return std::to_string(value.integer);
        case Value::Kind::Real:
            return formatReal(value.real);
        case Value::Kind::Boolean:
            return value.boolean ? "true" : "false";
        case Value::Kind::Type:
            return termName(value.code);
        case Value::Kind::File:
            return value.text;
        case Value::Kind::List: {
            std::string text;
            const std::string none;
            const std::string& between = joiner != nullptr ? *joiner : none;
            for (std::size_t i = 0; i < value.items.size(); ++i) {
                const std::string part = asText(value.items[i]);
                const std::size_t gap = i > 0 ? between.size() : 0;
                checkTextLength(text.size() + gap + part.size());
                if (gap > 0) {
                    text += between;
                }
                text += part;
            }
            return text;
        }
        default:
            cannotMake(value, "text");
    }
}

Value asNumber(const Value& given) {
    const Value& value = contents(given);
    if (value.isNumber()) {
        return value;
    }
    if (value.kind == Value::Kind::List && value.items.size() == 1) {
        return asNumber(value.items[0]);
    }
    if (value.kind == Value::Kind::Text) {
        std::string text = value.text;
        const auto first = text.find_first_not_of(" \t\r\n");
        const auto last = text.find_last_not_of(" \t\r\n");
        if (first != std::string::npos) {
            text = text.substr(first, last - first + 1);
            std::int64_t integer = 0;
            const auto [end, error] =
                std::from_chars(text.data(), text.data() + text.size(), integer);
            if (error == std::errc() && end == text.data() + text.size()) {
                return Value::ofInteger(integer);
            }
            double real = 0;
            const auto [realEnd, realError] =
                std::from_chars(text.data(), text.data() + text.size(), real);
            if (realError == std::errc() && realEnd == text.data() + text.size()) {
                return Value::ofReal(real);
            }
        }
    }
    cannotMake(value, "number");
}

std::int64_t asInteger(const Value& value) {
    const Value number = asNumber(value);
    if (number.kind == Value::Kind::Integer) {
        return number.integer;
    }
    if (!std::isfinite(number.real) || std::fabs(number.real) > 9e15) {
        cannotMake(value, "integer");
    }
    return static_cast<std::int64_t>(std::nearbyint(number.real));
}

bool asBoolean(const Value& given) {
    const Value& value = contents(given);
    if (value.kind == Value::Kind::Boolean) {
        return value.boolean;
    }
    if (value.kind == Value::Kind::Text) {
        if (equalIgnoringCase(value.text, "true")) {
            return true;
        }
        if (equalIgnoringCase(value.text, "false")) {
            return false;
        }
    }
    if (value.kind == Value::Kind::Integer && (value.integer == 0 || value.integer == 1)) {
        return value.integer == 1;
    }
    cannotMake(value, "boolean");
}

std::vector<Value> asList(const Value& given) {
    const Value& value = contents(given);
    if (value.kind == Value::Kind::List || value.kind == Value::Kind::Record) {
        return value.items;
    }
    return {value};
}

Value coerce(const Value& given, FourCharCode type) {
    const Value& value = contents(given);
    if (type == typeUnicodeText) {
        return Value::ofText(asText(value));
    }
    if (type == typeSInt32) {
        return Value::ofInteger(asInteger(value));
    }
    if (type == typeIEEE64BitFloatingPoint) {
        return Value::ofReal(asNumber(value).number());
    }
    if (type == kNumberType) {
        return asNumber(value);
    }
    if (type == typeBoolean) {
        return Value::ofBoolean(asBoolean(value));
    }
    if (type == typeAEList) {
        return Value::ofList(asList(value));
    }
    if (value.kind != Value::Kind::Record) {
        cannotMake(value, "record");
    }
    return value;
}

namespace {

// Whether every field of the record `part` stands, with an equal value, in the record `whole`.
bool holdsFields(const Value& whole, const Value& part) {
    for (std::size_t i = 0; i < part.items.size(); ++i) {
        bool found = false;
        for (std::size_t j = 0; j < whole.items.size() && !found; ++j) {
            found = part.keys[i].code == whole.keys[j].code &&
                    equalIgnoringCase(part.keys[i].name, whole.keys[j].name) &&
                    equal(part.items[i], whole.items[j]);
        }
        if (!found) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool equal(const Value& a, const Value& b) {
    if (a.isNumber() && b.isNumber()) {
        return a.number() == b.number();
    }
    if (a.kind != b.kind) {
        return false;
    }
    switch (a.kind) {
        case Value::Kind::Missing:
            return true;
        case Value::Kind::Text:
            return equalIgnoringCase(a.text, b.text);
        case Value::Kind::Boolean:
            return a.boolean == b.boolean;
        case Value::Kind::Type:
            return a.code == b.code;
        case Value::Kind::File:
            return a.text == b.text;
        case Value::Kind::Application:
            return a.bundleIdentifier == b.bundleIdentifier;
        case Value::Kind::Reference:
            return a.bundleIdentifier == b.bundleIdentifier && *a.specifier == *b.specifier;
        case Value::Kind::ItemReference:
            return a.container == b.container && a.integer == b.integer;
        case Value::Kind::List:
            return a.items.size() == b.items.size() &&
                   std::equal(a.items.begin(), a.items.end(), b.items.begin(), equal);
        case Value::Kind::Record:
            return a.items.size() == b.items.size() && holdsFields(b, a);
        default:
            return false;
    }
}

int order(const Value& first, const Value& second) {
    const Value& a = contents(first);
    const Value& b = contents(second);
    if (a.kind == Value::Kind::Text) {
        const std::string left = lowercased(a.text);
        const std::string right = lowercased(asText(b));
        return left < right ? -1 : left > right ? 1 : 0;
    }
    const double left = asNumber(a).number();
    const double right = asNumber(b).number();
    return left < right ? -1 : left > right ? 1 : 0;
}

// Whether `container` holds `part`: text within text, an item or a run of items in a list.
bool contains(const Value& whole, const Value& element) {
    const Value& container = contents(whole);
    const Value& part = contents(element);
    if (container.kind == Value::Kind::Text) {
        return lowercased(container.text).find(lowercased(asText(part))) != std::string::npos;
    }
    if (container.kind == Value::Kind::List) {
        const std::vector<Value> needle = asList(part);
        if (needle.empty()) {
            return true;
        }
        const auto found = std::search(container.items.begin(), container.items.end(),
                                       needle.begin(), needle.end(), equal);
        return found != container.items.end();
    }
    if (container.kind == Value::Kind::Record && part.kind == Value::Kind::Record) {
        return holdsFields(container, part);
    }
    raise(kCannotCoerce, "Can’t make " + describe(container) + " into type list.");
}

bool startsOrEnds(const Value& wholeValue, const Value& partValue, bool atStart) {
    const Value& whole = contents(wholeValue);
    const Value& part = contents(partValue);
    if (whole.kind == Value::Kind::List) {
        const std::vector<Value> needle = asList(part);
        if (needle.size() > whole.items.size()) {
            return false;
        }
        const auto from = atStart ? whole.items.begin() : whole.items.end() - needle.size();
        return std::equal(needle.begin(), needle.end(), from, equal);
    }
    const std::string text = lowercased(asText(whole));
    const std::string piece = lowercased(asText(part));
    if (piece.size() > text.size()) {
        return false;
    }
    return atStart ? text.compare(0, piece.size(), piece) == 0
                   : text.compare(text.size() - piece.size(), piece.size(), piece) == 0;
}

}  // namespace platform::applescript
