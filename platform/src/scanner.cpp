#include "platform/scanner.h"

namespace platform {

Scanner::Scanner(std::string text) : text_(std::move(text)), skipped_(" \t\n\r\v\f") {}

void Scanner::setCharactersToBeSkipped(std::string_view characters) {
    skipped_ = std::string(characters);
}

void Scanner::setScanLocation(std::size_t location) {
    location_ = location < text_.size() ? location : text_.size();
}

void Scanner::skip() {
    if (skipped_.empty()) {
        return;
    }
    const auto next = text_.find_first_not_of(skipped_, location_);
    location_ = next == std::string::npos ? text_.size() : next;
}

bool Scanner::scanUpToString(std::string_view stop, std::string* into) {
    const std::size_t before = location_;
    skip();
    // An empty stop string never matches, so the rest of the text is scanned.
    const auto found = stop.empty() ? std::string::npos : text_.find(stop, location_);
    const std::size_t end = found == std::string::npos ? text_.size() : found;
    if (end == location_) {
        location_ = before;
        return false;
    }
    if (into != nullptr) {
        into->append(text_, location_, end - location_);
    }
    location_ = end;
    return true;
}

bool Scanner::scanString(std::string_view text, std::string* into) {
    const std::size_t before = location_;
    skip();
    if (text.empty() || text_.compare(location_, text.size(), text) != 0) {
        // A failed scan leaves the location where it was.
        location_ = before;
        return false;
    }
    if (into != nullptr) {
        into->append(text);
    }
    location_ += text.size();
    return true;
}

bool Scanner::isAtEnd() const {
    if (skipped_.empty()) {
        return location_ >= text_.size();
    }
    return text_.find_first_not_of(skipped_, location_) == std::string::npos;
}

}  // namespace platform
