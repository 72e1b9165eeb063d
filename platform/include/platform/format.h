// The formatter of the system's own format strings: %@ and %{public}@ / %{private}@ for objects,
// %d %i %ld %lld %u %lu %x %s for numbers and C strings, %% for a per-cent sign; and the reading
// of integers written in text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace platform {

class AppleEventDescriptor;
class PropertyList;
class URL;
struct Error;

// One argument of a format string: text for the object specifiers (an object is given by its
// text form), a number for the numeric ones. An absent object prints as "(null)".
class FormatArg {
  public:
    FormatArg(std::string_view text) : value_(std::string(text)) {}
    FormatArg(const std::string& text) : value_(text) {}
    FormatArg(const char* text);
    FormatArg(int number) : value_(static_cast<std::int64_t>(number)) {}
    FormatArg(long number) : value_(static_cast<std::int64_t>(number)) {}
    FormatArg(long long number) : value_(static_cast<std::int64_t>(number)) {}
    FormatArg(unsigned number) : value_(static_cast<std::int64_t>(number)) {}
    FormatArg(const std::optional<std::string>& text);
    FormatArg(const Error& error);
    FormatArg(const URL& url);
    FormatArg(const std::optional<URL>& url);
    FormatArg(const PropertyList& value);
    FormatArg(const AppleEventDescriptor& value);

    // The text an object specifier prints; numbers print in decimal.
    std::string objectText() const;
    std::optional<std::int64_t> number() const;

  private:
    std::variant<std::monostate, std::string, std::int64_t> value_;
};

// Substitutes the arguments in order. A specifier without an argument prints "(null)" for
// objects and 0 for numbers; surplus arguments are ignored; an unknown specifier is copied.
std::string formatString(std::string_view format, const std::vector<FormatArg>& args);

// The integer value of a text as the platform's strings answer it: leading white space, an
// optional sign, then the leading decimal digits; 0 without digits; out-of-range values
// saturate. The same in every locale.
std::int64_t integerValueOfText(std::string_view text);

}  // namespace platform
