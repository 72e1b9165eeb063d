#include "linux_scripting.h"

namespace platform::linux_platform {
namespace {

constexpr const char* kScriptingUnavailable = "Scripting is not available on this system.";

class UnavailableScript final : public AppleScript {
  public:
    explicit UnavailableScript(std::string source) : source_(std::move(source)) {}
    const std::string& source() const override { return source_; }
    std::optional<AppleEventDescriptor> executeAndReturnError(ScriptErrorInfo* errorInfo) override {
        fill(errorInfo);
        return std::nullopt;
    }
    std::optional<AppleEventDescriptor> executeAppleEvent(const AppleEventDescriptor& /*event*/,
                                                          ScriptErrorInfo* errorInfo) override {
        fill(errorInfo);
        return std::nullopt;
    }

  private:
    static void fill(ScriptErrorInfo* errorInfo) {
        if (errorInfo == nullptr) {
            return;
        }
        (*errorInfo)[NSAppleScriptErrorNumber] = PropertyList(std::int64_t{errOSASystemError});
        (*errorInfo)[NSAppleScriptErrorMessage] = PropertyList(kScriptingUnavailable);
        (*errorInfo)[NSAppleScriptErrorBriefMessage] = PropertyList(kScriptingUnavailable);
    }
    std::string source_;
};

}  // namespace

std::unique_ptr<AppleScript> LinuxScriptingComponent::makeAppleScriptWithSource(
    const std::string& source) {
    return std::make_unique<UnavailableScript>(source);
}

}  // namespace platform::linux_platform
