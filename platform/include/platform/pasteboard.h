// A pasteboard as the Services mechanism hands it over: its types in order, and the text of the
// types that carry text.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// The legacy plain-text pasteboard type.
inline constexpr const char* NSStringPboardType = "NSStringPboardType";

struct Pasteboard {
    std::vector<std::string> types;
    std::map<std::string, std::string> strings;

    std::optional<std::string> stringForType(const std::string& type) const;
};

}  // namespace platform
