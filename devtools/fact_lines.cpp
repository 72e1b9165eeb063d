#include "devtools/fact_lines.h"

#include <cstdio>
#include <iostream>

#include "helper/constants.h"

namespace devtools {

using platform::AppleEventDescriptor;

std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '"':
                out += "\\\"";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\x%02x",
                                  static_cast<unsigned>(static_cast<unsigned char>(c)));
                    out += escaped;
                } else {
                    out += c;
                }
        }
    }
    return out + "\"";
}

std::string valueText(const AppleEventDescriptor& descriptor) {
    if (descriptor.kind() != AppleEventDescriptor::Kind::Scalar) {
        return descriptor.description();
    }
    const platform::DescType type = descriptor.descriptorType();
    if (type == platform::typeApplicationBundleID) {
        const auto& data = descriptor.data();
        return quoted(std::string(data.begin(), data.end()));
    }
    if (type == platform::typeUnicodeText || type == platform::typeUTF8Text ||
        type == platform::fourCharCode("TEXT")) {
        return quoted(descriptor.stringValue().value_or(""));
    }
    if (type == platform::typeSInt32) {
        return std::to_string(descriptor.int32Value());
    }
    if (type == platform::typeType || type == platform::typeEnumerated) {
        return "'" + platform::fourCharCodeString(descriptor.typeCodeValue()) + "'";
    }
    if (type == platform::typeNull) {
        return "null";
    }
    return descriptor.description();
}

std::string descriptorLine(const std::string& label, const AppleEventDescriptor& value) {
    return label + " '" + platform::fourCharCodeString(value.descriptorType()) + "' " +
           valueText(value);
}

std::vector<std::string> autofillReplyLines(const AppleEventDescriptor& event) {
    std::vector<std::string> lines;
    lines.push_back("reply " + platform::fourCharCodeString(event.eventClass()) + "/" +
                    platform::fourCharCodeString(event.eventID()));
    const auto properties = event.paramDescriptorForKeyword(pendra::kQuickEntryPropertiesKeyword);
    if (!properties) {
        lines.push_back("qepp absent");
    } else if (!properties->isRecord()) {
        lines.push_back(descriptorLine("qepp", *properties));
    } else if (properties->numberOfItems() == 0) {
        lines.push_back("qepp empty");
    } else {
        for (std::int64_t index = 1; index <= properties->numberOfItems(); ++index) {
            const platform::AEKeyword keyword = properties->keywordForDescriptorAtIndex(index);
            const auto value = properties->descriptorAtIndex(index);
            if (value) {
                lines.push_back(
                    descriptorLine("qepp " + platform::fourCharCodeString(keyword), *value));
            }
        }
    }
    lines.push_back("reply end");
    return lines;
}

std::vector<std::string> notificationLines(const std::string& name,
                                           const std::optional<std::string>& object,
                                           const platform::NotificationUserInfo& userInfo) {
    std::vector<std::string> lines{"notification " + name};
    if (object) {
        lines.push_back("notification-object " + name + " " + quoted(*object));
    }
    for (const auto& [key, value] : userInfo) {
        lines.push_back("notification-info " + name + " " + key + " " + quoted(value));
    }
    return lines;
}

bool isHelperNotification(const std::string& name) {
    return name.rfind("PendraMacSandboxHelper", 0) == 0;
}

void emit(const std::string& line) {
    std::cout << line << '\n' << std::flush;
}

void emitAll(const std::vector<std::string>& lines) {
    for (const auto& line : lines) {
        emit(line);
    }
}

}  // namespace devtools
