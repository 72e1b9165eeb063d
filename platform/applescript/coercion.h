// Coercions between the language's values, and the comparisons that rest on them. A value that
// cannot be made into the type asked for raises a coercion failure (-1700).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "value.h"

namespace platform::applescript {

[[noreturn]] void cannotMake(const Value& value, const char* type);

// While it lives, lists made into text on this thread get `between` (kept alive by the caller)
// between their items: the running script's first text item delimiter.
class JoinerScope {
  public:
    explicit JoinerScope(const std::string* between);
    ~JoinerScope();
    JoinerScope(const JoinerScope&) = delete;
    JoinerScope& operator=(const JoinerScope&) = delete;

  private:
    const std::string* saved_;
};

// The text items of `text`: the pieces between any of the delimiters, ignoring case; its
// characters when every delimiter is empty, and none for empty text.
std::vector<std::string> textItems(const std::string& text,
                                   const std::vector<std::string>& delimiters);

std::string asText(const Value& value);
// An integer or a real; text is read as a number when all of it is one.
Value asNumber(const Value& value);
std::int64_t asInteger(const Value& value);
bool asBoolean(const Value& value);
// The items of a list or the values of a record; any other value as a list of one.
std::vector<Value> asList(const Value& value);
// The coercion of `value as <type>`; the type is one the parser accepts after `as`.
Value coerce(const Value& value, FourCharCode type);

// Equality as `=` sees it: numbers by value, texts ignoring case, records by their fields.
bool equal(const Value& a, const Value& b);
// The order of `<`: texts ignoring case, otherwise as numbers.
int order(const Value& a, const Value& b);
// Whether `container` holds `part`: text within text, an item or a run of items in a list,
// the fields of a record.
bool contains(const Value& container, const Value& part);
bool startsOrEnds(const Value& whole, const Value& part, bool atStart);

}  // namespace platform::applescript
