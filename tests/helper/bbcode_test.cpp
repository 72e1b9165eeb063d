#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>

#include "helper/requests/bbcode_stripping.h"
#include "platform/scanner.h"

namespace pendra {
namespace {

struct Token {
    bool read = false;
    std::optional<std::string> name, attribute, title;
    std::size_t locationAfter = 0;
};

// Reads a token at the given location of the text, the way both operations set up a scanner.
Token scanAt(const std::string& text, std::size_t location = 0) {
    platform::Scanner scanner = platform::Scanner::scannerWithString(text);
    scanner.setCharactersToBeSkipped("");
    scanner.setScanLocation(location);
    Token token;
    token.read = scanBBToken(scanner, &token.name, &token.attribute, &token.title);
    token.locationAfter = scanner.scanLocation();
    return token;
}

TEST(BBCodeTest, TextWithoutTokensIsKeptAndHasNoLink) {
    for (const std::string text : {"", "plain text", "a]b=c/d", "line\n\twith  spaces "}) {
        EXPECT_EQ(stringByStrippingBBCode(text), text);
        EXPECT_EQ(firstBBCodeURLString(text), "");
    }
}

TEST(BBCodeTest, LinkTokenBetweenPlainParts) {
    const std::string text = "See [url=https://example.org/a?b=c]the page[/url] today.";
    EXPECT_EQ(stringByStrippingBBCode(text), "See the page today.");
    EXPECT_EQ(firstBBCodeURLString(text), "https://example.org/a?b=c");

    // Without an attribute the link is the title.
    const std::string bare = "[url]https://example.org/[/url]";
    EXPECT_EQ(stringByStrippingBBCode(bare), "https://example.org/");
    EXPECT_EQ(firstBBCodeURLString(bare), "https://example.org/");
    const Token token = scanAt(bare);
    ASSERT_TRUE(token.read);
    EXPECT_EQ(token.name, "url");
    EXPECT_EQ(token.attribute, "https://example.org/");
    EXPECT_EQ(token.title, "https://example.org/");
    EXPECT_EQ(token.locationAfter, bare.size());
}

TEST(BBCodeTest, EncodedLinkIsPercentEncodedWithTheHostSet) {
    const std::string text = "x [urltoencode=a b/c?d#e@f%g:h.i]title[/urltoencode] y";
    EXPECT_EQ(stringByStrippingBBCode(text), "x title y");
    EXPECT_EQ(firstBBCodeURLString(text), "a%20b%2Fc%3Fd%23e%40f%25g:h.i");

    // Allowed punctuation stays; every byte of a non-ASCII character is escaped in upper case.
    EXPECT_EQ(firstBBCodeURLString("[urltoencode=Az09-._~!$&'()*+,;=:]t[/urltoencode]"),
              "Az09-._~!$&'()*+,;=:");
    EXPECT_EQ(firstBBCodeURLString("[urltoencode=caf\xC3\xA9 \xE2\x82\xAC]t[/urltoencode]"),
              "caf%C3%A9%20%E2%82%AC");
    // Brackets only fit into the title form, and are allowed.
    EXPECT_EQ(firstBBCodeURLString("[urltoencode]a[x]b\"[/urltoencode]"), "a[x]b%22");
}

TEST(BBCodeTest, LinkSearchTakesTheFirstLinkTokenOnly) {
    EXPECT_EQ(firstBBCodeURLString("[b]bold[/b] and [url=second]s[/url]"), "second");
    EXPECT_EQ(stringByStrippingBBCode("[b]bold[/b] and [url=second]s[/url]"), "bold and s");
    EXPECT_EQ(firstBBCodeURLString("[url=one]1[/url][urltoencode=t w o]2[/urltoencode]"), "one");
    EXPECT_EQ(firstBBCodeURLString("[urltoencode=t w o]2[/urltoencode][url=one]1[/url]"),
              "t%20w%20o");
    // An empty link is still the first link.
    EXPECT_EQ(firstBBCodeURLString("[url=]empty[/url][url=later]l[/url]"), "");
    // Link names are exact: other cases are ordinary tokens and are passed over.
    EXPECT_EQ(firstBBCodeURLString("[URL=upper]u[/URL][Url=mixed]m[/url][url=lower]l[/url]"),
              "lower");
    EXPECT_EQ(stringByStrippingBBCode("[URL=upper]u[/URL]"), "u");
    // A link inside another token goes with that token; a link that never closes is no link.
    EXPECT_EQ(firstBBCodeURLString("[b][url=inner]i[/url][/b] [url=outer]o[/url]"), "outer");
    EXPECT_EQ(firstBBCodeURLString("[url=open] never closed [url=x]y[/url]"), "x");
}

TEST(BBCodeTest, ClosingTagMatchesWhateverTheCase) {
    EXPECT_EQ(stringByStrippingBBCode("a[b]x[/B]c"), "axc");
    const Token token = scanAt("[Quote=Ann]hi[/QUOTE] rest");
    ASSERT_TRUE(token.read);
    EXPECT_EQ(token.name, "Quote");
    EXPECT_EQ(token.attribute, "Ann");
    EXPECT_EQ(token.title, "hi");
    EXPECT_EQ(token.locationAfter, std::string("[Quote=Ann]hi[/QUOTE]").size());
    // An ordinary token without attribute has none.
    EXPECT_EQ(scanAt("[b]x[/b]").attribute, std::nullopt);
    // Names of letters and digits, any of them.
    EXPECT_EQ(stringByStrippingBBCode("[h1]T[/h1][color=red]r[/color][x9y]z[/X9Y]"), "Trz");
}

TEST(BBCodeTest, NestedTokensAreStrippedInsideTitles) {
    const Token token = scanAt("[quote=A][b]bold [i]it[/i][/b] [url=l]link[/url][/quote]!");
    ASSERT_TRUE(token.read);
    EXPECT_EQ(token.title, "bold it link");
    EXPECT_EQ(token.locationAfter,
              std::string("[quote=A][b]bold [i]it[/i][/b] [url=l]link[/url][/quote]").size());

    // Same names nest; the outer one takes the last closing tag.
    EXPECT_EQ(stringByStrippingBBCode("[q]a[q]b[/q]c[/q]d"), "abcd");
    EXPECT_EQ(scanAt("[q]a[q]b[/q]c[/q]d").title, "abc");
    // A tag that closes only outside its parent stays text within it.
    EXPECT_EQ(stringByStrippingBBCode("[b][i]x[/b][/i]"), "[i]x[/i]");
    EXPECT_EQ(stringByStrippingBBCode("[b]x[i]y[/b]z"), "x[i]yz");
    // Inner tokens read from the middle of the text stand on their own.
    EXPECT_EQ(scanAt("[q]a[q]b[/q]", 4).title, "b");
    EXPECT_FALSE(scanAt("[q]a[q]b[/q]").read);
}

TEST(BBCodeTest, UnfinishedTokensStayAsText) {
    const std::vector<std::string> texts = {"[b]never closed",
                                            "[/b]x[/b]",
                                            "x[",
                                            "[",
                                            "[[[",
                                            "[]",
                                            "[/]",
                                            "[b",
                                            "[b=x",
                                            "[b=x[/b]",
                                            "[b=[c]]x[/b]",
                                            "[ b]x[/ b]",
                                            "[b ]x[/b ]",
                                            "[b]x[/i]",
                                            "[/b=x]",
                                            "[b]x[b]y[/b]",
                                            "]",
                                            "[url=a]b",
                                            "[url]x[/urltoencode]"};
    for (const std::string& text : texts) {
        SCOPED_TRACE(text);
        if (text == "[b]x[b]y[/b]") {
            EXPECT_EQ(stringByStrippingBBCode(text), "[b]xy");
        } else {
            EXPECT_EQ(stringByStrippingBBCode(text), text);
        }
        EXPECT_EQ(firstBBCodeURLString(text), "");
    }
    EXPECT_EQ(stringByStrippingBBCode("abc[b]x[/b]["), "abcx[");
}

TEST(BBCodeTest, RefusedTokenLeavesScannerAndOutputsUntouched) {
    for (const std::string text : {"[b]open", "x[b]y", "[/b]", "[", "[b=x"}) {
        SCOPED_TRACE(text);
        platform::Scanner scanner = platform::Scanner::scannerWithString(text);
        scanner.setCharactersToBeSkipped("");
        std::optional<std::string> name, attribute, title;
        EXPECT_FALSE(scanBBToken(scanner, &name, &attribute, &title));
        EXPECT_EQ(scanner.scanLocation(), 0u);
        EXPECT_FALSE(name || attribute || title);
    }
}

// The token rules stated directly, re-reading substrings: a slow model to compare against.
struct ModelTag {
    bool ok = false;
    bool closing = false;
    std::string name;
    std::size_t end = 0;
};

ModelTag modelTagAt(const std::string& s, std::size_t at) {
    ModelTag tag;
    std::size_t i = at + 1;
    if (i < s.size() && s[i] == '/') {
        tag.closing = true;
        ++i;
    }
    while (i < s.size() && std::isalnum(static_cast<unsigned char>(s[i]))) {
        tag.name += static_cast<char>(std::tolower(static_cast<unsigned char>(s[i++])));
    }
    if (tag.name.empty() || i >= s.size()) {
        return tag;
    }
    if (s[i] == '=' && !tag.closing) {
        while (++i < s.size() && s[i] != ']') {
            if (s[i] == '[') {
                return tag;
            }
        }
    }
    tag.ok = i < s.size() && s[i] == ']';
    tag.end = i + 1;
    return tag;
}

std::string modelStrip(const std::string& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size();) {
        const ModelTag open = s[i] == '[' ? modelTagAt(s, i) : ModelTag{};
        if (open.ok && !open.closing) {
            int depth = 1;
            for (std::size_t j = open.end; j < s.size(); ++j) {
                if (s[j] != '[') {
                    continue;
                }
                const ModelTag tag = modelTagAt(s, j);
                if (!tag.ok || tag.name != open.name) {
                    continue;
                }
                depth += tag.closing ? -1 : 1;
                if (depth == 0) {
                    out += modelStrip(s.substr(open.end, j - open.end));
                    i = tag.end;
                    break;
                }
            }
            if (depth == 0) {
                continue;
            }
        }
        out += s[i++];
    }
    return out;
}

TEST(BBCodeTest, AgreesWithTheRulesOnRandomTexts) {
    const std::string alphabet = "[[[]]/=bBix ";
    std::mt19937 random(20261208);
    for (int round = 0; round < 20000; ++round) {
        std::string text(random() % 40, ' ');
        for (char& c : text) {
            c = alphabet[random() % alphabet.size()];
        }
        ASSERT_EQ(stringByStrippingBBCode(text), modelStrip(text)) << text;
        (void)firstBBCodeURLString(text);
    }
    // Names longer than a word are keyed differently from short ones.
    const std::string pieces[] = {"[",          "[",          "[/",       "]",       "]",
                                  "=",          "x",          "b",        "B",       "quotation1",
                                  "QUOTATION1", "quotation2", "eightchr", "EightChr"};
    for (int round = 0; round < 20000; ++round) {
        std::string text;
        for (std::size_t count = random() % 16; count > 0; --count) {
            text += pieces[random() % std::size(pieces)];
        }
        ASSERT_EQ(stringByStrippingBBCode(text), modelStrip(text)) << text;
    }
}

TEST(BBCodeTest, LongAndHostileTextsAreHandled) {
    const std::size_t n = 200000;
    const std::string plain(n, 'a');
    EXPECT_EQ(stringByStrippingBBCode(plain), plain);

    std::string unclosed;
    for (std::size_t i = 0; i < n; ++i) {
        unclosed += "[b]";
    }
    EXPECT_EQ(stringByStrippingBBCode(unclosed), unclosed);
    EXPECT_EQ(firstBBCodeURLString(unclosed + "[url=x]y[/url]"), "x");

    const std::string brackets(n, '[');
    EXPECT_EQ(stringByStrippingBBCode(brackets), brackets);

    std::string deep;
    for (std::size_t i = 0; i < n; ++i) {
        deep += i % 2 ? "[b]" : "[i=1]";
    }
    deep += "core";
    for (std::size_t i = n; i-- > 0;) {
        deep += i % 2 ? "[/b]" : "[/I]";
    }
    EXPECT_EQ(stringByStrippingBBCode(deep), "core");
    const Token token = scanAt(deep);
    EXPECT_TRUE(token.read);
    EXPECT_EQ(token.title, "core");

    std::string links;
    for (std::size_t i = 0; i < n / 10; ++i) {
        links += "[url=u]t[/url] ";
    }
    EXPECT_EQ(stringByStrippingBBCode(links).size(), n / 10 * 2);
    EXPECT_EQ(firstBBCodeURLString(links), "u");

    const std::string longName = "[" + std::string(n, 'n') + "]x[/" + std::string(n, 'N') + "]";
    EXPECT_EQ(stringByStrippingBBCode(longName), "x");
}

}  // namespace
}  // namespace pendra
