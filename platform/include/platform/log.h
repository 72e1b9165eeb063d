// Unified-logging handles and the console log.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/format.h"

namespace platform {

enum class LogLevel { Default, Info, Debug, Error, Fault };

// A unified-logging handle: a subsystem and a category (os_log_create).
struct OSLog {
    std::string subsystem;
    std::string category;
    bool operator==(const OSLog&) const = default;
};

OSLog os_log_create(std::string_view subsystem, std::string_view category);

// A debug-level message through a handle, formatted with the system's format strings.
void os_log_debug(const OSLog& log, std::string_view format,
                  const std::vector<FormatArg>& args = {});
// A line in the process's console log (NSLog).
void NSLog(std::string_view format, const std::vector<FormatArg>& args = {});

// Where log lines go; the installed platform supplies it.
class LogService {
  public:
    virtual ~LogService() = default;
    virtual void writeUnified(const OSLog& log, LogLevel level, const std::string& message) = 0;
    virtual void writeConsole(const std::string& message) = 0;
};

}  // namespace platform
