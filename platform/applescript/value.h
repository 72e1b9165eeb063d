// The values a script computes with, the failures that end or unwind a run, and how both read
// in messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "applescript/script.h"
#include "platform/apple_event_descriptor.h"

namespace platform::applescript {

inline constexpr OSStatus kScriptError = -2700;
inline constexpr OSStatus kCannotCoerce = errAECoercionFail;
inline constexpr OSStatus kDivideByZero = -2701;

struct Key {
    FourCharCode code = 0;  // 0: a user field, named by `name`
    std::string name;
};

struct Value {
    enum class Kind : std::uint8_t {
        Missing,
        Text,
        Integer,
        Real,
        Boolean,
        List,
        Record,
        Reference,
        Application,
        Type,
        File,  // text: the POSIX path, a folder's with a trailing "/"
        // The loop variable of `repeat with x in collection`: item `integer` of `container`,
        // whose value is items[0]. It stands for that item wherever a value is used, except
        // that `=` and `≠` compare the reference itself (scripts write `contents of x`).
        ItemReference
    };
    Kind kind = Kind::Missing;
    std::string text;
    std::int64_t integer = 0;
    double real = 0;
    bool boolean = false;
    FourCharCode code = 0;
    std::vector<Value> items;  // list items; record values
    std::vector<Key> keys;     // record keys, parallel to items
    std::shared_ptr<const AppleEventDescriptor> specifier;
    std::string bundleIdentifier;            // references and applications: the target
    std::string applicationName;             // for messages
    std::shared_ptr<const Value> container;  // item references: the collection

    static Value missing() { return {}; }
    // A text or a list beyond the bounds of script.h raises kOutOfMemory.
    static Value ofText(std::string text);
    static Value ofInteger(std::int64_t number) {
        Value v;
        v.kind = Kind::Integer;
        v.integer = number;
        return v;
    }
    static Value ofReal(double number) {
        Value v;
        v.kind = Kind::Real;
        v.real = number;
        return v;
    }
    static Value ofBoolean(bool flag) {
        Value v;
        v.kind = Kind::Boolean;
        v.boolean = flag;
        return v;
    }
    static Value ofList(std::vector<Value> items);
    static Value itemReference(std::shared_ptr<const Value> container, std::int64_t index,
                               Value item) {
        Value v;
        v.kind = Kind::ItemReference;
        v.container = std::move(container);
        v.integer = index;
        v.items.push_back(std::move(item));
        return v;
    }
    static Value ofFile(std::string path) {
        Value v;
        v.kind = Kind::File;
        v.text = std::move(path);
        return v;
    }
    bool isNumber() const { return kind == Kind::Integer || kind == Kind::Real; }
    bool isTarget() const { return kind == Kind::Reference || kind == Kind::Application; }
    double number() const { return kind == Kind::Integer ? static_cast<double>(integer) : real; }
};

// The value a value stands for: the item of an item reference, any other value itself.
inline const Value& contents(const Value& value) {
    return value.kind == Value::Kind::ItemReference ? value.items.front() : value;
}

// A failure of a run. Budget and stack failures are fatal: `try` does not catch them.
struct Failure {
    OSStatus number = kScriptError;
    std::string message;
    std::string applicationName;
    std::size_t offset = 0;
    std::size_t length = 0;
    bool hasRange = false;
    bool fatal = false;
};

[[noreturn]] void raise(OSStatus number, std::string message, std::string applicationName = {});

// A real number as text: integral values keep one decimal (2.0), others their shortest form.
std::string formatReal(double value);
// A value as messages show it: texts quoted and cut, lists and records in braces.
std::string describe(const Value& value, int depth = 0);
// An object specifier as messages show it: name of document 1.
std::string describeSpecifier(const AppleEventDescriptor& specifier, int depth = 0);

// Raise kOutOfMemory when a text of `bytes` or a list of `items` would pass the bounds.
void checkTextLength(std::size_t bytes);
void checkListLength(std::size_t items);

// The elements of a text: characters (whole UTF-8 sequences), paragraphs (split at CR, LF and
// CRLF) and words (runs of letters, digits, apostrophes and underscores). Splitting stops with
// kOutOfMemory once there would be more elements than a list may hold.
std::vector<std::string> characters(const std::string& text);
std::vector<std::string> paragraphs(const std::string& text);
std::vector<std::string> words(const std::string& text);
// The number of characters, without splitting.
std::size_t characterCount(const std::string& text);

}  // namespace platform::applescript
