#include "platform/url.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace platform {
namespace {

TEST(URL, AcceptsOnlyValidTextWithAScheme) {
    EXPECT_TRUE(URL::URLWithString("https://example.com/a?b=c#d"));
    EXPECT_TRUE(URL::URLWithString("mailto:someone@example.com"));
    EXPECT_FALSE(URL::URLWithString("https://example.com/a b"));
    EXPECT_FALSE(URL::URLWithString("/just/a/path"));
    EXPECT_FALSE(URL::URLWithString("http://exa mple.com"));
    EXPECT_FALSE(URL::URLWithString("http://x/%zz"));
    EXPECT_FALSE(URL::URLWithString(""));
    EXPECT_EQ(URL::URLWithString("x-app://a")->scheme(), "x-app");
}

TEST(URL, FileURLsEncodeAndDecodeTheirPath) {
    const URL url = URL::fileURLWithPath("/tmp/Pendra Sandbox Helper/a%b#c.app");
    EXPECT_EQ(url.absoluteString(), "file:///tmp/Pendra%20Sandbox%20Helper/a%25b%23c.app");
    EXPECT_TRUE(url.isFileURL());
    EXPECT_EQ(url.path(), "/tmp/Pendra Sandbox Helper/a%b#c.app");
    EXPECT_EQ(url.lastPathComponent(), "a%b#c.app");
    EXPECT_EQ(URL::fileURLWithPath("/").path(), "/");
    EXPECT_FALSE(URL::URLWithString("http://x/y")->isFileURL());
    EXPECT_TRUE(URL::URLWithString("FILE:///y")->isFileURL());

    // An existing folder gets a trailing separator; its path does not show it.
    const auto folder = std::filesystem::temp_directory_path();
    const URL folderURL = URL::fileURLWithPath(folder.string());
    EXPECT_EQ(folderURL.absoluteString().back(), '/');
    EXPECT_EQ(folderURL.path(), folder.string());

    const auto relative = URL::fileURLWithPath("some file.txt");
    EXPECT_EQ(relative.path(), (std::filesystem::current_path() / "some file.txt").string());
}

TEST(URLComponents, CallbackQueryItemsInOrder) {
    const auto components =
        URLComponents::componentsWithString("pendrahelper://quickentry/x?a=1&b&c=&a=2&p=%41+b#f");
    ASSERT_TRUE(components);
    EXPECT_EQ(components->scheme(), "pendrahelper");
    EXPECT_EQ(components->host(), "quickentry");
    EXPECT_EQ(components->path(), "/x");
    ASSERT_TRUE(components->queryItems());
    const std::vector<URLQueryItem> expected = {
        {"a", "1"}, {"b", std::nullopt}, {"c", ""}, {"a", "2"}, {"p", "A+b"}};
    EXPECT_EQ(*components->queryItems(), expected);
}

TEST(URLComponents, HostPathAndMissingParts) {
    const auto noQuery = URLComponents::componentsWithString("http://h%41st:80/a%20b");
    ASSERT_TRUE(noQuery);
    EXPECT_EQ(noQuery->host(), "hAst");
    EXPECT_EQ(noQuery->path(), "/a b");
    EXPECT_FALSE(noQuery->queryItems());

    const auto noHost = URLComponents::componentsWithString("mailto:a@b?subject=x%3Dy");
    ASSERT_TRUE(noHost);
    EXPECT_FALSE(noHost->host());
    EXPECT_EQ(noHost->path(), "a@b");
    EXPECT_EQ(*noHost->queryItems(), (std::vector<URLQueryItem>{{"subject", "x=y"}}));

    const auto emptyQuery = URLComponents::componentsWithString("x://h?");
    ASSERT_TRUE(emptyQuery);
    ASSERT_TRUE(emptyQuery->queryItems());
    EXPECT_TRUE(emptyQuery->queryItems()->empty());

    EXPECT_FALSE(URLComponents::componentsWithString("x://h/a b"));
    const auto fromURL = URLComponents::componentsWithURL(*URL::URLWithString("x://[::1]/p"));
    ASSERT_TRUE(fromURL);
    EXPECT_EQ(fromURL->host(), "::1");
}

TEST(PercentEncoding, UsesUpperCaseHexForEveryByteOutsideTheSet) {
    EXPECT_EQ(stringByAddingPercentEncoding("a b/é", URLHostAllowedCharacters), "a%20b%2F%C3%A9");
    EXPECT_EQ(stringByAddingPercentEncoding("", URLHostAllowedCharacters), "");
    EXPECT_EQ(stringByAddingPercentEncoding("x=1&y", "xy"), "x%3D%31%26y");
}

}  // namespace
}  // namespace platform
