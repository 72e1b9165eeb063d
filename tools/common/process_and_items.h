// Small checks that both tools make the same way: whether the process that started a tool has
// ended, whether a file operation failed, and whether two paths name one item.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/platform.h"

namespace tool_common {

// The helper whose bundles the tools replace and delete; no other bundle is theirs to touch.
inline constexpr const char* kHelperBundleIdentifier = "com.orvano.PendraMacSandboxHelper";

// The starting process is gone once the process manager no longer knows its id.
inline bool hasProcessEnded(std::int32_t processId) {
    platform::ProcessSerialNumber psn;
    return platform::processManager().GetProcessForPID(processId, &psn) == platform::procNotFound;
}

// A file operation has failed when it says so or when it filled in an error.
inline bool failed(bool succeeded, const platform::Error& error) {
    return !succeeded || !error.domain.empty();
}

// Two paths that name one item: the same file number on the same device.
inline bool isSameItem(platform::FileManager& fileManager, const std::string& first,
                       const std::string& second) {
    const std::optional<platform::FileAttributes> a =
        fileManager.attributesOfItemAtPath(first, nullptr);
    const std::optional<platform::FileAttributes> b =
        fileManager.attributesOfItemAtPath(second, nullptr);
    return a && b && a->systemFileNumber == b->systemFileNumber &&
           a->systemNumber == b->systemNumber;
}

}  // namespace tool_common
