#include "platform/log.h"

#include "platform/platform.h"

namespace platform {

OSLog os_log_create(std::string_view subsystem, std::string_view category) {
    return OSLog{std::string(subsystem), std::string(category)};
}

void os_log_debug(const OSLog& log, std::string_view format, const std::vector<FormatArg>& args) {
    logService().writeUnified(log, LogLevel::Debug, formatString(format, args));
}

void NSLog(std::string_view format, const std::vector<FormatArg>& args) {
    logService().writeConsole(formatString(format, args));
}

}  // namespace platform
