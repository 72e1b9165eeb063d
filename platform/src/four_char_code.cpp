#include "platform/four_char_code.h"

#include <cstdio>

namespace platform {

std::string fourCharCodeString(FourCharCode code) {
    std::string text(4, ' ');
    for (int i = 0; i < 4; ++i) {
        const auto c = static_cast<unsigned char>(code >> (24 - 8 * i));
        if (c < 0x20 || c > 0x7E) {
            // Not all printable: the number is the only faithful form for a log line.
            char hex[11];
            std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(code));
            return hex;
        }
        text[static_cast<std::size_t>(i)] = static_cast<char>(c);
    }
    return text;
}

}  // namespace platform
