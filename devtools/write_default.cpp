// Writes a Boolean user default, the way a person switches a hidden option on or off:
//   pendra-write-default com.orvano.PendraMacSandboxHelper ExperimentalIntegrationsEnabled YES
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/linux_platform.h"
#include "platform/property_list.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s <domain> <key> YES|NO\n", argv[0]);
        return 2;
    }
    const std::string domain = argv[1];
    const std::string key = argv[2];
    const std::string text = argv[3];
    bool value = false;
    if (text == "YES" || text == "yes" || text == "true" || text == "1") {
        value = true;
    } else if (text != "NO" && text != "no" && text != "false" && text != "0") {
        std::fprintf(stderr, "%s: the value must be YES or NO, not \"%s\"\n", argv[0],
                     text.c_str());
        return 2;
    }
    if (domain.empty() || domain.find('/') != std::string::npos) {
        std::fprintf(stderr, "%s: \"%s\" is no defaults domain\n", argv[0], domain.c_str());
        return 2;
    }
    const std::string path = platform::linux_platform::userDefaultsPathForDomain(domain);
    platform::PropertyList defaults;
    // Read as it is: this program installs no platform, and a missing file reads as no list.
    std::ifstream file(path, std::ios::binary);
    const std::string stored((std::istreambuf_iterator<char>(file)),
                             std::istreambuf_iterator<char>());
    if (auto existing = platform::PropertyList::readFromBytes(
            {reinterpret_cast<const std::uint8_t*>(stored.data()), stored.size()})) {
        if (!existing->isDictionary()) {
            // Nothing is lost: the user decides what to do with a file that is no defaults.
            std::fprintf(stderr, "%s: %s holds no dictionary; left unchanged\n", argv[0],
                         path.c_str());
            return 1;
        }
        defaults = std::move(*existing);
    }
    (*defaults.mutableDictionaryValue())[key] = platform::PropertyList(value);
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), error);
    if (error || !platform::linux_platform::writeFileAtomically(path, defaults.toXML())) {
        std::fprintf(stderr, "%s: cannot write %s\n", argv[0], path.c_str());
        return 1;
    }
    return 0;
}
