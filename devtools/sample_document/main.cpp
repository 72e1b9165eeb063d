// The sample document application: stands for the application a person works in. It makes
// itself frontmost, holds one document, answers get-data events about it, answers URLs of its
// own scheme with a quick-entry URL to the helper, and can hand a selection to the helper's
// Services entry as the Services menu does.
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "devtools/fact_lines.h"
#include "devtools/sample_document.h"
#include "helper/constants.h"
#include "platform/linux_platform.h"
#include "platform/platform.h"
#include "platform/utf.h"

namespace {

using platform::AppleEventDescriptor;

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 64;

struct Options {
    bool services = false;
    bool help = false;
    // Running as the document application.
    std::optional<devtools::SampleDocument> document = devtools::SampleDocument{
        "Untitled.txt", platform::URL::fileURLWithPath("/tmp/Untitled.txt").absoluteString(),
        std::nullopt};
    std::vector<std::string> refusedSenders;
    double runSeconds = 60.0;
    bool activate = true;
    // The Services request.
    std::string provider = pendra::kHelperBundleIdentifier;
    std::string message = devtools::kQuickEntryServiceMessage;
    std::string selection;
    std::string userData;
    std::vector<std::string> types{platform::NSStringPboardType};
};

std::string usage(const std::string& program) {
    return "Usage: " + program + R"( [options]
       )" + program +
           R"( services [--selection TEXT | --selection-file PATH] [--types T1,T2,...]
                  [--message NAME] [--user-data TEXT] [--provider ID]

Without a command the application makes itself frontmost and keeps running for --run-seconds,
printing one line per fact:
  --name NAME             the front document's name (default Untitled.txt)
  --url URL               the front document's URL; a file URL also gives its path
  --window-name NAME      the front window's name (default: the document's name)
  --no-document           hold no document: every question about one fails with -1728
  --refuse-sender ID      answer every event from the application ID with -1743, as when a
                          person has not allowed it to script this one (repeatable)
  --no-activate           do not make itself frontmost
  --run-seconds SECONDS   how long to keep running (default 60)
It answers get-data events for the name, URL, path and file of its front document and the name
of its front window, and answers a URL of the scheme "pendrasample" by opening
"pendrahelper://quickentry?title=...&url=..." with its document's data.

services: hands a selection to a Services provider as the Services menu does, and exits.
  --selection TEXT        the selected text (given under every plain-text type listed)
  --selection-file PATH   the selected text read from a file (for texts too long for a command
                          line)
  --types T1,T2,...       the pasteboard's types in order (default NSStringPboardType)
  --message NAME          the message (default quickEntryWithAutofill)
  --user-data TEXT        the user data of the menu item (default empty)
  --provider ID           the provider's bundle identifier (default )" +
           std::string(pendra::kHelperBundleIdentifier) + R"()

Exit status: 0 on success, 1 when a request failed or was refused, 64 for a wrong command line.
)";
}

std::optional<Options> parse(const std::vector<std::string>& arguments, std::string* error) {
    Options options;
    std::size_t i = 0;
    if (!arguments.empty() && arguments[0] == "services") {
        options.services = true;
        i = 1;
    }
    for (; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        auto value = [&]() -> std::optional<std::string> {
            if (i + 1 >= arguments.size()) {
                *error = argument + " needs a value";
                return std::nullopt;
            }
            return arguments[++i];
        };
        if (argument == "--help" || argument == "-h") {
            options.help = true;
            return options;
        }
        const bool forServices = argument == "--selection" || argument == "--selection-file" ||
                                 argument == "--types" || argument == "--message" ||
                                 argument == "--user-data" || argument == "--provider";
        if (forServices != options.services && argument.rfind("--", 0) == 0 &&
            (forServices || argument != "--help")) {
            const bool known = forServices || argument == "--name" || argument == "--url" ||
                               argument == "--window-name" || argument == "--no-document" ||
                               argument == "--refuse-sender" || argument == "--no-activate" ||
                               argument == "--run-seconds";
            *error = known ? argument + (forServices ? " belongs to the services command"
                                                     : " does not belong to the services command")
                           : "unknown option " + argument;
            return std::nullopt;
        }
        std::optional<std::string> text;
        if (argument == "--name" || argument == "--url" || argument == "--window-name") {
            if (!(text = value())) {
                return std::nullopt;
            }
            if (!options.document) {
                *error = argument + " contradicts --no-document";
                return std::nullopt;
            }
            (argument == "--name"  ? options.document->name
             : argument == "--url" ? options.document->url
                                   : options.document->windowName.emplace()) = *text;
        } else if (argument == "--no-document") {
            options.document.reset();
        } else if (argument == "--refuse-sender") {
            if (!(text = value())) {
                return std::nullopt;
            }
            options.refusedSenders.push_back(*text);
        } else if (argument == "--no-activate") {
            options.activate = false;
        } else if (argument == "--run-seconds") {
            if (!(text = value())) {
                return std::nullopt;
            }
            double seconds = 0;
            auto [end, failure] =
                std::from_chars(text->data(), text->data() + text->size(), seconds);
            if (failure != std::errc() || end != text->data() + text->size() || !(seconds > 0) ||
                seconds > 24 * 3600) {
                *error = "--run-seconds needs a number of seconds above 0";
                return std::nullopt;
            }
            options.runSeconds = seconds;
        } else if (argument == "--selection" || argument == "--selection-file" ||
                   argument == "--message" || argument == "--user-data" ||
                   argument == "--provider" || argument == "--types") {
            if (!(text = value())) {
                return std::nullopt;
            }
            if (argument == "--selection") {
                options.selection = *text;
            } else if (argument == "--selection-file") {
                std::ifstream file(*text, std::ios::binary);
                std::ostringstream contents;
                if (!(contents << file.rdbuf())) {
                    *error = "cannot read the selection from " + *text;
                    return std::nullopt;
                }
                options.selection = std::move(contents).str();
            } else if (argument == "--message") {
                options.message = *text;
            } else if (argument == "--user-data") {
                options.userData = *text;
            } else if (argument == "--provider") {
                options.provider = *text;
            } else {
                options.types = platform::utf::splitList(*text, ',');
            }
        } else {
            *error = "unexpected argument " + argument;
            return std::nullopt;
        }
    }
    return options;
}

using devtools::emit;

// The bundle identifier of the application that sent an event, when a running application sent it.
std::optional<std::string> senderOf(const AppleEventDescriptor& event) {
    auto address = event.attributeDescriptorForKeyword(platform::keyAddressAttr);
    auto psn = address ? address->processSerialNumberValue() : std::nullopt;
    platform::pid_t pid = 0;
    if (!psn || platform::processManager().GetProcessPID(*psn, &pid) != platform::noErr) {
        return std::nullopt;
    }
    auto running = platform::workspace().runningApplicationWithProcessIdentifier(pid);
    return running ? running->bundleIdentifier : std::nullopt;
}

std::string eventName(const AppleEventDescriptor& event) {
    return platform::fourCharCodeString(event.eventClass()) + "/" +
           platform::fourCharCodeString(event.eventID());
}

// Answers -1743 for a refused sender; true when the event was refused.
bool refused(const Options& options, const AppleEventDescriptor& event,
             AppleEventDescriptor& reply) {
    const auto sender = senderOf(event);
    if (!sender || std::find(options.refusedSenders.begin(), options.refusedSenders.end(),
                             *sender) == options.refusedSenders.end()) {
        return false;
    }
    reply.setParamDescriptor(
        AppleEventDescriptor::descriptorWithInt32(platform::errAEEventNotPermitted),
        platform::keyErrorNumber);
    emit("refused " + eventName(event) + " from " + *sender + " errn " +
         std::to_string(platform::errAEEventNotPermitted));
    return true;
}

int runDocument(const Options& options) {
    auto& events = platform::appleEventManager();
    events.setEventHandler(
        platform::kAECoreSuite, platform::kAEGetData,
        [&options](const AppleEventDescriptor& event, AppleEventDescriptor& reply) {
            if (refused(options, event, reply)) {
                return;
            }
            const std::string from = senderOf(event).value_or("an unknown process");
            const auto answer = devtools::answerGetData(event, options.document);
            answer.fill(reply);
            if (answer.value) {
                emit(devtools::descriptorLine("get-data from " + from + " answer", *answer.value));
            } else {
                emit("get-data from " + from + " errn " + std::to_string(answer.error));
            }
        });
    events.setEventHandler(
        platform::kInternetEventClass, platform::kAEGetURL,
        [&options](const AppleEventDescriptor& event, AppleEventDescriptor& reply) {
            if (refused(options, event, reply)) {
                return;
            }
            const auto direct = event.paramDescriptorForKeyword(platform::keyDirectObject);
            const std::string text = direct ? direct->stringValue().value_or("") : "";
            emit("url-received " + devtools::quoted(text));
            if (!devtools::isOwnSchemeURL(text)) {
                emit("url-ignored " + devtools::quoted(text));
                return;
            }
            if (!options.document) {
                emit("url-unanswered no document");
                return;
            }
            const std::string answer = devtools::quickEntryURL(*options.document);
            auto url = platform::URL::URLWithString(answer);
            if (!url || !platform::workspace().openURL(*url)) {
                emit("open-failed " + devtools::quoted(answer));
                return;
            }
            emit("opened " + devtools::quoted(answer));
        });

    auto& application = platform::application();
    emit("running " + std::string(devtools::kSampleDocumentBundleIdentifier) + " pid " +
         std::to_string(::getpid()));
    if (options.document) {
        emit("document name " + devtools::quoted(options.document->name) + " url " +
             devtools::quoted(options.document->url) + " window " +
             devtools::quoted(options.document->frontWindowName()));
    } else {
        emit("document none");
    }
    for (const auto& sender : options.refusedSenders) {
        emit("refusing " + sender);
    }
    if (options.activate) {
        application.activateIgnoringOtherApps(true);
        emit("frontmost " + std::to_string(::getpid()));
    }
    application.performAfterDelay(options.runSeconds, [&application] { application.stop(); });
    application.run();
    emit("running end");
    return 0;
}

int requestService(const Options& options, platform::linux_platform::LinuxPlatform& linux) {
    const platform::Pasteboard pasteboard =
        devtools::servicesPasteboard(options.selection, options.types);
    std::string error;
    const platform::OSStatus status = linux.sendServicesRequest(
        options.provider, options.message, options.userData, pasteboard, &error);
    emit("services " + options.message + " status " + std::to_string(status));
    if (!error.empty()) {
        emit("services-error " + devtools::quoted(error));
    }
    return status == platform::noErr ? 0 : kExitFailed;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string program = argc > 0 ? std::filesystem::path(argv[0]).filename().string()
                                         : std::string("SampleDocument");
    std::string error;
    const auto options = parse(std::vector<std::string>(argv + 1, argv + argc), &error);
    if (!options) {
        std::cerr << program << ": " << error << " (see --help)\n";
        return kExitUsage;
    }
    if (options->help) {
        std::cout << usage(program);
        return 0;
    }
    platform::linux_platform::LinuxPlatform linux;
    platform::ScopedInstall installed(linux.services());
    return options->services ? requestService(*options, linux) : runDocument(*options);
}
