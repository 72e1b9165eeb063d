#include "helper/requests/bbcode_stripping.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <string_view>
#include <vector>

#include "platform/url.h"

namespace pendra {
namespace {

constexpr std::string_view kURLTokenName = "url";
constexpr std::string_view kURLToEncodeTokenName = "urltoencode";

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

// Values that grow one at a time without ever being moved: a vector that doubles copies
// everything it holds and briefly needs three times its size, which the index below must not.
template <typename Value>
class ChunkedArray {
  public:
    std::size_t size() const { return size_; }
    Value& operator[](std::size_t index) { return chunks_[index >> kShift][index & kMask]; }
    void push_back(Value value) {
        if ((size_ & kMask) == 0) {
            chunks_.push_back(std::make_unique_for_overwrite<Value[]>(std::size_t{1} << kShift));
        }
        (*this)[size_++] = value;
    }
    void clear() {
        chunks_.clear();
        size_ = 0;
    }

  private:
    static constexpr unsigned kShift = 10;
    static constexpr std::size_t kMask = (std::size_t{1} << kShift) - 1;
    std::vector<std::unique_ptr<Value[]>> chunks_;
    std::size_t size_ = 0;
};

// Where each opening tag closes. The opening tags are numbered in the order the text holds
// them; a closing tag closes the innermost open tag of the same name, whatever the letter case.
// Whether a tag closes depends only on the text after it, so the index made from one start
// position answers for every tag from there on.
//
// Memory: one Offset for each opening tag (while the text is read, an open tag's entry links
// to the tag of the same name that was open before it, so the stacks of open tags need no
// room of their own), and one slot for each distinct name. An opening tag takes at least three
// characters, so the entries stay within 4/3 of the text for 32-bit offsets. The tags read are
// also kept, for the walk that follows, as long as they take at most half the text's size: in
// usual notes they do, and the walk then need not read the text for tags a second time.
template <typename Offset>
class ClosingIndex {
  public:
    ClosingIndex(std::string_view text, std::size_t start) : text_(text) {
        TagReader reader(text, start);
        Tag tag;
        const std::size_t recordBudget = (text.size() - start) / 2 / sizeof(RecordedTag);
        while (reader.next(tag)) {
            if (recording_) {
                if (tags_.size() < recordBudget) {
                    tags_.push_back(
                        {static_cast<Offset>(tag.begin) | (tag.closing ? kClosedFlag : 0),
                         static_cast<Offset>(tag.end)});
                } else {
                    recording_ = false;
                    tags_.clear();
                }
            }
            Slot& slot = slotFor(tag);
            if (!tag.closing) {
                entries_.push_back(slot.top);
                slot.top = static_cast<Offset>(entries_.size());
            } else if (slot.top != 0) {
                const std::size_t opened = slot.top - 1;
                slot.top = entries_[opened];
                entries_[opened] = kClosedFlag | static_cast<Offset>(tag.begin);
            }
        }
        // Tags still open never close: their entries hold links, which become "no closing".
        for (Slot& slot : slots_) {
            for (Offset link = slot.top; link != 0;) {
                const Offset below = entries_[link - 1];
                entries_[link - 1] = 0;
                link = below;
            }
        }
    }

    // The tags in the order they were read, when they took at most half the text's size;
    // a walk then reads them from here instead of from the text.
    bool recorded() const { return recording_; }
    void recordedTag(std::size_t index, Tag& tag) {
        const RecordedTag& recorded = tags_[index];
        tag.begin = static_cast<std::size_t>(recorded.begin & ~kClosedFlag);
        tag.end = static_cast<std::size_t>(recorded.end);
        tag.closing = (recorded.begin & kClosedFlag) != 0;
    }
    std::size_t recordedCount() const { return tags_.size(); }

    // The position of the "[" that closes the numbered opening tag; npos when none does.
    std::size_t closingOf(std::size_t ordinal) {
        const Offset entry = entries_[ordinal];
        return (entry & kClosedFlag) ? static_cast<std::size_t>(entry & ~kClosedFlag)
                                     : std::string_view::npos;
    }

  private:
    static constexpr Offset kClosedFlag = Offset{1} << (std::numeric_limits<Offset>::digits - 1);

    struct RecordedTag {
        Offset begin;  // with kClosedFlag for a closing tag
        Offset end;
    };

    struct Slot {
        std::uint64_t key = 0;
        Offset nameBegin = 0;
        Offset nameLength = 0;  // 0 marks an empty slot: names are never empty
        Offset top = 0;         // the innermost open tag of this name, numbered from 1
    };

    static std::size_t hashOf(std::uint64_t key) {
        return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ULL) >> 32);
    }

    // Open addressing; the table doubles at half load.
    Slot& slotFor(const Tag& tag) {
        if ((used_ + 1) * 2 > slots_.size()) {
            grow();
        }
        const std::string_view name = text_.substr(tag.nameBegin, tag.nameLength);
        const std::uint64_t key = nameKey(name, text_.size() - tag.nameBegin);
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t index = hashOf(key) & mask;; index = (index + 1) & mask) {
            Slot& slot = slots_[index];
            if (slot.nameLength == 0) {
                slot = Slot{key, static_cast<Offset>(tag.nameBegin),
                            static_cast<Offset>(tag.nameLength), 0};
                ++used_;
                return slot;
            }
            if (sameName(text_, slot.key, slot.nameBegin, slot.nameLength, key, name)) {
                return slot;
            }
        }
    }

    void grow() {
        std::vector<Slot> old(std::max<std::size_t>(16, slots_.size() * 2));
        old.swap(slots_);
        const std::size_t mask = slots_.size() - 1;
        for (const Slot& slot : old) {
            if (slot.nameLength == 0) {
                continue;
            }
            std::size_t index = hashOf(slot.key) & mask;
            while (slots_[index].nameLength != 0) {
                index = (index + 1) & mask;
            }
            slots_[index] = slot;
        }
    }

    std::string_view text_;
    ChunkedArray<Offset> entries_;
    ChunkedArray<RecordedTag> tags_;
    bool recording_ = true;
    std::vector<Slot> slots_;
    std::size_t used_ = 0;
};

// One left-to-right reading of a text with its closing index. It knows the number of each
// opening tag it reads, so that it can ask the index where that tag closes, and it hands on the
// text it passes unchanged in as few pieces as it can: only a dropped tag splits it.
template <typename Offset>
class TokenWalk {
  public:
    TokenWalk(std::string_view text, std::size_t start)
        : text_(text), index_(text, start), reader_(text, start), copied_(start) {}

    std::size_t position() const { return position_; }

    // The next tag, and for an opening tag the position of its closing tag (npos when it has
    // none or is itself a closing tag). False at the end of the text.
    bool next(Tag& tag, std::size_t& closing) {
        if (index_.recorded()) {
            if (recordedNext_ == index_.recordedCount()) {
                position_ = text_.size();
                return false;
            }
            index_.recordedTag(recordedNext_++, tag);
        } else if (!reader_.next(tag)) {
            position_ = text_.size();
            return false;
        }
        position_ = tag.end;
        closing = tag.closing ? std::string_view::npos : index_.closingOf(ordinal_++);
        return true;
    }

    // Leaves a tag out of the text handed on: the text before it goes to `out`.
    template <typename Out>
    void drop(const Tag& tag, Out out) {
        out(text_.substr(copied_, tag.begin - copied_));
        copied_ = tag.end;
    }

    // Hands on what is left of the text read so far, or of the whole text.
    template <typename Out>
    void flush(Out out) {
        out(text_.substr(copied_, position_ - copied_));
        copied_ = position_;
    }

    // Starts handing on from the current position, forgetting what was read before.
    void skipRead() { copied_ = position_; }

    // Reads on to the end of the token whose opening tag was just read and that closes at
    // `closing`, handing on its title: inside, every token that closes before the innermost
    // token around it is replaced by its own title, and other tags stay as text.
    template <typename Out>
    void title(std::size_t closing, Out out) {
        enclosing_.assign(1, static_cast<Offset>(closing));
        Tag tag;
        std::size_t nestedClosing = 0;
        while (!enclosing_.empty() && next(tag, nestedClosing)) {
            if (tag.closing) {
                if (tag.begin == enclosing_.back()) {
                    enclosing_.pop_back();
                    drop(tag, out);
                }
            } else if (nestedClosing != std::string_view::npos &&
                       nestedClosing < enclosing_.back()) {
                enclosing_.push_back(static_cast<Offset>(nestedClosing));
                drop(tag, out);
            }
        }
    }

    // Reads on past the closing tag at `closing` without handing anything on.
    void skipTo(std::size_t closing) {
        Tag tag;
        std::size_t ignored = 0;
        while (next(tag, ignored) && tag.begin != closing) {
        }
        skipRead();
    }

  private:
    std::string_view text_;
    ClosingIndex<Offset> index_;
    TagReader reader_;
    std::size_t copied_;
    std::size_t position_ = 0;
    std::size_t ordinal_ = 0;
    std::size_t recordedNext_ = 0;
    std::vector<Offset> enclosing_;
};

// Runs `body` with a walk whose offsets fit the text: 32 bits for every note of a usual size.
template <typename Body>
auto withWalk(std::string_view text, std::size_t start, Body body) {
    if (text.size() < (std::size_t{1} << 31)) {
        TokenWalk<std::uint32_t> walk(text, start);
        return body(walk);
    }
    TokenWalk<std::uint64_t> walk(text, start);
    return body(walk);
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

}  // namespace

bool scanBBToken(platform::Scanner& scanner, std::optional<std::string>* name,
                 std::optional<std::string>* attribute, std::optional<std::string>* title) {
    const std::string_view text = scanner.string();
    const std::size_t location = scanner.scanLocation();
    Tag tag;
    if (location >= text.size() || !readTagAt(text, location, tag) || tag.closing) {
        return false;
    }
    return withWalk(text, location, [&](auto& walk) {
        std::size_t closing = 0;
        walk.next(tag, closing);
        if (closing == std::string_view::npos) {
            return false;
        }
        walk.skipRead();
        const std::string_view tokenName = text.substr(tag.nameBegin, tag.nameLength);
        std::optional<std::string> tokenAttribute = attributeOf(text, tag);
        std::string tokenTitle;
        walk.title(closing, [&tokenTitle](std::string_view part) { tokenTitle.append(part); });
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
        scanner.setScanLocation(walk.position());
        return true;
    });
}

std::string stringByStrippingBBCode(const std::string& text) {
    // Stripping only ever takes characters away.
    std::string result;
    result.reserve(text.size());
    if (stripNestedTokensInOneReading(text, result)) {
        return result;
    }
    result.clear();
    const auto append = [&result](std::string_view part) { result.append(part); };
    withWalk(text, 0, [&](auto& walk) {
        Tag tag;
        std::size_t closing = 0;
        while (walk.next(tag, closing)) {
            if (closing != std::string_view::npos) {
                walk.drop(tag, append);
                walk.title(closing, append);
            }
        }
        walk.flush(append);
        return true;
    });
    return result;
}

std::string firstBBCodeURLString(const std::string& text) {
    return withWalk(text, 0, [&](auto& walk) -> std::string {
        Tag tag;
        std::size_t closing = 0;
        while (walk.next(tag, closing)) {
            if (closing == std::string_view::npos) {
                continue;
            }
            readTagAt(text, tag.begin, tag);  // the walk may know only where the tag lies
            const std::string_view name =
                std::string_view(text).substr(tag.nameBegin, tag.nameLength);
            if (!isLinkName(name)) {
                walk.skipTo(closing);
                continue;
            }
            std::optional<std::string> link = attributeOf(text, tag);
            if (!link) {
                link.emplace();
                walk.skipRead();
                walk.title(closing, [&link](std::string_view part) { link->append(part); });
            }
            return name == kURLToEncodeTokenName ? platform::stringByAddingPercentEncoding(
                                                       *link, platform::URLHostAllowedCharacters)
                                                 : *link;
        }
        return {};
    });
}

}  // namespace pendra
