// The stand-in main application: sends the helper's custom events, waits for its autofill
// replies and watches its notifications, printing one line per fact.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "devtools/fact_lines.h"
#include "devtools/main_application_commands.h"
#include "helper/constants.h"
#include "platform/linux_platform.h"
#include "platform/platform.h"

namespace {

using devtools::MainApplicationCommand;
using devtools::MainApplicationOptions;
using platform::AppleEventDescriptor;

constexpr int kExitFailed = 1;
constexpr int kExitTimedOut = 2;
constexpr int kExitUsage = 64;

using devtools::emit;
using devtools::emitAll;

// Where a listening launch keeps its arguments, one file per variant, so that a later
// "launch-arguments" (or a test) can read what the helper launched it with.
std::string argumentsRecordPath(const std::string& bundleIdentifier) {
    std::string folder;
    if (const char* chosen = std::getenv("PENDRA_DEVTOOLS_RECORD_DIR"); chosen && *chosen) {
        folder = chosen;
    } else {
        folder = platform::paths().NSTemporaryDirectory() + "/pendra-devtools";
    }
    return folder + "/" + bundleIdentifier + ".arguments";
}

std::string ownBundleIdentifier() {
    auto bundle = platform::mainBundle();
    return bundle ? bundle->bundleIdentifier().value_or("") : "";
}

// Only one process of a variant owns its bus name, and that one gets the replies: a person who
// waits in a second copy is told why nothing may come.
void warnAboutOtherCopies() {
    const std::string identifier = ownBundleIdentifier();
    if (identifier.empty()) {
        std::cerr << "Running outside an application bundle: no bus name, so no replies reach "
                     "this process\n";
        return;
    }
    for (const auto& running :
         platform::workspace().runningApplicationsWithBundleIdentifier(identifier)) {
        if (running.processIdentifier != ::getpid()) {
            std::cerr << "Another copy of " << identifier << " runs (pid "
                      << running.processIdentifier
                      << "); when it listens, the replies go to it instead\n";
        }
    }
}

// Prints every autofill reply; stops the loop once `wanted` have come (0: never).
void receiveReplies(int wanted, int* received) {
    warnAboutOtherCopies();
    platform::appleEventManager().setEventHandler(
        pendra::kAutofillReplyEventClass, pendra::kAutofillReplyEventID,
        [wanted, received](const AppleEventDescriptor& event, AppleEventDescriptor&) {
            emitAll(devtools::autofillReplyLines(event));
            ++*received;
            if (wanted > 0 && *received >= wanted) {
                platform::application().stop();
            }
        });
}

bool watchNotifications(platform::linux_platform::LinuxPlatform& linux) {
    return linux.addDistributedNotificationObserver(
        [](const std::string& name, const std::optional<std::string>& object,
           const platform::NotificationUserInfo& userInfo) {
            if (devtools::isHelperNotification(name)) {
                emitAll(devtools::notificationLines(name, object, userInfo));
            }
        });
}

// Runs the loop until it is stopped or the time is up; answers whether it was stopped in time.
bool runFor(double seconds) {
    bool timedOut = false;
    platform::application().performAfterDelay(seconds, [&timedOut] {
        timedOut = true;
        platform::application().stop();
    });
    platform::application().run();
    return !timedOut;
}

int listen(const MainApplicationOptions& options, platform::linux_platform::LinuxPlatform& linux) {
    const std::string identifier = ownBundleIdentifier();
    emit("listening " + (identifier.empty() ? std::string("(no bundle)") : identifier) + " pid " +
         std::to_string(::getpid()));
    for (const auto& argument : options.launchArguments) {
        emit("argument " + devtools::quoted(argument));
    }
    emit("arguments end");
    if (!identifier.empty()) {
        const std::string record = argumentsRecordPath(identifier);
        std::error_code ignored;
        std::filesystem::create_directories(std::filesystem::path(record).parent_path(), ignored);
        std::ofstream out(record, std::ios::trunc);
        for (const auto& argument : options.launchArguments) {
            out << argument << '\n';
        }
        if (!out) {
            std::cerr << "Cannot record the launch arguments at " << record << '\n';
        }
    }
    int received = 0;
    receiveReplies(0, &received);
    if (!watchNotifications(linux)) {
        std::cerr << "No session bus: notifications cannot be watched\n";
    }
    runFor(options.listenSeconds);
    emit("listening end");
    return 0;
}

int launchArguments() {
    const std::string identifier = ownBundleIdentifier();
    if (identifier.empty()) {
        std::cerr << "Running outside an application bundle: no variant to look up\n";
        return kExitFailed;
    }
    std::ifstream in(argumentsRecordPath(identifier));
    if (!in) {
        emit("launch-arguments none");
        return kExitTimedOut;
    }
    std::string line;
    while (std::getline(in, line)) {
        emit("argument " + devtools::quoted(line));
    }
    emit("arguments end");
    return 0;
}

int sendCommand(const MainApplicationOptions& options) {
    auto event = devtools::eventForCommand(options);
    if (!event) {
        return kExitUsage;
    }
    int received = 0;
    if (options.waitForReply) {
        // Registered before sending, so that this process owns its bus name when the answer
        // comes.
        receiveReplies(options.replyCount, &received);
    }
    AppleEventDescriptor reply;
    const platform::OSStatus status = platform::appleEventManager().AESendMessage(
        *event, &reply, platform::kAEWaitReply, static_cast<long>(options.timeoutSeconds * 60));
    emitAll(devtools::answerLines(event->eventID(), status, reply));
    if (status == platform::procNotFound) {
        std::cerr << "No helper answers for " << options.helper << '\n';
        return kExitFailed;
    }
    // A successful update ends the helper before it can answer.
    if (status != platform::noErr && options.command != MainApplicationCommand::Update) {
        return kExitFailed;
    }
    if (!options.waitForReply) {
        return 0;
    }
    if (!runFor(options.timeoutSeconds)) {
        emit("timeout replies " + std::to_string(received) + " of " +
             std::to_string(options.replyCount));
        return kExitTimedOut;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string program =
        argc > 0 ? std::filesystem::path(argv[0]).filename().string() : std::string("PendraMac");
    const auto parsed =
        devtools::parseMainApplicationCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    if (!parsed.options) {
        std::cerr << program << ": " << parsed.error << " (see --help)\n";
        return kExitUsage;
    }
    const MainApplicationOptions& options = *parsed.options;
    if (options.command == MainApplicationCommand::Help) {
        std::cout << devtools::mainApplicationUsage(program);
        return 0;
    }

    platform::linux_platform::LinuxPlatform linux;
    platform::ScopedInstall installed(linux.services());

    switch (options.command) {
        case MainApplicationCommand::Listen:
            return listen(options, linux);
        case MainApplicationCommand::LaunchArguments:
            return launchArguments();
        case MainApplicationCommand::OpenURL: {
            auto url = platform::URL::URLWithString(*options.url);
            if (!url) {
                emit("open-failed " + devtools::quoted(*options.url) + " not a URL");
                return kExitFailed;
            }
            if (!platform::workspace().openURL(*url)) {
                emit("open-failed " + devtools::quoted(*options.url));
                return kExitFailed;
            }
            // The workspace delivers on the loop, in the order of the requests: the stop comes
            // once the URL has been handed over (or its application launched and given it).
            platform::application().performAfterDelay(options.lingerSeconds,
                                                      [] { platform::application().stop(); });
            if (!runFor(options.timeoutSeconds + options.lingerSeconds)) {
                emit("open-timeout " + devtools::quoted(*options.url));
                return kExitTimedOut;
            }
            emit("opened " + devtools::quoted(*options.url));
            return 0;
        }
        case MainApplicationCommand::WaitReply: {
            int received = 0;
            receiveReplies(options.replyCount, &received);
            if (!runFor(options.timeoutSeconds)) {
                emit("timeout replies " + std::to_string(received) + " of " +
                     std::to_string(options.replyCount));
                return kExitTimedOut;
            }
            return 0;
        }
        case MainApplicationCommand::Watch:
            if (!watchNotifications(linux)) {
                std::cerr << "No session bus: notifications cannot be watched\n";
                return kExitFailed;
            }
            emit("watching");
            runFor(options.timeoutSeconds);
            emit("watching end");
            return 0;
        default:
            return sendCommand(options);
    }
}
