#include "platform/error.h"

#include <cstring>

namespace platform {

Error Error::posix(int errnoValue, std::optional<std::string> path) {
    return Error{NSPOSIXErrorDomain, errnoValue, std::strerror(errnoValue), std::move(path)};
}

std::string Error::description() const {
    std::string text = "Error Domain=" + domain + " Code=" + std::to_string(code) + " \"" +
                       localizedDescription + "\"";
    if (filePath) {
        text += " UserInfo={NSFilePath=" + *filePath + "}";
    }
    return text;
}

}  // namespace platform
