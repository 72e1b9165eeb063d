// A string scanner over UTF-8 text.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace platform {

class Scanner {
  public:
    // A scanner that, like the platform's, skips white space and newlines until told otherwise.
    static Scanner scannerWithString(std::string text) { return Scanner(std::move(text)); }
    explicit Scanner(std::string text);

    // The ASCII characters passed over before each scan; empty means none.
    void setCharactersToBeSkipped(std::string_view characters);
    const std::string& charactersToBeSkipped() const { return skipped_; }

    // Scans up to (not including) the next occurrence of the string, or to the end; true only
    // when at least one character was scanned. The scanned text is appended to *into if given.
    bool scanUpToString(std::string_view stop, std::string* into);
    // Scans the string at the current location; true when it was there.
    bool scanString(std::string_view text, std::string* into);
    // True when only skipped characters remain.
    bool isAtEnd() const;

    std::size_t scanLocation() const { return location_; }
    void setScanLocation(std::size_t location);
    const std::string& string() const { return text_; }

  private:
    void skip();
    std::string text_;
    std::string skipped_;
    std::size_t location_ = 0;
};

}  // namespace platform
