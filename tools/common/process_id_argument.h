// The process id that both tools are handed on their command line.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace tool_common {

// A process id given as text: a positive decimal integer that fits, or absent. Signs, spaces
// and trailing characters are refused rather than read past, so that a wrong argument never
// has a tool wait for some other process, or for process 0.
inline std::optional<std::int32_t> processIdFromArgument(std::string_view text) {
    if (text.empty() || text.size() > 10 ||
        text.find_first_not_of("0123456789") != std::string_view::npos) {
        return std::nullopt;
    }
    std::int64_t value = 0;
    for (const char digit : text) {
        value = value * 10 + (digit - '0');
    }
    if (value <= 0 || value > INT32_MAX) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(value);
}

}  // namespace tool_common
