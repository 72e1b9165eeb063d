#include <gtest/gtest.h>

#include <cerrno>
#include <limits>

#include "platform/apple_event_descriptor.h"
#include "platform/error.h"
#include "platform/format.h"
#include "platform/log.h"
#include "platform/platform.h"
#include "platform/property_list.h"
#include "platform/url.h"

namespace platform {
namespace {

// Keeps every line written, with where it went.
class RecordingLog : public LogService {
  public:
    struct Line {
        std::optional<OSLog> log;  // absent for the console log
        LogLevel level = LogLevel::Default;
        std::string message;
        bool operator==(const Line&) const = default;
    };
    void writeUnified(const OSLog& log, LogLevel level, const std::string& message) override {
        lines.push_back({log, level, message});
    }
    void writeConsole(const std::string& message) override {
        lines.push_back({std::nullopt, LogLevel::Default, message});
    }
    std::vector<Line> lines;
};

TEST(Error, PrintsInThePlatformsForm) {
    const Error missing = Error::posix(ENOENT, "/x");
    EXPECT_EQ(missing.domain, NSPOSIXErrorDomain);
    EXPECT_EQ(missing.code, 2);
    EXPECT_EQ(
        missing.description(),
        R"(Error Domain=NSPOSIXErrorDomain Code=2 "No such file or directory" UserInfo={NSFilePath=/x})");
    EXPECT_EQ(Error::posix(EACCES).description(),
              R"(Error Domain=NSPOSIXErrorDomain Code=13 "Permission denied")");
    const Error cocoa{NSCocoaErrorDomain, 516, "Exists", std::nullopt};
    EXPECT_EQ(cocoa.description(), R"(Error Domain=NSCocoaErrorDomain Code=516 "Exists")");
}

TEST(FormatString, ObjectsOfEveryKind) {
    const std::string path = "/Users/me/PendraMacSandboxHelper.app";
    EXPECT_EQ(formatString("Error when removing bundle at path %@: %@",
                           {path, Error::posix(EACCES, path)}),
              "Error when removing bundle at path /Users/me/PendraMacSandboxHelper.app: "
              "Error Domain=NSPOSIXErrorDomain Code=13 \"Permission denied\" "
              "UserInfo={NSFilePath=/Users/me/PendraMacSandboxHelper.app}");
    EXPECT_EQ(formatString("%@|%{public}@|%{private}@",
                           {URL::fileURLWithPath("/a b"), std::optional<URL>(),
                            std::optional<std::string>("s")}),
              "file:///a%20b|(null)|s");
    EXPECT_EQ(formatString("%@ %@", {AppleEventDescriptor::descriptorWithInt32(3),
                                     PropertyList(PropertyList::Array{"x"})}),
              "'long'(3) (\n    x\n)");
    EXPECT_EQ(formatString("%@ %s", {static_cast<const char*>(nullptr), "c"}), "(null) c");
}

TEST(FormatString, NumbersAndSpecialCases) {
    EXPECT_EQ(formatString("%d %i %ld %lld", {-1, 2, -3L, 4LL}), "-1 2 -3 4");
    EXPECT_EQ(formatString("%u %lu %x %X", {-1, 5L, 255, 255}), "4294967295 5 ff FF");
    EXPECT_EQ(formatString("%{public}d%%", {50}), "50%");
    EXPECT_EQ(formatString("%5d|%-3d|%03d", {42, 7, 7}), "   42|7  |007");
    // Missing arguments print as nothing was given; surplus ones are ignored.
    EXPECT_EQ(formatString("%@ %d", {}), "(null) 0");
    EXPECT_EQ(formatString("only", {1, 2}), "only");
    // Unknown or cut-off specifiers are copied and use no argument.
    EXPECT_EQ(formatString("%y %@ %", {"a"}), "%y a %");
    EXPECT_EQ(formatString("%{public %@", {"a"}), "%{public a");
    EXPECT_EQ(formatString("%d", {"text"}), "0");
    EXPECT_EQ(formatString("%@", {12}), "12");
}

TEST(IntegerValueOfText, LeadingDigitsAfterWhiteSpaceAndSignSaturating) {
    const std::vector<std::pair<std::string, std::int64_t>> cases = {
        {"104", 104},
        {" \t\n+7 apples", 7},
        {"-12.9", -12},
        {"1.0", 1},
        {"", 0},
        {"x1", 0},
        {"- 1", 0},
        {"99999999999999999999", std::numeric_limits<std::int64_t>::max()},
        {"-9223372036854775808", std::numeric_limits<std::int64_t>::min()},
        {"-99999999999999999999", std::numeric_limits<std::int64_t>::min()},
    };
    for (const auto& [text, value] : cases) {
        EXPECT_EQ(integerValueOfText(text), value) << text;
    }
}

TEST(Log, DebugAndConsoleLinesGoToTheInstalledService) {
    RecordingLog recording;
    Services services;
    services.log = &recording;
    const ScopedInstall installed(services);

    const OSLog log = os_log_create("com.orvano.PendraMacSandboxHelper", "PendraSandboxHelper");
    os_log_debug(log, "Version %{public}@", {"1.0"});
    NSLog("Removing bundle at path %@", {"/x"});
    NSLog("plain");

    const std::vector<RecordingLog::Line> expected = {
        {log, LogLevel::Debug, "Version 1.0"},
        {std::nullopt, LogLevel::Default, "Removing bundle at path /x"},
        {std::nullopt, LogLevel::Default, "plain"},
    };
    EXPECT_EQ(recording.lines, expected);
}

}  // namespace
}  // namespace platform
