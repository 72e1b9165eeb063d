// Stripping and link search over long notes: realistic mark-up, and texts made to be expensive
// (tags that never close, deep nesting, runs of "[").
#include <benchmark/benchmark.h>

#include <string>

#include "helper/requests/bbcode_stripping.h"

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
    for (auto _ : state) {
        benchmark::DoNotOptimize(link ? pendra::firstBBCodeURLString(text)
                                      : pendra::stringByStrippingBBCode(text));
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

BENCHMARK(BM_StripRealistic)->Range(1 << 10, 1 << 22);
BENCHMARK(BM_StripUnclosedTags)->Range(1 << 10, 1 << 22);
BENCHMARK(BM_StripOpenBrackets)->Range(1 << 10, 1 << 22);
BENCHMARK(BM_StripUnclosedAttributes)->Range(1 << 10, 1 << 22);
BENCHMARK(BM_StripDeeplyNested)->Range(1 << 10, 1 << 22);
BENCHMARK(BM_LinkAfterUnclosedTags)->Range(1 << 10, 1 << 22);

BENCHMARK_MAIN();
