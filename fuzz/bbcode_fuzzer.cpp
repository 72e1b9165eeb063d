// Feeds arbitrary text to the BBCode operations: stripping only ever takes characters away,
// a text without "[" is kept as it is, and the token reader answers at each "[" without
// moving the scanner when it refuses. The reader is tried at the first brackets only: from every
// bracket of a long text it would make each input quadratic and the run a tenth as fast.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "helper/requests/bbcode_stripping.h"
#include "platform/scanner.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string stripped = pendra::stringByStrippingBBCode(text);
    if (stripped.size() > text.size() ||
        (text.find('[') == std::string::npos && stripped != text)) {
        std::abort();
    }
    (void)pendra::firstBBCodeURLString(text);
    platform::Scanner scanner = platform::Scanner::scannerWithString(text);
    scanner.setCharactersToBeSkipped("");
    int tried = 0;
    for (std::size_t at = text.find('['); at != std::string::npos && tried < 16;
         at = text.find('[', at + 1), ++tried) {
        scanner.setScanLocation(at);
        std::optional<std::string> name, attribute, title;
        const bool read = pendra::scanBBToken(scanner, &name, &attribute, &title);
        if (read ? (scanner.scanLocation() <= at || !title) : scanner.scanLocation() != at) {
            std::abort();
        }
    }
    return 0;
}
