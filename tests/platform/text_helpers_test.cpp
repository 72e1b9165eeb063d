#include <gtest/gtest.h>

#include "platform/pasteboard.h"
#include "platform/paths.h"
#include "platform/scanner.h"

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
