// Opens arbitrary text as a callback URL from the application whose connector is a URL: the
// helper parses it, runs the callback handler with its query and answers, or logs why not.
#include <cstdint>
#include <string>

#include "fuzz/helper_on_fakes.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using pendra::fuzzing::HelperOnFakes;
    HelperOnFakes& helper = HelperOnFakes::shared();
    auto event = platform::AppleEventDescriptor::appleEventWithEventClass(
        platform::kInternetEventClass, platform::kAEGetURL,
        platform::AppleEventDescriptor::descriptorWithApplicationBundleIdentifier(
            "com.orvano.PendraMacSandboxHelper"),
        platform::kAutoGenerateReturnID, platform::kAnyTransactionID);
    event.setParamDescriptor(platform::AppleEventDescriptor::descriptorWithString(
                                 std::string(reinterpret_cast<const char*>(data), size)),
                             platform::keyDirectObject);
    helper.deliver(HelperOnFakes::sentBy(event, pendra::fuzzing::kReaderPid));
    return 0;
}
