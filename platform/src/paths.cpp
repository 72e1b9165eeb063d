#include "platform/paths.h"

namespace platform {
namespace {

// The path without trailing separators, except that the root stays "/".
std::string withoutTrailingSeparators(const std::string& path) {
    const auto last = path.find_last_not_of('/');
    if (last == std::string::npos) {
        return path.empty() ? std::string() : std::string("/");
    }
    return path.substr(0, last + 1);
}

}  // namespace

std::string stringByAppendingPathComponent(const std::string& path, const std::string& component) {
    const auto first = component.find_first_not_of('/');
    const std::string tail = first == std::string::npos ? std::string() : component.substr(first);
    std::string head = withoutTrailingSeparators(path);
    if (head.empty()) {
        return tail;
    }
    if (tail.empty()) {
        return head;
    }
    if (head != "/") {
        head.push_back('/');
    }
    return head + tail;
}

std::string lastPathComponent(const std::string& path) {
    const std::string trimmed = withoutTrailingSeparators(path);
    if (trimmed == "/") {
        return trimmed;
    }
    const auto slash = trimmed.rfind('/');
    return slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
}

std::string stringByDeletingLastPathComponent(const std::string& path) {
    const std::string trimmed = withoutTrailingSeparators(path);
    if (trimmed == "/") {
        return trimmed;
    }
    const auto slash = trimmed.rfind('/');
    if (slash == std::string::npos) {
        return std::string();
    }
    const std::string parent = withoutTrailingSeparators(trimmed.substr(0, slash));
    return parent.empty() ? std::string("/") : parent;
}

namespace {

// The position of the dot that starts the extension of the last component, or npos. A name
// that only starts with a dot has no extension.
std::size_t extensionDot(const std::string& trimmed) {
    const auto slash = trimmed.rfind('/');
    const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    const auto dot = trimmed.rfind('.');
    if (dot == std::string::npos || dot <= nameStart || dot + 1 == trimmed.size()) {
        return std::string::npos;
    }
    return dot;
}

}  // namespace

std::string stringByDeletingPathExtension(const std::string& path) {
    const std::string trimmed = withoutTrailingSeparators(path);
    const auto dot = extensionDot(trimmed);
    return dot == std::string::npos ? trimmed : trimmed.substr(0, dot);
}

std::string pathExtension(const std::string& path) {
    const std::string trimmed = withoutTrailingSeparators(path);
    const auto dot = extensionDot(trimmed);
    return dot == std::string::npos ? std::string() : trimmed.substr(dot + 1);
}

bool isPathAtOrBelow(const std::string& path, const std::string& folder) {
    const std::string item = withoutTrailingSeparators(path);
    const std::string ancestor = withoutTrailingSeparators(folder);
    if (item.empty() || ancestor.empty()) {
        return false;
    }
    if (item == ancestor) {
        return true;
    }
    if (ancestor == "/") {
        return item.front() == '/';
    }
    return item.size() > ancestor.size() && item.compare(0, ancestor.size(), ancestor) == 0 &&
           item[ancestor.size()] == '/';
}

}  // namespace platform
