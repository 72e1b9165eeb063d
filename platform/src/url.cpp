// URLs and their components, validated and split by uriparser (RFC 3986).
#include "platform/url.h"

#include <uriparser/Uri.h>

#include "platform/utf.h"

#include <filesystem>
#include <system_error>

namespace platform {
namespace {

// A parsed URI that frees itself; its ranges point into the text it was parsed from.
class ParsedUri {
  public:
    explicit ParsedUri(std::string_view text) {
        const char* error = nullptr;
        ok_ = uriParseSingleUriExA(&uri_, text.data(), text.data() + text.size(), &error) ==
              URI_SUCCESS;
    }
    ~ParsedUri() {
        if (ok_) {
            uriFreeUriMembersA(&uri_);
        }
    }
    ParsedUri(const ParsedUri&) = delete;
    ParsedUri& operator=(const ParsedUri&) = delete;

    bool ok() const { return ok_; }
    const UriUriA& uri() const { return uri_; }

  private:
    UriUriA uri_{};
    bool ok_ = false;
};

std::optional<std::string_view> range(const UriTextRangeA& text) {
    if (text.first == nullptr) {
        return std::nullopt;
    }
    return std::string_view(text.first, static_cast<std::size_t>(text.afterLast - text.first));
}

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Decodes %XX escapes only; a plus sign stays a plus sign, and a malformed escape stays as
// written.
std::string percentDecoded(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 &&
            hexValue(text[i + 2]) >= 0) {
            out.push_back(static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2])));
            i += 2;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

// The path of a URI's text: after the scheme (of the given length, 0 for none) and the
// authority, up to the query or the fragment.
std::string_view rawPath(std::string_view text, std::size_t schemeLength) {
    std::size_t start = schemeLength == 0 ? 0 : schemeLength + 1;
    if (text.substr(start, 2) == "//") {
        const auto end = text.find_first_of("/?#", start + 2);
        start = end == std::string_view::npos ? text.size() : end;
    }
    const auto stop = text.find_first_of("?#", start);
    return text.substr(start, (stop == std::string_view::npos ? text.size() : stop) - start);
}

constexpr std::string_view kPathAllowedCharacters =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~!$&'()*+,;=:@/";

}  // namespace

std::string stringByAddingPercentEncoding(std::string_view text, std::string_view allowed) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80 && allowed.find(c) != std::string_view::npos) {
            out.push_back(c);
        } else {
            out.push_back('%');
            out.push_back(kDigits[byte >> 4]);
            out.push_back(kDigits[byte & 0x0F]);
        }
    }
    return out;
}

std::optional<URL> URL::URLWithString(std::string_view text) {
    if (text.empty()) {
        return std::nullopt;
    }
    const ParsedUri parsed(text);
    if (!parsed.ok() || !range(parsed.uri().scheme)) {
        return std::nullopt;
    }
    return URL(std::string(text));
}

URL URL::fileURLWithPath(std::string_view path) {
    std::string absolute(path);
    if (absolute.empty() || absolute.front() != '/') {
        std::error_code error;
        const auto current = std::filesystem::current_path(error);
        std::string base = error ? std::string("/") : current.string();
        if (base.back() != '/') {
            base.push_back('/');
        }
        absolute = base + absolute;
    }
    // Folders end in a separator, as the platform writes them.
    std::error_code error;
    if (absolute.back() != '/' && std::filesystem::is_directory(absolute, error)) {
        absolute.push_back('/');
    }
    return URL("file://" + stringByAddingPercentEncoding(absolute, kPathAllowedCharacters));
}

std::string URL::scheme() const {
    const auto colon = text_.find(':');
    return colon == std::string::npos ? std::string() : text_.substr(0, colon);
}

bool URL::isFileURL() const {
    return utf::equalsIgnoringASCIICase(scheme(), "file");
}

std::string URL::path() const {
    std::string decoded = percentDecoded(rawPath(text_, scheme().size()));
    while (decoded.size() > 1 && decoded.back() == '/') {
        decoded.pop_back();
    }
    return decoded;
}

std::string URL::lastPathComponent() const {
    const std::string full = path();
    if (full.empty() || full == "/") {
        return full;
    }
    const auto slash = full.rfind('/');
    return slash == std::string::npos ? full : full.substr(slash + 1);
}

std::optional<URLComponents> URLComponents::componentsWithString(std::string_view text) {
    const ParsedUri parsed(text);
    if (!parsed.ok()) {
        return std::nullopt;
    }
    const UriUriA& uri = parsed.uri();
    URLComponents components;
    if (const auto scheme = range(uri.scheme)) {
        components.scheme_ = std::string(*scheme);
    }
    // An authority is present exactly when the text has "//" before the path.
    const std::size_t schemeLength = components.scheme_ ? components.scheme_->size() : 0;
    if (text.substr(schemeLength == 0 ? 0 : schemeLength + 1, 2) == "//") {
        components.host_ = percentDecoded(range(uri.hostText).value_or(std::string_view()));
    }
    components.path_ = percentDecoded(rawPath(text, schemeLength));
    if (const auto query = range(uri.query)) {
        std::vector<URLQueryItem> items;
        if (!query->empty()) {
            std::size_t start = 0;
            while (true) {
                const auto end = query->find('&', start);
                const auto item = query->substr(
                    start, end == std::string_view::npos ? std::string_view::npos : end - start);
                const auto equals = item.find('=');
                if (equals == std::string_view::npos) {
                    items.push_back({percentDecoded(item), std::nullopt});
                } else {
                    items.push_back({percentDecoded(item.substr(0, equals)),
                                     percentDecoded(item.substr(equals + 1))});
                }
                if (end == std::string_view::npos) {
                    break;
                }
                start = end + 1;
            }
        }
        components.queryItems_ = std::move(items);
    }
    return components;
}

std::optional<URLComponents> URLComponents::componentsWithURL(const URL& url) {
    return componentsWithString(url.absoluteString());
}

}  // namespace platform
