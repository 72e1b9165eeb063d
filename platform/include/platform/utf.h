// Text helpers: conversions between UTF-8 and UTF-16, the repair of ill-formed UTF-8, walks over
// UTF-8 by code point, the ASCII case rules by which identifiers and URL schemes are compared,
// and the reading of lists.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace platform::utf {

// UTF-16 code units from UTF-8; each ill-formed sequence becomes one U+FFFD.
std::u16string utf8ToUtf16(std::string_view utf8);
// UTF-8 from UTF-16 code units; an unpaired surrogate becomes U+FFFD.
std::string utf16ToUtf8(std::u16string_view utf16);
// The same two, with the UTF-16 held as bytes in host order, as text descriptors hold it, so
// that no copy of the units is needed on the way. `out` has room for two bytes per byte of
// `utf8`; the answer is the number of bytes written. An odd trailing byte, half a code unit,
// becomes U+FFFD.
std::size_t utf8ToUtf16Bytes(std::string_view utf8, std::uint8_t* out);
std::string utf16BytesToUtf8(std::span<const std::uint8_t> bytes);
// Whether such bytes are whole code units with every surrogate paired, so that they would come
// back unchanged from a round trip through UTF-8.
bool isWellFormedUtf16Bytes(std::span<const std::uint8_t> bytes);
// The same text with every ill-formed sequence replaced by U+FFFD.
std::string sanitizedUtf8(std::string_view utf8);

// Walks over UTF-8 by code point. A code point begins at every byte that is no continuation
// byte (10xxxxxx); ill-formed text is walked by the same rule, so no byte is skipped.
// The offset just past the code point that begins at `at`, with the continuation bytes after it.
std::size_t endOfCharacter(std::string_view text, std::size_t at);
// The last code-point boundary at or before `offset` (the end of the text at most), where the
// text can be cut without splitting a character.
std::size_t characterBoundaryAtOrBefore(std::string_view text, std::size_t offset);
// The number of code points.
std::size_t characterCount(std::string_view text);
// The number of UTF-16 code units the text takes: two for a code point of four bytes, one for
// the others. Ranges of text are counted in these units on the platform.
std::size_t utf16Length(std::string_view text);

// A-Z become a-z; every other byte, UTF-8 sequences included, stays as it is, whatever the
// process's locale.
std::string asciiLowercased(std::string_view text);
// Equal once both are ASCII-lowercased.
bool equalsIgnoringASCIICase(std::string_view a, std::string_view b);

// The items of a list with one separator character between them ("a:b", "x,y"), in order;
// empty items (a separator at either end, or two in a row) are left out.
std::vector<std::string> splitList(std::string_view list, char separator);

}  // namespace platform::utf
