#include "helper/requests/bbcode_stripping.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <deque>
#include <limits>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "platform/url.h"

namespace pendra {
namespace {

constexpr std::string_view kURLTokenName = "url";
constexpr std::string_view kURLToEncodeTokenName = "urltoencode";
constexpr std::size_t kNone = std::string_view::npos;

// Which bytes a name may hold: ASCII letters and digits.
constexpr std::array<bool, 256> kNameCharacters = [] {
    std::array<bool, 256> table{};
    for (int c = 0; c < 256; ++c) {
        table[static_cast<std::size_t>(c)] =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    }
    return table;
}();

bool isNameCharacter(char c) {
    return kNameCharacters[static_cast<unsigned char>(c)];
}

char lowerCase(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool sameNameIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lowerCase(a[i]) != lowerCase(b[i])) {
            return false;
        }
    }
    return true;
}

// One opening or closing tag, as read at a "[". A tag never holds a "[" after its first
// character, so tags never overlap, and reading the text from "[" to "[" meets every tag.
struct Tag {
    std::size_t begin = 0;      // the "["
    std::size_t end = 0;        // just after the "]"
    std::size_t nameBegin = 0;  // the name runs up to the "]" or to the "=" of the attribute
    std::size_t nameLength = 0;
    // Words rather than bools: a byte stored here and read back as part of a wider load stalls
    // the reading of every tag.
    std::uint32_t closing = 0;
    std::uint32_t hasAttribute = 0;
};

inline bool readTagAt(std::string_view text, std::size_t open, Tag& tag) {
    std::size_t cursor = open + 1;
    tag.begin = open;
    tag.closing = cursor < text.size() && text[cursor] == '/';
    if (tag.closing) {
        ++cursor;
    }
    tag.nameBegin = cursor;
    while (cursor < text.size() && isNameCharacter(text[cursor])) {
        ++cursor;
    }
    if (cursor == tag.nameBegin || cursor >= text.size()) {
        return false;
    }
    tag.nameLength = cursor - tag.nameBegin;
    tag.hasAttribute = false;
    if (text[cursor] == '=' && !tag.closing) {
        tag.hasAttribute = true;
        do {
            ++cursor;
        } while (cursor < text.size() && text[cursor] != ']' && text[cursor] != '[');
        if (cursor == text.size() || text[cursor] != ']') {
            return false;
        }
    }
    if (text[cursor] != ']') {
        return false;
    }
    tag.end = cursor + 1;
    return true;
}

// Reads the tags of a text one after the other, from a start position on. The "[" are found
// eight bytes at a time: notes hold one every few words, and a library search per "[" would
// cost more in calls than in reading.
class TagReader {
  public:
    TagReader(std::string_view text, std::size_t start) : text_(text), position_(start) {}

    // The next tag; false at the end of the text. Every "[" that starts no tag is passed.
    bool next(Tag& tag) {
        for (std::size_t open = nextBracket(); open != std::string_view::npos;
             open = nextBracket()) {
            if (readTagAt(text_, open, tag)) {
                position_ = tag.end;
                return true;
            }
            position_ = open + 1;
        }
        position_ = text_.size();
        return false;
    }

  private:
    static constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
    static constexpr std::uint64_t kLows = 0x7F7F7F7F7F7F7F7FULL;

    // The bytes of a word that equal "[", each as its high bit (exact: no carries between bytes).
    static std::uint64_t bracketBits(std::uint64_t word) {
        const std::uint64_t x = word ^ (kOnes * '[');
        return ~(((x & kLows) + kLows) | x | kLows);
    }

    std::size_t nextBracket() {
        std::size_t at = position_;
        const std::size_t size = text_.size();
        for (; at + 8 <= size; at += 8) {
            std::uint64_t word;
            std::memcpy(&word, text_.data() + at, 8);
            if constexpr (std::endian::native == std::endian::big) {
                word = __builtin_bswap64(word);
            }
            if (const std::uint64_t bits = bracketBits(word)) {
                return at + static_cast<std::size_t>(std::countr_zero(bits)) / 8;
            }
        }
        for (; at < size; ++at) {
            if (text_[at] == '[') {
                return at;
            }
        }
        return std::string_view::npos;
    }

    std::string_view text_;
    std::size_t position_;
};

// Names of up to eight characters are their own key: their lower-cased bytes, which never have
// the high bit set. Longer names are keyed by a hash with the top bit set, and compared.
constexpr std::uint64_t kLongNameKey = std::uint64_t{1} << 63;

// Kept out of line: long names are rare, and the short ones are read on every tag.
[[gnu::noinline]] std::uint64_t longNameKey(std::string_view name) {
    std::uint64_t key = 0xcbf29ce484222325ULL;
    for (char c : name) {
        key = (key ^ static_cast<unsigned char>(lowerCase(c))) * 0x100000001b3ULL;
    }
    return key | kLongNameKey;
}

// The key of a name. Its letters and digits all have the 0x20 bit once lower-cased (digits
// already do), so setting it in every byte lower-cases a whole word of a name at once.
// `readable` is how many bytes the text holds from the name on: with eight of them, a short
// name is read as one word and masked.
inline std::uint64_t nameKey(std::string_view name, std::size_t readable) {
    if (name.size() > 8) {
        return longNameKey(name);
    }
    std::uint64_t word = 0;
    if (readable >= 8) {
        std::memcpy(&word, name.data(), 8);
    } else {
        std::memcpy(&word, name.data(), name.size());
    }
    // The name's bytes in the word, wherever the machine's byte order puts them.
    std::uint64_t used = ~std::uint64_t{0};
    if (name.size() < 8) {
        used = std::endian::native == std::endian::little
                   ? (std::uint64_t{1} << (8 * name.size())) - 1
                   : ~(~std::uint64_t{0} >> (8 * name.size()));
    }
    return (word | 0x2020202020202020ULL) & used;
}

// Whether the name of `key` that the text holds at `nameBegin` is `otherName`, whose key is
// `otherKey`, whatever the letter case.
bool sameName(std::string_view text, std::uint64_t key, std::size_t nameBegin,
              std::size_t nameLength, std::uint64_t otherKey, std::string_view otherName) {
    return key == otherKey && (!(key & kLongNameKey) ||
                               sameNameIgnoringCase(text.substr(nameBegin, nameLength), otherName));
}

bool isLinkName(std::string_view name) {
    return name == kURLTokenName || name == kURLToEncodeTokenName;
}

std::optional<std::string> attributeOf(std::string_view text, const Tag& tag) {
    if (!tag.hasAttribute) {
        return std::nullopt;
    }
    const std::size_t begin = tag.nameBegin + tag.nameLength + 1;
    return std::string(text.substr(begin, tag.end - 1 - begin));
}

// Strips a text whose tokens all close, each inside the token around it, as usual notes do, in
// one reading: every opening tag is dropped at once on the expectation that it closes, and a
// closing tag closes the innermost open tag or nothing at all. False as soon as the text is not
// of that kind (with `result` to be cleared); the full reading then decides. The open tags are
// bounded, so that a text of opening tags costs no more memory here than a few pages.
bool stripNestedTokensInOneReading(std::string_view text, std::string& result) {
    struct OpenTag {
        std::uint64_t key;
        std::size_t nameBegin;
        std::size_t nameLength;
    };
    constexpr std::size_t kMaximumOpenTags = 64;
    std::array<OpenTag, kMaximumOpenTags> open;
    std::size_t depth = 0;
    TagReader reader(text, 0);
    Tag tag;
    std::size_t copied = 0;
    // Written in place: the text is cut into a piece a tag, too many to append one by one.
    result.resize(text.size());
    char* out = result.data();
    while (reader.next(tag)) {
        const std::string_view name = text.substr(tag.nameBegin, tag.nameLength);
        const std::uint64_t key = nameKey(name, text.size() - tag.nameBegin);
        if (!tag.closing) {
            if (depth == kMaximumOpenTags) {
                return false;
            }
            open[depth++] = {key, tag.nameBegin, tag.nameLength};
        } else {
            const auto closes = [&](const OpenTag& opened) {
                return sameName(text, opened.key, opened.nameBegin, opened.nameLength, key, name);
            };
            if (depth > 0 && closes(open[depth - 1])) {
                --depth;
            } else if (std::any_of(open.begin(), open.begin() + depth, closes)) {
                return false;  // it closes a token around the innermost one: tokens cross
            } else {
                continue;  // it closes nothing and stays as text
            }
        }
        std::memcpy(out, text.data() + copied, tag.begin - copied);
        out += tag.begin - copied;
        copied = tag.end;
    }
    if (depth > 0) {
        return false;
    }
    std::memcpy(out, text.data() + copied, text.size() - copied);
    out += text.size() - copied;
    result.resize(static_cast<std::size_t>(out - result.data()));
    return true;
}

// The full reading of a text from a start position on, for texts whose tokens cross or never
// close. It reads the tags twice: first to find where each opening tag closes, matched name by
// name, then to copy the text. Positions are kept as Offset, 32 bits for every text of a usual
// size, in a deque, which grows without copying what it holds: four bytes for each opening tag
// (of at least three characters) and each token around the read position (of at least seven),
// so within 4/3 of the text.
template <typename Offset>
class TokenReading {
  public:
    TokenReading(std::string_view text, std::size_t start)
        : text_(text), reader_(text, start), position_(start) {
        // The innermost open tag of each lower-cased name, numbered from 1 in reading order
        // (0: none). While a tag is open, its entry holds the number of the tag of the same
        // name open before it, so the stacks of open tags take no room of their own.
        std::unordered_map<std::string, Offset> open;
        TagReader reader(text, start);
        Tag tag;
        while (reader.next(tag)) {
            std::string name(text.substr(tag.nameBegin, tag.nameLength));
            std::transform(name.begin(), name.end(), name.begin(), lowerCase);
            Offset& top = open[name];
            if (!tag.closing) {
                closings_.push_back(top);
                top = static_cast<Offset>(closings_.size());
            } else if (top != 0) {
                top = std::exchange(closings_[top - 1], static_cast<Offset>(tag.begin));
            }
        }
        for (auto& [name, top] : open) {  // the tags still open never close
            while (top != 0) {
                top = std::exchange(closings_[top - 1], kNoClosing);
            }
        }
    }

    std::size_t position() const { return position_; }

    // The next tag, and for an opening tag the position of its closing tag (kNone when it has
    // none or is itself a closing tag). False at the end of the text.
    bool next(Tag& tag, std::size_t& closing) {
        if (!reader_.next(tag)) {
            position_ = text_.size();
            return false;
        }
        position_ = tag.end;
        const Offset entry = tag.closing ? kNoClosing : closings_[ordinal_++];
        closing = entry == kNoClosing ? kNone : entry;
        return true;
    }

    // Reads on past the closing tag at `closing` (to the end of the text for kNone), appending
    // what it passes to `out` with every token replaced by its title that closes before the
    // innermost token around it; other tags stay as text. Nesting is followed on a stack of its
    // own rather than by recursion, so that no text is too deep: the closings of the tokens
    // around the read position, innermost last, kept after those of the opening tags.
    void strip(std::size_t closing, std::string& out) {
        const std::size_t openingTags = closings_.size();
        closings_.push_back(static_cast<Offset>(closing));
        std::size_t copied = position_;
        Tag tag;
        std::size_t nested = kNone;
        while (closings_.size() > openingTags && next(tag, nested)) {
            if (tag.closing ? tag.begin == closings_.back() : nested < closings_.back()) {
                out.append(text_.substr(copied, tag.begin - copied));
                copied = tag.end;
                if (tag.closing) {
                    closings_.pop_back();
                } else {
                    closings_.push_back(static_cast<Offset>(nested));
                }
            }
        }
        closings_.resize(openingTags);
        out.append(text_.substr(copied, position_ - copied));
    }

    // Reads on past the closing tag at `closing`.
    void skipTo(std::size_t closing) {
        Tag tag;
        std::size_t ignored = kNone;
        while (next(tag, ignored) && tag.begin != closing) {
        }
    }

  private:
    static constexpr Offset kNoClosing = std::numeric_limits<Offset>::max();

    std::string_view text_;
    TagReader reader_;
    std::deque<Offset> closings_;  // for each opening tag in reading order
    std::size_t position_;
    std::size_t ordinal_ = 0;
};

// Runs `body` with the full reading of the text from `start` on, with 32-bit offsets when no
// position reaches the largest of them.
template <typename Body>
auto withTokenReading(std::string_view text, std::size_t start, Body body) {
    if (text.size() < std::numeric_limits<std::uint32_t>::max()) {
        TokenReading<std::uint32_t> reading(text, start);
        return body(reading);
    }
    TokenReading<std::uint64_t> reading(text, start);
    return body(reading);
}

}  // namespace

bool scanBBToken(platform::Scanner& scanner, std::optional<std::string>* name,
                 std::optional<std::string>* attribute, std::optional<std::string>* title) {
    const std::string_view text = scanner.string();
    const std::size_t location = scanner.scanLocation();
    Tag tag;
    if (location >= text.size() || !readTagAt(text, location, tag) || tag.closing) {
        return false;
    }
    std::string tokenTitle;
    const bool closes = withTokenReading(text, location, [&](auto& reading) {
        std::size_t closing = kNone;
        reading.next(tag, closing);
        if (closing != kNone) {
            reading.strip(closing, tokenTitle);
            scanner.setScanLocation(reading.position());
        }
        return closing != kNone;
    });
    if (!closes) {
        return false;
    }
    const std::string_view tokenName = text.substr(tag.nameBegin, tag.nameLength);
    std::optional<std::string> tokenAttribute = attributeOf(text, tag);
    if (isLinkName(tokenName) && !tokenAttribute) {
        tokenAttribute = tokenTitle;
    }
    if (name) {
        *name = std::string(tokenName);
    }
    if (attribute) {
        *attribute = std::move(tokenAttribute);
    }
    if (title) {
        *title = std::move(tokenTitle);
    }
    return true;
}

std::string stringByStrippingBBCode(const std::string& text) {
    // Stripping only ever takes characters away.
    std::string result;
    result.reserve(text.size());
    if (!stripNestedTokensInOneReading(text, result)) {
        result.clear();
        withTokenReading(text, 0, [&](auto& reading) { reading.strip(kNone, result); });
    }
    return result;
}

std::string firstBBCodeURLString(const std::string& text) {
    return withTokenReading(text, 0, [&](auto& reading) -> std::string {
        Tag tag;
        std::size_t closing = kNone;
        while (reading.next(tag, closing)) {
            if (closing == kNone) {
                continue;
            }
            const std::string_view name =
                std::string_view(text).substr(tag.nameBegin, tag.nameLength);
            if (!isLinkName(name)) {
                reading.skipTo(closing);
                continue;
            }
            std::string link;
            if (std::optional<std::string> attribute = attributeOf(text, tag)) {
                link = std::move(*attribute);
            } else {
                reading.strip(closing, link);
            }
            return name == kURLToEncodeTokenName ? platform::stringByAddingPercentEncoding(
                                                       link, platform::URLHostAllowedCharacters)
                                                 : link;
        }
        return {};
    });
}

}  // namespace pendra
