// The script interpreter: compiling and running a connector script against an application that
// answers at once, and a text loop of the kind the mail connectors run over message headers.
#include <benchmark/benchmark.h>

#include <string>

#include "applescript/script.h"
#include "platform/fake/fake_platform.h"
#include "platform/platform.h"

namespace {

using platform::AppleEventDescriptor;

const char* const kConnector =
    "with timeout of 10 seconds\n"
    "\ttell application id \"com.example.editor\"\n"
    "\t\tset theTitle to name of front document\n"
    "\t\tset theLink to URL of front document\n"
    "\tend tell\n"
    "end timeout\n"
    "return {theTitle, theLink}";

void BM_CompileAndRunConnector(benchmark::State& state) {
    platform::fake::FakePlatform fake;
    platform::ScopedInstall installed(fake.services());
    fake.appleEvents.responder = [](const AppleEventDescriptor& event,
                                    AppleEventDescriptor* reply) {
        *reply = platform::fake::FakeAppleEventManager::emptyReply(event);
        reply->setParamDescriptor(AppleEventDescriptor::descriptorWithString("Document"),
                                  platform::keyDirectObject);
        return platform::noErr;
    };
    for (auto _ : state) {
        fake.appleEvents.sent.clear();
        auto script = platform::applescript::makeScript(kConnector);
        platform::ScriptErrorInfo error;
        benchmark::DoNotOptimize(script->executeAndReturnError(&error));
    }
}
BENCHMARK(BM_CompileAndRunConnector);

void BM_HeaderLoop(benchmark::State& state) {
    platform::fake::FakePlatform fake;
    platform::ScopedInstall installed(fake.services());
    std::string headers;
    for (int i = 0; i < state.range(0); ++i) {
        headers += "X-Header-" + std::to_string(i) + ": some value\\r\\n";
    }
    const std::string source = "set theHeaders to \"" + headers +
                               "Message-ID: <id@host>\"\n"
                               "repeat with theLine in paragraphs of theHeaders\n"
                               "\tif theLine starts with \"Message-ID:\" then\n"
                               "\t\treturn text 13 thru -1 of theLine\n"
                               "\tend if\n"
                               "end repeat";
    auto script = platform::applescript::makeScript(source);
    for (auto _ : state) {
        platform::ScriptErrorInfo error;
        benchmark::DoNotOptimize(script->executeAndReturnError(&error));
    }
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_HeaderLoop)->Range(8, 512)->Complexity();

}  // namespace

BENCHMARK_MAIN();
