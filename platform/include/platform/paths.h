// Standard folders.
#pragma once

#include <string>
#include <vector>

namespace platform {

enum NSSearchPathDirectory { NSApplicationSupportDirectory = 14 };
enum NSSearchPathDomainMask { NSUserDomainMask = 1 };

class PathService {
  public:
    virtual ~PathService() = default;
    virtual std::vector<std::string> NSSearchPathForDirectoriesInDomains(
        NSSearchPathDirectory directory, NSSearchPathDomainMask domain, bool expandTilde) = 0;
    // The user's temporary folder, with a trailing separator.
    virtual std::string NSTemporaryDirectory() = 0;
};

// Appends a path component with one separator between.
std::string stringByAppendingPathComponent(const std::string& path, const std::string& component);
std::string lastPathComponent(const std::string& path);
std::string stringByDeletingLastPathComponent(const std::string& path);
std::string stringByDeletingPathExtension(const std::string& path);
std::string pathExtension(const std::string& path);
// True when a path names a folder or the item below it, by text alone; both paths absolute and
// free of "." and "..", trailing separators aside.
bool isPathAtOrBelow(const std::string& path, const std::string& folder);

}  // namespace platform
