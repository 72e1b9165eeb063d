// Conversions between UTF-8 and UTF-16, and the repair of ill-formed UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace platform::utf {

// UTF-16 code units from UTF-8; each ill-formed sequence becomes one U+FFFD.
std::u16string utf8ToUtf16(std::string_view utf8);
// UTF-8 from UTF-16 code units; an unpaired surrogate becomes U+FFFD.
std::string utf16ToUtf8(std::u16string_view utf16);
// The same text with every ill-formed sequence replaced by U+FFFD.
std::string sanitizedUtf8(std::string_view utf8);

}  // namespace platform::utf
