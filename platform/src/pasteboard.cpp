#include "platform/pasteboard.h"

namespace platform {
namespace {

// The modern name of the legacy plain-text type; either name finds text given under the other.
constexpr const char* kPlainTextType = "public.utf8-plain-text";

}  // namespace

std::optional<std::string> Pasteboard::stringForType(const std::string& type) const {
    const auto lookup = [this](const std::string& name) -> std::optional<std::string> {
        const auto found = strings.find(name);
        if (found == strings.end()) {
            return std::nullopt;
        }
        return found->second;
    };
    if (auto text = lookup(type)) {
        return text;
    }
    if (type == NSStringPboardType) {
        return lookup(kPlainTextType);
    }
    if (type == kPlainTextType) {
        return lookup(NSStringPboardType);
    }
    return std::nullopt;
}

}  // namespace platform
