// Machine identifiers and operating-system version tests. Every version test is one question to
// the platform, so the platform's own comparison decides.
#include "helper/application_environment.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace pendra {
namespace {

constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";

// The UTF-8 sequence at the start of bytes: its length and whether it is valid. An invalid
// sequence covers its longest valid beginning (at least one byte), which becomes one U+FFFD.
// Overlong forms, surrogates and values past U+10FFFF are invalid.
struct Sequence {
    std::size_t length;
    bool valid;
};

Sequence leadingSequence(std::string_view bytes) {
    const auto byteAt = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    const unsigned char lead = byteAt(0);
    if (lead < 0x80) {
        return {1, true};
    }
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) {
            low = 0xA0;
        } else if (lead == 0xED) {
            high = 0x9F;
        }
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) {
            low = 0x90;
        } else if (lead == 0xF4) {
            high = 0x8F;
        }
    } else {
        return {1, false};
    }
    for (std::size_t i = 1; i < length; ++i) {
        if (i >= bytes.size()) {
            return {i, false};
        }
        const unsigned char byte = byteAt(i);
        const unsigned char min = i == 1 ? low : 0x80;
        const unsigned char max = i == 1 ? high : 0xBF;
        if (byte < min || byte > max) {
            return {i, false};
        }
    }
    return {length, true};
}

// UTF-8 text with every invalid sequence replaced by U+FFFD.
std::string decodeUTF8Lossy(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size());
    std::size_t index = 0;
    while (index < bytes.size()) {
        const Sequence sequence = leadingSequence(bytes.substr(index));
        if (sequence.valid) {
            text.append(bytes.substr(index, sequence.length));
        } else {
            text += kReplacementCharacter;
        }
        index += sequence.length;
    }
    return text;
}

// A system value read in two steps: its size, then the value into a buffer of that size.
std::string systemStringValue(const char* name) {
    platform::ProcessInfo& processInfo = platform::processInfo();
    std::size_t size = 0;
    if (processInfo.sysctlbyname(name, nullptr, &size) != 0 || size < 1) {
        return "";
    }
    std::vector<char> buffer(size, '\0');
    std::size_t filled = buffer.size();
    if (processInfo.sysctlbyname(name, buffer.data(), &filled) != 0) {
        return "";
    }
    // A value without a terminating zero is taken whole, but never past the buffer.
    std::string_view bytes(buffer.data(), filled < buffer.size() ? filled : buffer.size());
    if (const std::size_t zero = bytes.find('\0'); zero != std::string_view::npos) {
        bytes = bytes.substr(0, zero);
    }
    return decodeUTF8Lossy(bytes);
}

bool atLeast(std::int64_t major, std::int64_t minor, std::int64_t patch) {
    return platform::processInfo().isOperatingSystemAtLeastVersion({major, minor, patch});
}

}  // namespace

std::string ApplicationEnvironment::machineIdentifier() {
    return systemStringValue("hw.machine");
}

std::string ApplicationEnvironment::modelIdentifier() {
    return systemStringValue("hw.model");
}

bool ApplicationEnvironment::isOperatingSystemAtLeastMajorVersion(std::int64_t major) {
    return atLeast(major, 0, 0);
}

bool ApplicationEnvironment::isOperatingSystemAtLeastMajorVersion(std::int64_t major,
                                                                  std::int64_t minorVersion) {
    return atLeast(major, minorVersion, 0);
}

bool ApplicationEnvironment::isOperatingSystemAtLeastMajorVersion(std::int64_t major,
                                                                  std::int64_t minorVersion,
                                                                  std::int64_t patchVersion) {
    return atLeast(major, minorVersion, patchVersion);
}

bool ApplicationEnvironment::isOperatingSystemAtMostMajorVersion(std::int64_t major,
                                                                 std::int64_t minorVersion) {
    // Any patch level of major.minor, or anything older: below major.(minor + 1).0. Wrapping
    // past the largest minor version would turn the answer around, so that case is capped.
    const std::int64_t nextMinor = minorVersion == INT64_MAX ? INT64_MAX : minorVersion + 1;
    return !atLeast(major, nextMinor, 0);
}

bool ApplicationEnvironment::isRunningInSandbox() {
    return true;
}

bool ApplicationEnvironment::isTouchBarSupported() {
    return atLeast(10, 12, 2);
}

bool ApplicationEnvironment::sharingServicePickerSupported() {
    return atLeast(13, 0, 0);
}

bool ApplicationEnvironment::modernUserNotificationsSupported() {
    return atLeast(10, 14, 0);
}

bool ApplicationEnvironment::automaticallyLocalizedKeyEquivalentsSupported() {
    return atLeast(12, 0, 0);
}

bool ApplicationEnvironment::dynamicTypeSupported() {
    return atLeast(10, 15, 0);
}

}  // namespace pendra
