#include "platform/utf.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace platform::utf {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one code point at text[i], advancing i past it. An ill-formed sequence consumes its
// longest well-formed prefix (at least one byte) and answers U+FFFD.
char32_t decodeOne(std::string_view text, std::size_t& i) {
    const auto byte = [&](std::size_t at) { return static_cast<std::uint8_t>(text[at]); };
    const std::uint8_t lead = byte(i++);
    if (lead < 0x80) {
        return lead;
    }
    std::size_t length = 0;
    char32_t value = 0;
    std::uint8_t low = 0x80, high = 0xBF;  // the range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        value = lead & 0x0F;
        if (lead == 0xE0)
            low = 0xA0;  // no overlong forms
        if (lead == 0xED)
            high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        value = lead & 0x07;
        if (lead == 0xF0)
            low = 0x90;
        if (lead == 0xF4)
            high = 0x8F;  // nothing above U+10FFFF
    } else {
        return kReplacement;
    }
    for (std::size_t k = 1; k < length; ++k) {
        if (i >= text.size()) {
            return kReplacement;
        }
        const std::uint8_t next = byte(i);
        const std::uint8_t min = k == 1 ? low : 0x80;
        const std::uint8_t max = k == 1 ? high : 0xBF;
        if (next < min || next > max) {
            return kReplacement;
        }
        value = (value << 6) | (next & 0x3F);
        ++i;
    }
    return value;
}

void appendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

// The length of the run of ASCII bytes at text[i], eight bytes at a time while they last.
std::size_t asciiRun(std::string_view text, std::size_t i) {
    const std::size_t start = i;
    for (; i + 8 <= text.size(); i += 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, text.data() + i, 8);
        if ((word & 0x8080808080808080ull) != 0) {
            break;
        }
    }
    while (i < text.size() && static_cast<std::uint8_t>(text[i]) < 0x80) {
        ++i;
    }
    return i - start;
}

// UTF-16 code units in host order, read from bytes that need not be aligned.
class Utf16Bytes {
  public:
    explicit Utf16Bytes(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
    std::size_t size() const { return bytes_.size() / 2; }
    char16_t operator[](std::size_t i) const {
        char16_t unit;
        std::memcpy(&unit, bytes_.data() + 2 * i, 2);
        return unit;
    }
    // The length of the run of units below 0x80 at i, four at a time while they last.
    std::size_t asciiRun(std::size_t i) const {
        const std::size_t start = i;
        for (; i + 4 <= size(); i += 4) {
            std::uint64_t word = 0;
            std::memcpy(&word, bytes_.data() + 2 * i, 8);
            if ((word & 0xFF80FF80FF80FF80ull) != 0) {
                break;
            }
        }
        while (i < size() && (*this)[i] < 0x80) {
            ++i;
        }
        return i - start;
    }

  private:
    std::span<const std::uint8_t> bytes_;
};

void putUnit(std::uint8_t*& out, char16_t unit) {
    std::memcpy(out, &unit, 2);
    out += 2;
}

}  // namespace

// Text is mostly ASCII: runs of it are widened or narrowed in bulk, and only the rest is decoded
// a code point at a time.
std::size_t utf8ToUtf16Bytes(std::string_view utf8, std::uint8_t* out) {
    std::uint8_t* write = out;
    for (std::size_t i = 0; i < utf8.size();) {
        const std::size_t run = asciiRun(utf8, i);
        for (const char *read = utf8.data() + i, *end = read + run; read != end; ++read) {
            putUnit(write, static_cast<char16_t>(*read));
        }
        i += run;
        if (i >= utf8.size()) {
            break;
        }
        const char32_t c = decodeOne(utf8, i);
        if (c < 0x10000) {
            putUnit(write, static_cast<char16_t>(c));
        } else {
            const char32_t v = c - 0x10000;
            putUnit(write, static_cast<char16_t>(0xD800 + (v >> 10)));
            putUnit(write, static_cast<char16_t>(0xDC00 + (v & 0x3FF)));
        }
    }
    return static_cast<std::size_t>(write - out);
}

std::string utf16BytesToUtf8(std::span<const std::uint8_t> bytes) {
    const Utf16Bytes utf16(bytes);
    std::string out;
    out.reserve(utf16.size() + bytes.size() % 2 * 3);
    for (std::size_t i = 0; i < utf16.size(); ++i) {
        if (const std::size_t run = utf16.asciiRun(i); run > 0) {
            const std::size_t at = out.size();
            out.resize(at + run);
            for (std::size_t k = 0; k < run; ++k) {
                out[at + k] = static_cast<char>(utf16[i + k]);
            }
            i += run;
            if (i >= utf16.size()) {
                break;
            }
        }
        const char16_t unit = utf16[i];
        const char16_t next = i + 1 < utf16.size() ? utf16[i + 1] : u'\0';
        if (unit >= 0xD800 && unit <= 0xDBFF && next >= 0xDC00 && next <= 0xDFFF) {
            appendUtf8(out, 0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) +
                                (static_cast<char32_t>(next) - 0xDC00));
            ++i;
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            appendUtf8(out, kReplacement);
        } else {
            appendUtf8(out, unit);
        }
    }
    if (bytes.size() % 2 != 0) {
        appendUtf8(out, kReplacement);
    }
    return out;
}

bool isWellFormedUtf16Bytes(std::span<const std::uint8_t> bytes) {
    if (bytes.size() % 2 != 0) {
        return false;
    }
    const Utf16Bytes utf16(bytes);
    for (std::size_t i = 0; i < utf16.size(); ++i) {
        i += utf16.asciiRun(i);
        if (i >= utf16.size()) {
            break;
        }
        const char16_t unit = utf16[i];
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 &&
            utf16[i + 1] <= 0xDFFF) {
            ++i;
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            return false;
        }
    }
    return true;
}

std::u16string utf8ToUtf16(std::string_view utf8) {
    // One unit per byte at most: a four-byte sequence gives two units, shorter ones one.
    std::u16string out(utf8.size(), u'\0');
    out.resize(utf8ToUtf16Bytes(utf8, reinterpret_cast<std::uint8_t*>(out.data())) / 2);
    return out;
}

std::string utf16ToUtf8(std::u16string_view utf16) {
    return utf16BytesToUtf8(std::span<const std::uint8_t>(
        reinterpret_cast<const std::uint8_t*>(utf16.data()), utf16.size() * 2));
}

std::string sanitizedUtf8(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    for (std::size_t i = 0; i < utf8.size();) {
        if (const std::size_t run = asciiRun(utf8, i); run > 0) {
            out.append(utf8.substr(i, run));
            i += run;
            continue;
        }
        const std::size_t start = i;
        const char32_t c = decodeOne(utf8, i);
        if (c == kReplacement && !(i - start == 3 && utf8.substr(start, 3) == "\xEF\xBF\xBD")) {
            appendUtf8(out, kReplacement);
        } else {
            out.append(utf8.substr(start, i - start));
        }
    }
    return out;
}

namespace {

constexpr char asciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

std::string asciiLowercased(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        c = asciiLower(c);
    }
    return out;
}

bool equalsIgnoringASCIICase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return asciiLower(x) == asciiLower(y);
           });
}

namespace {

constexpr bool isContinuationByte(char c) {
    return (static_cast<std::uint8_t>(c) & 0xC0) == 0x80;
}

}  // namespace

std::size_t endOfCharacter(std::string_view text, std::size_t at) {
    std::size_t end = std::min(at + 1, text.size());
    while (end < text.size() && isContinuationByte(text[end])) {
        ++end;
    }
    return end;
}

std::size_t characterBoundaryAtOrBefore(std::string_view text, std::size_t offset) {
    if (offset >= text.size()) {
        return text.size();
    }
    while (offset > 0 && isContinuationByte(text[offset])) {
        --offset;
    }
    return offset;
}

std::size_t characterCount(std::string_view text) {
    return static_cast<std::size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return !isContinuationByte(c); }));
}

std::size_t utf16Length(std::string_view text) {
    std::size_t units = 0;
    for (const char c : text) {
        if (!isContinuationByte(c)) {
            units += static_cast<std::uint8_t>(c) >= 0xF0 ? 2 : 1;
        }
    }
    return units;
}

std::vector<std::string> splitList(std::string_view list, char separator) {
    std::vector<std::string> items;
    while (!list.empty()) {
        const std::size_t end = std::min(list.find(separator), list.size());
        if (end > 0) {
            items.emplace_back(list.substr(0, end));
        }
        list.remove_prefix(std::min(end + 1, list.size()));
    }
    return items;
}

}  // namespace platform::utf
