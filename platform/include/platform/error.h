// Errors reported by the platform, printed in the platform's own form.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace platform {

inline constexpr const char* NSCocoaErrorDomain = "NSCocoaErrorDomain";
inline constexpr const char* NSPOSIXErrorDomain = "NSPOSIXErrorDomain";
inline constexpr const char* NSOSStatusErrorDomain = "NSOSStatusErrorDomain";

struct Error {
    std::string domain;
    std::int64_t code = 0;
    std::string localizedDescription;
    std::optional<std::string> filePath;

    // An error of the POSIX domain for an errno value, with its message and the path concerned.
    static Error posix(int errnoValue, std::optional<std::string> path = std::nullopt);

    // Error Domain=NSPOSIXErrorDomain Code=2 "No such file or directory" UserInfo={NSFilePath=/x}
    std::string description() const;

    bool operator==(const Error&) const = default;
};

}  // namespace platform
