#include <sys/stat.h>

#include <cctype>
#include <climits>
#include <cstdint>

#include "linux_accessibility.h"
#include "linux_locations.h"

namespace platform::linux_platform {
namespace {

constexpr std::uint32_t kFieldRoles[] = {accessibility::kRoleText, accessibility::kRoleEntry};

bool isFieldRole(std::uint32_t role) {
    return role == accessibility::kRoleText || role == accessibility::kRoleEntry;
}

// A scheme as addresses begin with: a letter, then letters, digits, "+", "-" or ".".
bool startsWithScheme(const std::string& text) {
    const auto colon = text.find(':');
    if (colon == std::string::npos || colon == 0 ||
        !std::isalpha(static_cast<unsigned char>(text[0]))) {
        return false;
    }
    for (std::size_t index = 1; index < colon; ++index) {
        const auto c = static_cast<unsigned char>(text[index]);
        if (!std::isalnum(c) && c != '+' && c != '-' && c != '.') {
            return false;
        }
    }
    return text.compare(colon, 3, "://") == 0 || text.compare(0, colon + 1, "about:") == 0;
}

}  // namespace

bool hasControlCharacters(const std::string& text) {
    for (const char c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            return true;
        }
    }
    return false;
}

bool isLocationText(const std::string& text) {
    if (text.empty() || hasControlCharacters(text)) {
        return false;
    }
    return text.front() == '/' || text.starts_with("~/") || text == "~" || startsWithScheme(text);
}

std::optional<DesktopDocument> documentOfLocation(const std::string& text,
                                                  const std::string& windowTitle,
                                                  const std::string& home) {
    if (!isLocationText(text)) {
        return std::nullopt;
    }
    // An address is a browser's: the page is known by the window's title, whatever it is.
    if (text.front() != '/' && text.front() != '~') {
        const auto url = URL::URLWithString(text);
        if (!url) {
            return std::nullopt;
        }
        return DesktopDocument{windowTitle, text, url->isFileURL() ? url->path() : std::string()};
    }
    // A path is a file manager's, whose window is known by the folder's name.
    if (text.front() == '~' && home.empty()) {
        return std::nullopt;
    }
    std::string path = text.front() == '/' ? text : home + text.substr(1);
    // A folder's field ends in a separator; its name is that of its last part.
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    struct stat status {};
    if (path.empty() || ::stat(path.c_str(), &status) != 0) {
        return std::nullopt;
    }
    const auto slash = path.rfind('/');
    std::string name = path.size() == 1 ? path : path.substr(slash + 1);
    return localDocument(std::move(name), path);
}

BusWriter AccessibilityBus::textQuestion(const AccessibleReference& object) const {
    // The end as the largest offset rather than -1: some toolkits clamp -1 to nothing.
    return std::move(question(object, "org.a11y.atspi.Text", "GetText")
                     << std::int32_t{0} << std::int32_t{INT_MAX});
}

std::optional<std::string> AccessibilityBus::text(const AccessibleReference& object) {
    std::string value;
    if (!(calls_.call(textQuestion(object)).read() >> value)) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::string> AccessibilityBus::locationText(const AccessibleReference& frame,
                                                          bool (*isLocation)(const std::string&),
                                                          int budget) {
    const std::string key = frame.bus + frame.path;
    if (const auto known = locationFields_.find(key); known != locationFields_.end()) {
        // Asked already together with the frame's state, where it was.
        std::optional<std::string> value;
        const auto ahead = askedAhead_.find(known->second.bus + known->second.path);
        if (ahead != askedAhead_.end() && !ahead->second.empty()) {
            std::string asked;
            if (ahead->second.front().read() >> asked) {
                value = std::move(asked);
            }
            askedAhead_.erase(ahead);
        } else {
            value = text(known->second);
        }
        if (value && isLocation(*value)) {
            return value;
        }
        locationFields_.erase(known);
        if (calls_.timedOut()) {
            return std::nullopt;
        }
    }
    auto found = findLocationField(frame, isLocation, budget);
    if (!found) {
        return std::nullopt;
    }
    // Frames come and go with their windows; the few kept are those of the windows in use.
    if (locationFields_.size() >= 64) {
        locationFields_.clear();
    }
    locationFields_[key] = std::move(found->first);
    return std::move(found->second);
}

std::optional<std::pair<AccessibleReference, std::string>> AccessibilityBus::findLocationField(
    const AccessibleReference& frame, bool (*isLocation)(const std::string&), int budget) {
    // The first showing field is the location where the application offers the search: the
    // location bar comes before the contents of the window in the tree's order.
    if (auto found = firstShowingWithRole(frame, kFieldRoles)) {
        if (found->empty()) {
            return std::nullopt;
        }
        if (auto value = text(found->front()); value && isLocation(*value)) {
            return std::pair{found->front(), std::move(*value)};
        }
        return std::nullopt;
    }
    if (calls_.timedOut()) {
        return std::nullopt;
    }
    // Without the search: depth first, in the order the application lists its objects, so
    // that the window's bar is seen before its contents; fields whose text is something else
    // (a search) are passed over.
    using Field = std::pair<AccessibleReference, std::string>;
    return findDepthFirst<Field>(
        frame, budget,
        [&](const AccessibleReference& object, bool& descend) -> std::optional<Field> {
            const auto role = this->role(object);
            if (!role || !isFieldRole(*role)) {
                descend = role.has_value();
                return std::nullopt;
            }
            descend = false;
            if (auto value = text(object); value && isLocation(*value)) {
                return Field{object, std::move(*value)};
            }
            return std::nullopt;
        });
}

}  // namespace platform::linux_platform
