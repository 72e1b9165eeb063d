// The shortest text that reads back as the same real number, shared by the value types' text
// forms.
#pragma once

#include <charconv>
#include <string>
#include <system_error>

namespace platform {

inline std::string shortestRealText(double value) {
    char buffer[64];
    const auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value);
    return error == std::errc() ? std::string(buffer, end) : std::string("0");
}

}  // namespace platform
