#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/pasteboard.h"
#include "platform/paths.h"
#include "platform/scanner.h"
#include "platform/utf.h"

namespace platform {
namespace {

TEST(Scanner, ScansUpToAndOverStringsSkippingWhiteSpace) {
    Scanner scanner = Scanner::scannerWithString("  [url=x] title [/url]");
    std::string text;
    EXPECT_TRUE(scanner.scanString("[url=", &text));
    EXPECT_EQ(text, "[url=");
    EXPECT_EQ(scanner.scanLocation(), 7u);
    text.clear();
    EXPECT_TRUE(scanner.scanUpToString("]", &text));
    EXPECT_EQ(text, "x");
    EXPECT_FALSE(scanner.scanUpToString("]", nullptr));  // already there
    EXPECT_TRUE(scanner.scanString("]", nullptr));
    text.clear();
    EXPECT_TRUE(scanner.scanUpToString("[/url]", &text));
    EXPECT_EQ(text, "title ");  // leading white space skipped, trailing kept
    EXPECT_FALSE(scanner.scanString("[/URL]", nullptr));
    EXPECT_EQ(scanner.scanLocation(), 16u);
    EXPECT_FALSE(scanner.isAtEnd());
    EXPECT_TRUE(scanner.scanString("[/url]", nullptr));
    EXPECT_TRUE(scanner.isAtEnd());
    EXPECT_FALSE(scanner.scanUpToString("x", &text));
}

TEST(Scanner, WithoutSkippingAndToTheEnd) {
    Scanner scanner("a \n");
    EXPECT_TRUE(Scanner("  \n").isAtEnd());
    scanner.setCharactersToBeSkipped("");
    std::string text = ">";
    EXPECT_TRUE(scanner.scanUpToString("\n", &text));
    EXPECT_EQ(text, ">a ");  // appended to what was there
    EXPECT_FALSE(scanner.isAtEnd());
    EXPECT_FALSE(scanner.scanString(" ", nullptr));
    EXPECT_TRUE(scanner.scanUpToString("missing", &text));
    EXPECT_EQ(text, ">a \n");
    EXPECT_TRUE(scanner.isAtEnd());
    scanner.setScanLocation(100);
    EXPECT_EQ(scanner.scanLocation(), 3u);
}

TEST(Paths, ComponentsAndExtensions) {
    EXPECT_EQ(stringByAppendingPathComponent("/tmp", "x"), "/tmp/x");
    EXPECT_EQ(stringByAppendingPathComponent("/tmp/", "/x"), "/tmp/x");
    EXPECT_EQ(stringByAppendingPathComponent("/", "x"), "/x");
    EXPECT_EQ(stringByAppendingPathComponent("", "x"), "x");
    EXPECT_EQ(stringByAppendingPathComponent("/tmp/", ""), "/tmp");

    EXPECT_EQ(lastPathComponent("/tmp/scratch.tiff"), "scratch.tiff");
    EXPECT_EQ(lastPathComponent("/tmp/lock/"), "lock");
    EXPECT_EQ(lastPathComponent("/"), "/");
    EXPECT_EQ(lastPathComponent("plain"), "plain");

    EXPECT_EQ(stringByDeletingLastPathComponent("/tmp/scratch.tiff"), "/tmp");
    EXPECT_EQ(stringByDeletingLastPathComponent("/tmp/lock/"), "/tmp");
    EXPECT_EQ(stringByDeletingLastPathComponent("/tmp"), "/");
    EXPECT_EQ(stringByDeletingLastPathComponent("/"), "/");
    EXPECT_EQ(stringByDeletingLastPathComponent("scratch.tiff"), "");

    EXPECT_EQ(pathExtension("/a/Helper.app/"), "app");
    EXPECT_EQ(pathExtension("/a.b/c"), "");
    EXPECT_EQ(pathExtension("/a/.hidden"), "");
    EXPECT_EQ(pathExtension("x.tar.gz"), "gz");
    EXPECT_EQ(stringByDeletingPathExtension("/a/Helper.app"), "/a/Helper");
    EXPECT_EQ(stringByDeletingPathExtension("/a.b/c"), "/a.b/c");
    EXPECT_EQ(stringByDeletingPathExtension("/a/.hidden"), "/a/.hidden");
}

TEST(Utf8Walks, CodePointsAreSteppedOverWholeAndCountedInBothUnits) {
    // "a", "é", "€", "😀": one to four bytes, starting at 0, 1, 3 and 6.
    const std::string_view text = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
    struct Case {
        std::size_t offset;
        std::size_t end;       // of the code point the offset lies in
        std::size_t boundary;  // where a cut at the offset goes
    };
    const Case cases[] = {{0, 1, 0}, {1, 3, 1},  {2, 3, 1},  {3, 6, 3},
                          {5, 6, 3}, {6, 10, 6}, {9, 10, 6}, {10, 10, 10}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.offset);
        EXPECT_EQ(utf::endOfCharacter(text, c.offset), c.end);
        EXPECT_EQ(utf::characterBoundaryAtOrBefore(text, c.offset), c.boundary);
    }
    EXPECT_EQ(utf::characterBoundaryAtOrBefore(text, 99), 10u);
    EXPECT_EQ(utf::characterCount(text), 4u);
    EXPECT_EQ(utf::utf16Length(text), 5u);  // the last one is a surrogate pair

    // Stray continuation bytes go with the code point before them: none is skipped or split off.
    const std::string_view stray = "a\x80\x80z";
    EXPECT_EQ(utf::endOfCharacter(stray, 0), 3u);
    EXPECT_EQ(utf::characterBoundaryAtOrBefore(stray, 2), 0u);
    EXPECT_EQ(utf::characterCount(stray), 2u);
    EXPECT_EQ(utf::utf16Length(stray), 2u);
}

TEST(Lists, ItemsComeInOrderWithoutEmptyOnes) {
    using ::testing::ElementsAre;
    EXPECT_THAT(utf::splitList("a,b,,c,", ','), ElementsAre("a", "b", "c"));
    EXPECT_THAT(utf::splitList(":/usr/bin::/bin", ':'), ElementsAre("/usr/bin", "/bin"));
    EXPECT_THAT(utf::splitList("NSStringPboardType", ','), ElementsAre("NSStringPboardType"));
    EXPECT_TRUE(utf::splitList("", ',').empty());
    EXPECT_TRUE(utf::splitList(",,", ',').empty());
}

TEST(Pasteboard, TextByTypeWithTheLegacyNameAsAnAlias) {
    Pasteboard modern{{"public.utf8-plain-text"}, {{"public.utf8-plain-text", "hello"}}};
    EXPECT_EQ(modern.stringForType(NSStringPboardType), "hello");
    EXPECT_EQ(modern.stringForType("public.utf8-plain-text"), "hello");
    EXPECT_FALSE(modern.stringForType("public.html"));

    Pasteboard legacy{{NSStringPboardType}, {{NSStringPboardType, "old"}}};
    EXPECT_EQ(legacy.stringForType("public.utf8-plain-text"), "old");
    EXPECT_FALSE(Pasteboard{}.stringForType(NSStringPboardType));
}

}  // namespace
}  // namespace platform
