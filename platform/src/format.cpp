#include "platform/format.h"

#include <algorithm>
#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <limits>

#include "platform/apple_event_descriptor.h"
#include "platform/error.h"
#include "platform/property_list.h"
#include "platform/url.h"

namespace platform {

std::int64_t integerValueOfText(std::string_view text) {
    const std::size_t start = text.find_first_not_of(" \t\n\v\f\r");
    if (start == std::string_view::npos) {
        return 0;
    }
    text.remove_prefix(start);
    const bool negative = text.front() == '-';
    if (negative || text.front() == '+') {
        text.remove_prefix(1);
    }
    const std::size_t digits = std::min(text.find_first_not_of("0123456789"), text.size());
    // The sign goes with the digits so that the most negative value is read too.
    const std::string number = (negative ? "-" : "") + std::string(text.substr(0, digits));
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
    if (error == std::errc::result_out_of_range) {
        return negative ? std::numeric_limits<std::int64_t>::min()
                        : std::numeric_limits<std::int64_t>::max();
    }
    return value;
}

FormatArg::FormatArg(const char* text) {
    if (text != nullptr) {
        value_ = std::string(text);
    }
}

FormatArg::FormatArg(const std::optional<std::string>& text) {
    if (text) {
        value_ = *text;
    }
}

FormatArg::FormatArg(const Error& error) : value_(error.description()) {}
FormatArg::FormatArg(const URL& url) : value_(url.absoluteString()) {}
FormatArg::FormatArg(const std::optional<URL>& url) {
    if (url) {
        value_ = url->absoluteString();
    }
}
FormatArg::FormatArg(const PropertyList& value) : value_(value.description()) {}
FormatArg::FormatArg(const AppleEventDescriptor& value) : value_(value.description()) {}

std::string FormatArg::objectText() const {
    if (const auto* text = std::get_if<std::string>(&value_)) {
        return *text;
    }
    if (const auto* number = std::get_if<std::int64_t>(&value_)) {
        return std::to_string(*number);
    }
    return "(null)";
}

std::optional<std::int64_t> FormatArg::number() const {
    if (const auto* number = std::get_if<std::int64_t>(&value_)) {
        return *number;
    }
    return std::nullopt;
}

namespace {

struct Specifier {
    bool leftAlign = false;
    bool zeroPad = false;
    std::size_t width = 0;
    std::optional<std::size_t> precision;
    bool wide = false;  // a 64-bit length modifier (l, ll, q, z, j, t)
    char conversion = 0;
};

// Parses the specifier after a per-cent sign; answers the length consumed, or 0 when the text
// is not a specifier this formatter knows.
std::size_t parseSpecifier(std::string_view text, Specifier& spec) {
    std::size_t i = 0;
    if (i < text.size() && text[i] == '{') {
        // Privacy annotations ({public}, {private}) change nothing in the text we write.
        const auto close = text.find('}', i);
        if (close == std::string_view::npos) {
            return 0;
        }
        i = close + 1;
    }
    for (; i < text.size(); ++i) {
        if (text[i] == '-') {
            spec.leftAlign = true;
        } else if (text[i] == '0') {
            spec.zeroPad = true;
        } else if (text[i] != '+' && text[i] != ' ' && text[i] != '#') {
            break;
        }
    }
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        spec.width =
            std::min<std::size_t>(spec.width * 10 + static_cast<std::size_t>(text[i] - '0'), 4096);
    }
    if (i < text.size() && text[i] == '.') {
        std::size_t precision = 0;
        for (++i; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
            precision = std::min<std::size_t>(
                precision * 10 + static_cast<std::size_t>(text[i] - '0'), 4096);
        }
        spec.precision = precision;
    }
    while (i < text.size() && (text[i] == 'l' || text[i] == 'q' || text[i] == 'z' ||
                               text[i] == 'j' || text[i] == 't' || text[i] == 'h')) {
        if (text[i] != 'h') {
            spec.wide = true;
        }
        ++i;
    }
    if (i >= text.size()) {
        return 0;
    }
    switch (text[i]) {
        case '@':
        case 'd':
        case 'i':
        case 'u':
        case 'x':
        case 'X':
        case 's':
        case 'c':
            spec.conversion = text[i];
            return i + 1;
        default:
            return 0;
    }
}

std::string formatNumber(const Specifier& spec, std::int64_t number) {
    char buffer[32];
    switch (spec.conversion) {
        case 'd':
        case 'i':
            std::snprintf(
                buffer, sizeof buffer, "%" PRId64,
                spec.wide ? number : static_cast<std::int64_t>(static_cast<std::int32_t>(number)));
            break;
        case 'u':
            std::snprintf(buffer, sizeof buffer, "%" PRIu64,
                          spec.wide
                              ? static_cast<std::uint64_t>(number)
                              : static_cast<std::uint64_t>(static_cast<std::uint32_t>(number)));
            break;
        default: {
            const auto value = spec.wide
                                   ? static_cast<std::uint64_t>(number)
                                   : static_cast<std::uint64_t>(static_cast<std::uint32_t>(number));
            std::snprintf(buffer, sizeof buffer, spec.conversion == 'X' ? "%" PRIX64 : "%" PRIx64,
                          value);
            break;
        }
    }
    return buffer;
}

std::string padded(const Specifier& spec, std::string text, bool numeric) {
    if (text.size() >= spec.width) {
        return text;
    }
    const std::size_t missing = spec.width - text.size();
    if (spec.leftAlign) {
        return text + std::string(missing, ' ');
    }
    if (numeric && spec.zeroPad) {
        const std::size_t sign = (!text.empty() && text[0] == '-') ? 1 : 0;
        return text.insert(sign, missing, '0');
    }
    return std::string(missing, ' ') + text;
}

}  // namespace

std::string formatString(std::string_view format, const std::vector<FormatArg>& args) {
    std::string out;
    out.reserve(format.size() + 16 * args.size());
    std::size_t next = 0;
    std::size_t i = 0;
    while (i < format.size()) {
        const auto percent = format.find('%', i);
        if (percent == std::string_view::npos) {
            out.append(format.substr(i));
            break;
        }
        out.append(format.substr(i, percent - i));
        if (percent + 1 < format.size() && format[percent + 1] == '%') {
            out.push_back('%');
            i = percent + 2;
            continue;
        }
        Specifier spec;
        const std::size_t length = parseSpecifier(format.substr(percent + 1), spec);
        if (length == 0) {
            // Not a specifier: copied as written, and no argument is used.
            out.push_back('%');
            i = percent + 1;
            continue;
        }
        i = percent + 1 + length;
        const FormatArg* arg = next < args.size() ? &args[next] : nullptr;
        ++next;
        switch (spec.conversion) {
            case '@':
            case 's': {
                std::string text = arg ? arg->objectText() : "(null)";
                if (spec.precision && spec.conversion == 's' && text.size() > *spec.precision) {
                    text.resize(*spec.precision);
                }
                out += padded(spec, std::move(text), false);
                break;
            }
            case 'c': {
                const auto number = arg ? arg->number().value_or(0) : 0;
                out += padded(spec, std::string(1, static_cast<char>(number)), false);
                break;
            }
            default:
                out += padded(spec, formatNumber(spec, arg ? arg->number().value_or(0) : 0), true);
                break;
        }
    }
    return out;
}

}  // namespace platform
