// Feeds arbitrary bytes to the descriptor reader: it must answer absent or a descriptor whose
// flattening gives back exactly the bytes it was read from.
#include <algorithm>
#include <cstdlib>

#include "platform/apple_event_descriptor.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    const auto descriptor = platform::AppleEventDescriptor::unflatten(bytes);
    if (!descriptor) {
        return 0;
    }
    const auto again = descriptor->flatten();
    if (again.size() != size || !std::equal(again.begin(), again.end(), bytes.begin())) {
        std::abort();
    }
    (void)descriptor->description();
    (void)descriptor->stringValue();
    return 0;
}
