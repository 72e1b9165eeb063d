#include "helper/requests/bbcode_stripping.h"

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/url.h"

namespace pendra {
namespace {

constexpr std::string_view kURLTokenName = "url";
constexpr std::string_view kURLToEncodeTokenName = "urltoencode";

bool isNameCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

char lowerCase(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// One opening or closing tag in the text. A tag never holds a "[" after its first character,
// so tags never overlap.
struct Tag {
    std::size_t begin = 0;  // the "["
    std::size_t end = 0;    // just after the "]"
    // For an opening tag: the index of its closing tag, once that has been read.
    std::int64_t match = -1;
    std::uint32_t nameLength = 0;
    bool closing = false;
    bool hasAttribute = false;

    std::size_t nameBegin() const { return begin + (closing ? 2 : 1); }
    // The "]", or the "=" before the attribute.
    std::size_t nameEnd() const { return nameBegin() + nameLength; }
};

// The tags of a text from a start position on, found lazily as far as the questions asked need,
// and matched name by name: each lower-cased name keeps a stack of its open tags, and a closing
// tag closes the top one. Whether a tag at some position closes depends only on the text after
// it, so one index serves a whole left-to-right pass, and every character is read once.
class TokenIndex {
  public:
    TokenIndex(std::string_view text, std::size_t start) : text_(text), frontier_(start) {}

    // The index of the opening tag at the position when its closing tag exists; -1 otherwise.
    std::int64_t tokenAt(std::size_t position) {
        while (!exhausted_ && (tags_.empty() || tags_.back().begin < position)) {
            readNextTag();
        }
        const std::size_t index = firstTagFrom(position);
        if (index == tags_.size() || tags_[index].begin != position || tags_[index].closing) {
            return -1;
        }
        while (tags_[index].match < 0 && !exhausted_) {
            readNextTag();
        }
        return tags_[index].match < 0 ? -1 : static_cast<std::int64_t>(index);
    }

    const Tag& tag(std::size_t index) const { return tags_[index]; }

    std::string_view name(const Tag& tag) const {
        return text_.substr(tag.nameBegin(), tag.nameLength);
    }

    std::optional<std::string> attribute(const Tag& tag) const {
        if (!tag.hasAttribute) {
            return std::nullopt;
        }
        return std::string(text_.substr(tag.nameEnd() + 1, tag.end - 1 - (tag.nameEnd() + 1)));
    }

    // The text between a token's tags less the tags of every token nested inside, where a
    // nested token counts when it closes before the innermost token around it does.
    std::string title(std::size_t openIndex) const {
        const auto closeIndex = static_cast<std::size_t>(tags_[openIndex].match);
        std::string result;
        std::size_t copied = tags_[openIndex].end;
        std::vector<std::size_t> enclosingCloses{closeIndex};
        for (std::size_t index = openIndex + 1; index < closeIndex; ++index) {
            const Tag& tag = tags_[index];
            bool dropped = false;
            if (tag.closing) {
                if (index == enclosingCloses.back()) {
                    enclosingCloses.pop_back();
                    dropped = true;
                }
            } else if (tag.match >= 0 &&
                       static_cast<std::size_t>(tag.match) < enclosingCloses.back()) {
                enclosingCloses.push_back(static_cast<std::size_t>(tag.match));
                dropped = true;
            }
            if (dropped) {
                result.append(text_.substr(copied, tag.begin - copied));
                copied = tag.end;
            }
        }
        result.append(text_.substr(copied, tags_[closeIndex].begin - copied));
        return result;
    }

  private:
    // The index of the first tag read that starts at or after the position. The questions of
    // one pass move forward, so the search gallops on from the previous answer.
    std::size_t firstTagFrom(std::size_t position) {
        std::size_t low = hint_ < tags_.size() && tags_[hint_].begin <= position ? hint_ : 0;
        std::size_t high = low;
        for (std::size_t step = 1; high < tags_.size() && tags_[high].begin < position; step *= 2) {
            low = high;
            high = std::min(high + step, tags_.size());
        }
        const auto found =
            std::lower_bound(tags_.begin() + static_cast<std::ptrdiff_t>(low),
                             tags_.begin() + static_cast<std::ptrdiff_t>(high), position,
                             [](const Tag& tag, std::size_t value) { return tag.begin < value; });
        hint_ = static_cast<std::size_t>(found - tags_.begin());
        return hint_;
    }

    // Reads up to and including the next tag, matching it; sets exhausted_ at the end.
    void readNextTag() {
        while (!exhausted_) {
            const std::size_t open = text_.find('[', frontier_);
            if (open == std::string_view::npos) {
                exhausted_ = true;
                frontier_ = text_.size();
                return;
            }
            Tag tag;
            if (readTagAt(open, tag)) {
                frontier_ = tag.end;
                addTag(tag);
                return;
            }
            frontier_ = open + 1;
        }
    }

    // A tag at the position; reads no further than the next "[" or the tag's "]".
    bool readTagAt(std::size_t open, Tag& tag) const {
        std::size_t cursor = open + 1;
        tag.begin = open;
        tag.closing = cursor < text_.size() && text_[cursor] == '/';
        if (tag.closing) {
            ++cursor;
        }
        const std::size_t nameBegin = cursor;
        while (cursor < text_.size() && isNameCharacter(text_[cursor])) {
            ++cursor;
        }
        if (cursor == nameBegin || cursor - nameBegin > UINT32_MAX || cursor >= text_.size()) {
            return false;
        }
        tag.nameLength = static_cast<std::uint32_t>(cursor - nameBegin);
        if (text_[cursor] == '=' && !tag.closing) {
            tag.hasAttribute = true;
            const std::size_t bracket = text_.find_first_of("[]", cursor + 1);
            if (bracket == std::string_view::npos || text_[bracket] != ']') {
                return false;
            }
            cursor = bracket;
        }
        if (text_[cursor] != ']') {
            return false;
        }
        tag.end = cursor + 1;
        return true;
    }

    void addTag(const Tag& tag) {
        const std::size_t index = tags_.size();
        tags_.push_back(tag);
        key_.clear();
        for (char c : name(tag)) {
            key_.push_back(lowerCase(c));
        }
        if (!tag.closing) {
            openTags_[key_].push_back(index);
            return;
        }
        auto stack = openTags_.find(key_);
        if (stack != openTags_.end() && !stack->second.empty()) {
            tags_[stack->second.back()].match = static_cast<std::int64_t>(index);
            stack->second.pop_back();
        }
    }

    std::string_view text_;
    std::size_t frontier_;
    std::size_t hint_ = 0;
    bool exhausted_ = false;
    std::vector<Tag> tags_;
    std::unordered_map<std::string, std::vector<std::size_t>> openTags_;
    std::string key_;
};

bool scanBBToken(platform::Scanner& scanner, TokenIndex& index, std::optional<std::string>* name,
                 std::optional<std::string>* attribute, std::optional<std::string>* title) {
    const std::size_t location = scanner.scanLocation();
    const std::string& text = scanner.string();
    if (location >= text.size() || text[location] != '[') {
        return false;
    }
    const std::int64_t open = index.tokenAt(location);
    if (open < 0) {
        return false;
    }
    const Tag& tag = index.tag(static_cast<std::size_t>(open));
    const std::string_view tokenName = index.name(tag);
    const bool isLink = tokenName == kURLTokenName || tokenName == kURLToEncodeTokenName;
    std::optional<std::string> tokenAttribute = index.attribute(tag);
    // The link search passes over other tokens whole and needs no title for them.
    std::string tokenTitle;
    if (title || (isLink && !tokenAttribute)) {
        tokenTitle = index.title(static_cast<std::size_t>(open));
    }
    if (isLink && !tokenAttribute) {
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
    scanner.setScanLocation(index.tag(static_cast<std::size_t>(tag.match)).end);
    return true;
}

platform::Scanner scannerWithoutSkipping(const std::string& text) {
    platform::Scanner scanner = platform::Scanner::scannerWithString(text);
    scanner.setCharactersToBeSkipped("");
    return scanner;
}

// Walks the text from one "[" to the next. The text in between is appended to `plainText` when
// that is given; at each "[" `atBracket(scanner, index)` scans what stands there and says
// whether the walk goes on.
template <typename AtBracket>
void walkBrackets(const std::string& text, std::string* plainText, AtBracket atBracket) {
    platform::Scanner scanner = scannerWithoutSkipping(text);
    if (scanner.isAtEnd()) {
        return;
    }
    TokenIndex index(scanner.string(), scanner.scanLocation());
    while (true) {
        if (!scanner.scanUpToString("[", plainText) && !atBracket(scanner, index)) {
            return;
        }
        if (scanner.isAtEnd()) {
            return;
        }
    }
}

}  // namespace

bool scanBBToken(platform::Scanner& scanner, std::optional<std::string>* name,
                 std::optional<std::string>* attribute, std::optional<std::string>* title) {
    TokenIndex index(scanner.string(), scanner.scanLocation());
    return scanBBToken(scanner, index, name, attribute, title);
}

std::string stringByStrippingBBCode(const std::string& text) {
    std::string result;
    walkBrackets(text, &result, [&result](platform::Scanner& scanner, TokenIndex& index) {
        std::optional<std::string> title;
        if (scanBBToken(scanner, index, nullptr, nullptr, &title)) {
            result.append(*title);
            return true;
        }
        if (scanner.scanString("[", nullptr)) {
            result.push_back('[');
            return true;
        }
        return false;
    });
    return result;
}

std::string firstBBCodeURLString(const std::string& text) {
    std::string result;
    walkBrackets(text, nullptr, [&result](platform::Scanner& scanner, TokenIndex& index) {
        std::optional<std::string> name;
        std::optional<std::string> attribute;
        if (!scanBBToken(scanner, index, &name, &attribute, nullptr)) {
            return scanner.scanString("[", nullptr);
        }
        if (*name == kURLToEncodeTokenName) {
            result = platform::stringByAddingPercentEncoding(*attribute,
                                                             platform::URLHostAllowedCharacters);
            return false;
        }
        if (*name == kURLTokenName) {
            result = *attribute;
            return false;
        }
        return true;
    });
    return result;
}

}  // namespace pendra
