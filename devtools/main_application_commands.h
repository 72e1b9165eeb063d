// The command line of the stand-in main application, and the custom events it sends to the
// helper from it.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/apple_event_descriptor.h"

namespace devtools {

enum class MainApplicationCommand {
    Listen,           // no command: record the launch arguments, then print what arrives
    Version,          // 'pdvn'
    Update,           // 'pdup' with a bundle path
    Invoke,           // 'pdiv', optionally with 'pdrr' and a 'pdap' record
    Disable,          // 'pdds'
    WaitReply,        // wait for autofill replies
    Watch,            // print the helper's distributed notifications
    LaunchArguments,  // print the arguments of the last listening launch
    OpenURL,          // open a URL through the workspace, as a click on a link does
    Help,
};

struct MainApplicationOptions {
    MainApplicationCommand command = MainApplicationCommand::Listen;
    std::string helper;            // bundle identifier the events go to
    double timeoutSeconds = 10.0;  // every wait is bounded by this
    std::optional<std::string> bundlePath;
    std::optional<std::string> url;  // OpenURL
    double lingerSeconds = 0;  // OpenURL: how long to keep the loop running after handing over
    std::optional<std::string> replyRecipient;  // 'pdrr'
    // 'pdap' entries; the record is sent when any of them is given.
    std::optional<std::string> note;
    std::optional<std::string> title;
    std::optional<std::string> tags;
    bool waitForReply = false;  // invoke: also wait for the answer
    int replyCount = 1;         // replies to wait for
    // Listen: how long to keep running, and the arguments that are not options of ours.
    double listenSeconds = 60.0;
    std::vector<std::string> launchArguments;
};

struct MainApplicationParse {
    std::optional<MainApplicationOptions> options;
    std::string error;  // why the command line was refused, when options is absent
};

// Arguments without the program name. Without a command word the program listens, and every
// argument that is not one of the listening options is kept as a launch argument (the helper
// launches the application with its own flag). With a command word the options are strict.
MainApplicationParse parseMainApplicationCommandLine(const std::vector<std::string>& arguments);

std::string mainApplicationUsage(const std::string& programName);

// A helper event of class 'pdqe' addressed to the bundle identifier.
platform::AppleEventDescriptor helperEvent(platform::AEEventID eventID,
                                           const std::string& helperBundleIdentifier);
// The event a command sends (Version, Update, Invoke or Disable).
std::optional<platform::AppleEventDescriptor> eventForCommand(
    const MainApplicationOptions& options);

// The lines that report the helper's answer to an event: "answer <id> status <n>", then, for
// getVersion, "pdmj 'long' <major>" and "pdmi 'long' <minor>" (or "pdmj absent").
std::vector<std::string> answerLines(platform::AEEventID eventID, platform::OSStatus status,
                                     const platform::AppleEventDescriptor& reply);

}  // namespace devtools
