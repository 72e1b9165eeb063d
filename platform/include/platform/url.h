// URLs as the platform parses them (RFC 3986), and their components with query items.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

class URL {
public:
    // A URL from text; absent unless the text is a valid RFC 3986 URI reference with a scheme
    // (an unescaped space, for one, makes it invalid).
    static std::optional<URL> URLWithString(std::string_view text);
    // A file URL for an absolute or relative path (relative paths are taken from the current
    // folder); characters outside the path set are percent-encoded, and the URL of an existing
    // folder ends in "/".
    static URL fileURLWithPath(std::string_view path);

    const std::string& absoluteString() const { return text_; }
    std::string scheme() const;
    bool isFileURL() const;
    // The percent-decoded path ("/" for a file URL of the root).
    std::string path() const;
    std::string lastPathComponent() const;

    bool operator==(const URL& other) const { return text_ == other.text_; }

private:
    explicit URL(std::string text) : text_(std::move(text)) {}
    std::string text_;
};

struct URLQueryItem {
    std::string name;
    std::optional<std::string> value;  // absent for an item without "="
    bool operator==(const URLQueryItem&) const = default;
};

class URLComponents {
public:
    // Components of a URL's text; absent when the text does not parse.
    static std::optional<URLComponents> componentsWithString(std::string_view text);
    static std::optional<URLComponents> componentsWithURL(const URL& url);

    const std::optional<std::string>& scheme() const { return scheme_; }
    // The host as parsed (percent-decoded); absent when the URL has no authority.
    const std::optional<std::string>& host() const { return host_; }
    const std::string& path() const { return path_; }
    // The query items in order, names and values percent-decoded, "+" left as it is; absent
    // when the URL has no query.
    const std::optional<std::vector<URLQueryItem>>& queryItems() const { return queryItems_; }

private:
    std::optional<std::string> scheme_;
    std::optional<std::string> host_;
    std::string path_;
    std::optional<std::vector<URLQueryItem>> queryItems_;
};

// Percent-encodes every byte of the UTF-8 text whose character is not in the allowed ASCII set,
// with upper-case hexadecimal digits.
std::string stringByAddingPercentEncoding(std::string_view text, std::string_view allowed);
// The characters allowed in the host part of a URL.
inline constexpr std::string_view URLHostAllowedCharacters =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~!$&'()*+,;=:[]";

}  // namespace platform
