// Flattening and reading back a typical reply event: a record with a title, notes and the
// caller's own note, addressed by bundle identifier.
#include <benchmark/benchmark.h>

#include "platform/apple_event_descriptor.h"

namespace {

using platform::AppleEventDescriptor;
using platform::fourCharCode;

AppleEventDescriptor replyEvent(std::size_t notesLength) {
    AppleEventDescriptor record = AppleEventDescriptor::recordDescriptor();
    record.setDescriptor(
        AppleEventDescriptor::descriptorWithString(std::string(notesLength, 'n') +
                                                   "\n\nhttps://example.com/a/page?id=42"),
        fourCharCode("note"));
    record.setDescriptor(AppleEventDescriptor::descriptorWithString("A page title — with text"),
                         fourCharCode("pnam"));
    record.setDescriptor(AppleEventDescriptor::descriptorWithString("The caller's title"),
                         fourCharCode("tnam"));
    AppleEventDescriptor event = AppleEventDescriptor::appleEventWithEventClass(
        fourCharCode("PNDR"), fourCharCode("sqep"),
        AppleEventDescriptor::descriptorWithApplicationBundleIdentifier("com.orvano.PendraMac"),
        platform::kAutoGenerateReturnID, platform::kAnyTransactionID);
    event.setParamDescriptor(record, fourCharCode("qepp"));
    event.setAttributeDescriptor(AppleEventDescriptor::descriptorWithProcessSerialNumber({0, 4242}),
                                 platform::keyAddressAttr);
    return event;
}

void BM_FlattenReplyEvent(benchmark::State& state) {
    const AppleEventDescriptor event = replyEvent(static_cast<std::size_t>(state.range(0)));
    std::size_t bytes = 0;
    for (auto _ : state) {
        auto flat = event.flatten();
        bytes += flat.size();
        benchmark::DoNotOptimize(flat);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}
BENCHMARK(BM_FlattenReplyEvent)->Arg(64)->Arg(4096);

void BM_UnflattenReplyEvent(benchmark::State& state) {
    const auto flat = replyEvent(static_cast<std::size_t>(state.range(0))).flatten();
    for (auto _ : state) {
        auto event = AppleEventDescriptor::unflatten(flat);
        benchmark::DoNotOptimize(event);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * flat.size()));
}
BENCHMARK(BM_UnflattenReplyEvent)->Arg(64)->Arg(4096);

}  // namespace

BENCHMARK_MAIN();
