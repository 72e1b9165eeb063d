#include "platform/fake/fake_log.h"

#include <cstdio>
#include <cstdlib>

namespace platform::fake {

bool FakeLog::echoByDefault() {
    return std::getenv("PENDRA_FAKE_LOG_ECHO") != nullptr;
}

void FakeLog::writeUnified(const OSLog& log, LogLevel level, const std::string& message) {
    entries.push_back({false, log.subsystem, log.category, level, message});
    if (echo) {
        std::fprintf(stderr, "[%s:%s] %s\n", log.subsystem.c_str(), log.category.c_str(),
                     message.c_str());
    }
}

void FakeLog::writeConsole(const std::string& message) {
    entries.push_back({true, "", "", LogLevel::Default, message});
    if (echo) {
        std::fprintf(stderr, "[console] %s\n", message.c_str());
    }
}

std::vector<std::string> FakeLog::unified() const {
    std::vector<std::string> messages;
    for (const auto& entry : entries) {
        if (!entry.console) {
            messages.push_back(entry.message);
        }
    }
    return messages;
}

std::vector<std::string> FakeLog::console() const {
    std::vector<std::string> messages;
    for (const auto& entry : entries) {
        if (entry.console) {
            messages.push_back(entry.message);
        }
    }
    return messages;
}

std::vector<std::string> FakeLog::all() const {
    std::vector<std::string> messages;
    for (const auto& entry : entries) {
        messages.push_back(entry.message);
    }
    return messages;
}

}  // namespace platform::fake
