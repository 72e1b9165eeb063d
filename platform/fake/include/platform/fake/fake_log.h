// A fake log that keeps every line with its kind, subsystem, category and level.
#pragma once

#include <string>
#include <vector>

#include "platform/log.h"

namespace platform::fake {

class FakeLog : public LogService {
  public:
    struct Entry {
        bool console = false;
        std::string subsystem, category;
        LogLevel level = LogLevel::Default;
        std::string message;
        bool operator==(const Entry&) const = default;
    };

    void writeUnified(const OSLog& log, LogLevel level, const std::string& message) override;
    void writeConsole(const std::string& message) override;

    // The messages of each kind, in order.
    std::vector<std::string> unified() const;
    std::vector<std::string> console() const;
    std::vector<std::string> all() const;

    std::vector<Entry> entries;
    // Also print every line on standard error, for debugging a test; on by default when
    // PENDRA_FAKE_LOG_ECHO is set.
    bool echo = echoByDefault();

  private:
    static bool echoByDefault();
};

}  // namespace platform::fake
