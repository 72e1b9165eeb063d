// Delivers arbitrary events to a started helper: the first byte picks one of the events the
// helper handles and its sender, the rest is read as a flattened record whose entries become
// the event's parameters. Whatever they hold, the helper answers and keeps running, unless an
// update or disable ends it as it should.
#include <array>
#include <cstdint>
#include <span>

#include "fuzz/helper_on_fakes.h"
#include "helper/constants.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    using pendra::fuzzing::HelperOnFakes;
    constexpr std::array<std::pair<platform::AEEventClass, platform::AEEventID>, 5> kEvents = {{
        {pendra::kPendraHelperEventClass, pendra::kGetVersionEventID},
        {pendra::kPendraHelperEventClass, pendra::kUpdateEventID},
        {pendra::kPendraHelperEventClass, pendra::kInvokeQuickEntryAutofillServiceItemEventID},
        {pendra::kPendraHelperEventClass, pendra::kDisableEventID},
        {platform::kInternetEventClass, platform::kAEGetURL},
    }};
    const auto [eventClass, eventID] = kEvents[data[0] % kEvents.size()];
    auto event = platform::AppleEventDescriptor::appleEventWithEventClass(
        eventClass, eventID,
        platform::AppleEventDescriptor::descriptorWithApplicationBundleIdentifier(
            pendra::kHelperBundleIdentifier),
        platform::kAutoGenerateReturnID, platform::kAnyTransactionID);
    if (const auto parameters =
            platform::AppleEventDescriptor::unflatten(std::span(data + 1, size - 1));
        parameters && parameters->isRecord()) {
        for (std::int64_t index = 1; index <= parameters->numberOfItems(); ++index) {
            if (const auto value = parameters->descriptorAtIndex(index)) {
                event.setParamDescriptor(*value, parameters->keywordForDescriptorAtIndex(index));
            }
        }
    }
    HelperOnFakes& helper = HelperOnFakes::shared();
    const platform::pid_t sender =
        (data[0] / kEvents.size()) % 2 ? pendra::fuzzing::kReaderPid : pendra::fuzzing::kBrowserPid;
    helper.deliver(HelperOnFakes::sentBy(event, sender));
    return 0;
}
