// Makes a script of arbitrary text and runs it with a small budget, against the
// fake platform: the parser and the evaluator answer a script error or a result, and neither
// crashes, loops past its budget, nor takes memory without bound.
#include <cstdint>
#include <string>

#include "applescript/script.h"
#include "platform/fake/fake_platform.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static platform::fake::FakePlatform* fake = new platform::fake::FakePlatform();
    static platform::ScopedInstall* installed = new platform::ScopedInstall(fake->services());
    (void)installed;
    fake->appleEvents.sent.clear();
    platform::applescript::Options options;
    options.maximumSteps = 20'000;
    options.maximumSeconds = 1;
    auto script = platform::applescript::makeScript(
        std::string(reinterpret_cast<const char*>(data), size), options);
    platform::ScriptErrorInfo error;
    if (script) {
        (void)script->executeAndReturnError(&error);
    }
    return 0;
}
