#include <optional>
#include <string>

#include "platform/platform.h"

namespace platform {

std::optional<std::string> applicationBundleProblem(const std::string& path,
                                                    const std::string& identifier) {
    const std::shared_ptr<Bundle> bundle = bundles().bundleWithURL(URL::fileURLWithPath(path));
    if (!bundle) {
        return std::string("it is not a bundle");
    }
    const std::optional<std::string> found = bundle->bundleIdentifier();
    if (found != identifier) {
        return "its identifier is " + found.value_or("missing") + ", not " + identifier;
    }
    const std::optional<PropertyList> executable =
        bundle->objectForInfoDictionaryKey("CFBundleExecutable");
    const std::string* name = executable ? executable->stringValue() : nullptr;
    // A name with a separator would lead out of the executable folder.
    if (name == nullptr || name->empty() || name->find('/') != std::string::npos || *name == "." ||
        *name == "..") {
        return std::string("it names no executable");
    }
    const std::string executablePath = stringByAppendingPathComponent(
        stringByAppendingPathComponent(path, "Contents/MacOS"), *name);
    const std::optional<FileAttributes> attributes =
        fileManager().attributesOfItemAtPath(executablePath, nullptr);
    if (!attributes || attributes->type != FileType::Regular) {
        return "its executable " + executablePath + " is missing";
    }
    return std::nullopt;
}

}  // namespace platform
