#include "value.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <utility>

#include "coercion.h"
#include "platform/utf.h"
#include "terms.h"

namespace platform::applescript {

void raise(OSStatus number, std::string message, std::string applicationName) {
    throw Failure{number, std::move(message), std::move(applicationName)};
}

Value Value::ofText(std::string text) {
    checkTextLength(text.size());
    Value v;
    v.kind = Kind::Text;
    v.text = std::move(text);
    return v;
}

Value Value::ofList(std::vector<Value> items) {
    checkListLength(items.size());
    Value v;
    v.kind = Kind::List;
    v.items = std::move(items);
    return v;
}

void checkTextLength(std::size_t bytes) {
    if (bytes > kMaximumTextLength) {
        raise(kOutOfMemory,
              "A text can’t be longer than " + std::to_string(kMaximumTextLength) + " bytes.");
    }
}

void checkListLength(std::size_t items) {
    if (items > kMaximumListLength) {
        raise(kOutOfMemory,
              "A list can’t have more than " + std::to_string(kMaximumListLength) + " items.");
    }
}

std::string formatReal(double value) {
    if (std::isfinite(value) && value == std::floor(value) && std::fabs(value) < 1e15) {
        return std::to_string(static_cast<std::int64_t>(value)) + ".0";
    }
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

std::string describe(const Value& value, int depth) {
    if (depth > 16) {
        return "…";
    }
    switch (value.kind) {
        case Value::Kind::Missing:
            return "missing value";
        case Value::Kind::Text: {
            // Long texts are cut at a character boundary so that messages stay readable.
            constexpr std::size_t kShown = 120;
            if (value.text.size() <= kShown) {
                return "\"" + value.text + "\"";
            }
            const std::size_t cut = utf::characterBoundaryAtOrBefore(value.text, kShown);
            return "\"" + value.text.substr(0, cut) + "…\"";
        }
        case Value::Kind::Integer:
        case Value::Kind::Real:
        case Value::Kind::Boolean:
        case Value::Kind::Type:
            // Plain values read in messages as they read as text.
            return asText(value);
        case Value::Kind::Application:
            return "application \"" + value.applicationName + "\"";
        case Value::Kind::File:
            return "file \"" + value.text + "\"";
        case Value::Kind::Reference:
            return describeSpecifier(*value.specifier) + " of application \"" +
                   value.applicationName + "\"";
        case Value::Kind::ItemReference:
            return "item " + std::to_string(value.integer) + " of " +
                   describe(*value.container, depth + 1);
        case Value::Kind::List:
        case Value::Kind::Record: {
            std::string text = "{";
            for (std::size_t i = 0; i < value.items.size(); ++i) {
                if (i > 0) {
                    text += ", ";
                }
                if (value.kind == Value::Kind::Record) {
                    const Key& key = value.keys[i];
                    text += (key.code != 0 ? termName(key.code) : "|" + key.name + "|") + ":";
                }
                text += describe(value.items[i], depth + 1);
            }
            return text + "}";
        }
    }
    return "?";
}

std::string describeSpecifier(const AppleEventDescriptor& specifier, int depth) {
    const auto form = specifier.descriptorForKeyword(keyAEKeyForm);
    const auto want = specifier.descriptorForKeyword(keyAEDesiredClass);
    const auto key = specifier.descriptorForKeyword(keyAEKeyData);
    if (!form || !want || !key || depth > 16) {
        return "«object»";
    }
    std::string text;
    const FourCharCode formCode = form->typeCodeValue();
    if (formCode == formPropertyID) {
        text = termName(key->typeCodeValue());
    } else if (formCode == formUserPropertyID) {
        text = "|" + key->stringValue().value_or("") + "|";
    } else if (formCode == formName) {
        text = termName(want->typeCodeValue()) + " \"" + key->stringValue().value_or("") + "\"";
    } else if (key->descriptorType() == typeSInt32) {
        const std::int32_t index = key->int32Value();
        text = index == -1 ? "last " + termName(want->typeCodeValue())
                           : termName(want->typeCodeValue()) + " " + std::to_string(index);
    } else {
        text = "every " + termName(want->typeCodeValue());
    }
    const auto from = specifier.descriptorForKeyword(keyAEContainer);
    if (from && from->descriptorType() == typeObjectSpecifier) {
        text += " of " + describeSpecifier(*from, depth + 1);
    }
    return text;
}

std::vector<std::string> characters(const std::string& text) {
    std::vector<std::string> result;
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t end = utf::endOfCharacter(text, i);
        checkListLength(result.size() + 1);
        result.push_back(text.substr(i, end - i));
        i = end;
    }
    return result;
}

std::vector<std::string> paragraphs(const std::string& text) {
    std::vector<std::string> result;
    if (text.empty()) {
        return result;
    }
    std::string current;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' || text[i] == '\n') {
            if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
                ++i;
            }
            checkListLength(result.size() + 1);
            result.push_back(std::move(current));
            current.clear();
        } else {
            current += text[i];
        }
    }
    result.push_back(std::move(current));
    return result;
}

std::vector<std::string> words(const std::string& text) {
    std::vector<std::string> result;
    std::string current;
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (std::isalnum(u) != 0 || u >= 0x80 || c == '\'' || c == '_') {
            current += c;
        } else if (!current.empty()) {
            checkListLength(result.size() + 1);
            result.push_back(std::move(current));
            current.clear();
        }
    }
    if (!current.empty()) {
        checkListLength(result.size() + 1);
        result.push_back(std::move(current));
    }
    return result;
}

std::size_t characterCount(const std::string& text) {
    return utf::characterCount(text);
}

}  // namespace platform::applescript
