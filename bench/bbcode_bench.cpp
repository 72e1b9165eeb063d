// Stripping and link search over long notes: realistic mark-up, and texts made to be expensive
// (tags that never close, deep nesting, runs of "["). Each stripping benchmark reports its peak
// heap use as a multiple of its input ("peak/input"); the baseline beside them is a memchr walk
// from "[" to "[" over the same realistic text.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "helper/requests/bbcode_stripping.h"

// Heap bytes in use and their peak, counted by the global allocation functions below.
std::atomic<std::size_t> gInUse{0};
std::atomic<std::size_t> gPeak{0};

[[gnu::noinline]] void* operator new(std::size_t size) {
    void* block = std::malloc(size + sizeof(std::max_align_t));
    if (!block) {
        throw std::bad_alloc();
    }
    *static_cast<std::size_t*>(block) = size;
    const std::size_t now = gInUse += size;
    std::size_t peak = gPeak.load();
    while (now > peak && !gPeak.compare_exchange_weak(peak, now)) {
    }
    return static_cast<char*>(block) + sizeof(std::max_align_t);
}

// Kept out of line: inlined into a caller, the compiler would take the pairing of
// malloc and free below for a mismatch with the caller's new.
[[gnu::noinline]] void operator delete(void* pointer) noexcept {
    if (pointer) {
        void* block = static_cast<char*>(pointer) - sizeof(std::max_align_t);
        gInUse -= *static_cast<std::size_t*>(block);
        std::free(block);
    }
}

void operator delete(void* pointer, std::size_t) noexcept {
    operator delete(pointer);
}

namespace {

std::string realisticText(std::size_t bytes) {
    const std::string paragraph =
        "[b]Meeting notes[/b] from [i]Tuesday[/i]: see [url=https://example.org/agenda?id=42]the "
        "agenda[/url] and [quote=Ann]we should [b]ship[/b] before the [color=red]freeze[/color]"
        "[/quote]. Plain prose follows, with a [ bracket and some more words so that runs of text "
        "are long enough to matter. [list][*]one[*]two[/list]\n";
    std::string text;
    while (text.size() < bytes) {
        text += paragraph;
    }
    return text;
}

std::string repeated(const std::string& piece, std::size_t bytes) {
    std::string text;
    while (text.size() < bytes) {
        text += piece;
    }
    return text;
}

std::string deeplyNested(std::size_t bytes) {
    const std::size_t depth = bytes / 8;
    std::string text;
    for (std::size_t i = 0; i < depth; ++i) {
        text += "[b]";
    }
    text += "x";
    for (std::size_t i = 0; i < depth; ++i) {
        text += "[/b]";
    }
    return text;
}

void run(benchmark::State& state, const std::string& text, bool link) {
    std::size_t peak = 0;
    for (auto _ : state) {
        const std::size_t before = gInUse.load();
        gPeak = before;
        benchmark::DoNotOptimize(link ? pendra::firstBBCodeURLString(text)
                                      : pendra::stringByStrippingBBCode(text));
        peak = std::max(peak, gPeak.load() - before);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
    state.counters["peak/input"] =
        static_cast<double>(peak) / static_cast<double>(std::max<std::size_t>(text.size(), 1));
}

// The baseline: every "[" of the text found with memchr, as any walk over the text must.
void BM_MemchrWalkRealistic(benchmark::State& state) {
    const std::string text = realisticText(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        std::size_t brackets = 0;
        const char* cursor = text.data();
        const char* end = text.data() + text.size();
        while (const void* found =
                   std::memchr(cursor, '[', static_cast<std::size_t>(end - cursor))) {
            ++brackets;
            cursor = static_cast<const char*>(found) + 1;
        }
        benchmark::DoNotOptimize(brackets);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

void BM_StripRealistic(benchmark::State& state) {
    run(state, realisticText(static_cast<std::size_t>(state.range(0))), false);
}
void BM_StripUnclosedTags(benchmark::State& state) {
    run(state, repeated("[b]", static_cast<std::size_t>(state.range(0))), false);
}
void BM_StripOpenBrackets(benchmark::State& state) {
    run(state, std::string(static_cast<std::size_t>(state.range(0)), '['), false);
}
void BM_StripUnclosedAttributes(benchmark::State& state) {
    run(state, repeated("[url=a", static_cast<std::size_t>(state.range(0))), false);
}
void BM_StripDeeplyNested(benchmark::State& state) {
    run(state, deeplyNested(static_cast<std::size_t>(state.range(0))), false);
}
void BM_LinkAfterUnclosedTags(benchmark::State& state) {
    run(state, repeated("[i]", static_cast<std::size_t>(state.range(0))) + "[url=x]y[/url]", true);
}

}  // namespace

BENCHMARK(BM_MemchrWalkRealistic)->Range(1 << 10, 1 << 22);
BENCHMARK(BM_StripRealistic)->Range(1 << 10, 1 << 22);
BENCHMARK(BM_StripUnclosedTags)->Range(1 << 10, 1 << 22);
BENCHMARK(BM_StripOpenBrackets)->Range(1 << 10, 1 << 22);
BENCHMARK(BM_StripUnclosedAttributes)->Range(1 << 10, 1 << 22);
BENCHMARK(BM_StripDeeplyNested)->Range(1 << 10, 1 << 22);
BENCHMARK(BM_LinkAfterUnclosedTags)->Range(1 << 10, 1 << 22);

BENCHMARK_MAIN();
