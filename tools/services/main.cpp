// The Services command's desktop: the selection as the Linux layer reads it, and the request
// over the session bus.
#include <filesystem>

#include "platform/linux_platform.h"
#include "tools/services/services_tool.h"

namespace {

namespace linux_platform = platform::linux_platform;

class LinuxDesktop : public services_tool::Desktop {
  public:
    explicit LinuxDesktop(linux_platform::LinuxPlatform& platform) : platform_(platform) {}

    services_tool::SelectionText readSelection(services_tool::Selection which,
                                               std::chrono::milliseconds timeout,
                                               std::size_t limit) override {
        using Outcome = linux_platform::SelectionReading::Outcome;
        using Read = services_tool::SelectionText::Outcome;
        linux_platform::SelectionReading reading = linux_platform::readDesktopSelection(
            which == services_tool::Selection::primary ? linux_platform::SelectionKind::primary
                                                       : linux_platform::SelectionKind::clipboard,
            timeout, limit);
        Read outcome = Read::unavailable;
        switch (reading.outcome) {
            case Outcome::text:
                outcome = Read::text;
                break;
            case Outcome::none:
                outcome = Read::none;
                break;
            case Outcome::noAnswer:
                outcome = Read::noAnswer;
                break;
            case Outcome::tooLarge:
                outcome = Read::tooLarge;
                break;
            case Outcome::unavailable:
                outcome = Read::unavailable;
                break;
        }
        return {outcome, std::move(reading.text), std::move(reading.detail)};
    }

    platform::OSStatus sendServicesRequest(const std::string& provider, const std::string& message,
                                           const platform::Pasteboard& pasteboard,
                                           std::string* error) override {
        return platform_.sendServicesRequest(provider, message, "", pasteboard, error);
    }

  private:
    linux_platform::LinuxPlatform& platform_;
};

}  // namespace

int main(int argc, char** argv) {
    platform::linux_platform::LinuxPlatform linuxPlatform;
    platform::ScopedInstall installed(linuxPlatform.services());
    LinuxDesktop desktop(linuxPlatform);
    const std::string program = argc > 0 && argv[0] != nullptr
                                    ? std::filesystem::path(argv[0]).filename().string()
                                    : std::string("PendraSandboxHelperServicesTool");
    return services_tool::servicesToolMain(std::vector<std::string>(argv + 1, argv + argc), program,
                                           desktop);
}
