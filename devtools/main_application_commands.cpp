#include "devtools/main_application_commands.h"

#include <charconv>
#include <fstream>
#include <map>
#include <sstream>

#include "devtools/fact_lines.h"
#include "helper/constants.h"

namespace devtools {

using platform::AppleEventDescriptor;

namespace {

const std::map<std::string, MainApplicationCommand>& commandWords() {
    static const std::map<std::string, MainApplicationCommand> words{
        {"version", MainApplicationCommand::Version},
        {"update", MainApplicationCommand::Update},
        {"invoke", MainApplicationCommand::Invoke},
        {"disable", MainApplicationCommand::Disable},
        {"wait-reply", MainApplicationCommand::WaitReply},
        {"watch", MainApplicationCommand::Watch},
        {"launch-arguments", MainApplicationCommand::LaunchArguments},
        {"open-url", MainApplicationCommand::OpenURL},
        {"help", MainApplicationCommand::Help},
    };
    return words;
}

std::optional<double> seconds(const std::string& text) {
    double value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || !(value > 0) ||
        value > 24 * 3600) {
        return std::nullopt;
    }
    return value;
}

std::optional<int> count(const std::string& text) {
    int value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < 1 || value > 1000) {
        return std::nullopt;
    }
    return value;
}

MainApplicationParse refuse(std::string why) {
    return {std::nullopt, std::move(why)};
}

}  // namespace

MainApplicationParse parseMainApplicationCommandLine(const std::vector<std::string>& arguments) {
    MainApplicationOptions options;
    options.helper = pendra::kHelperBundleIdentifier;
    std::size_t commandAt = arguments.size();
    for (const auto& argument : arguments) {
        if (argument == "--help" || argument == "-h") {
            options.command = MainApplicationCommand::Help;
            return {options, {}};
        }
    }
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        if (commandWords().count(arguments[i])) {
            commandAt = i;
            break;
        }
    }
    const bool listening = commandAt == arguments.size();
    if (!listening) {
        options.command = commandWords().at(arguments[commandAt]);
    }

    std::vector<std::string> positional;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        if (i == commandAt) {
            continue;
        }
        const std::string& argument = arguments[i];
        auto value = [&](std::string* out) {
            if (i + 1 >= arguments.size() || i + 1 == commandAt) {
                return false;
            }
            *out = arguments[++i];
            return true;
        };
        std::string text;
        if (argument == "--helper") {
            if (!value(&options.helper) || options.helper.empty()) {
                return refuse("--helper needs a bundle identifier");
            }
        } else if (argument == "--timeout" || argument == "--listen-seconds") {
            if (!value(&text) || !seconds(text)) {
                return refuse(argument + " needs a number of seconds above 0");
            }
            (argument == "--timeout" ? options.timeoutSeconds : options.listenSeconds) =
                *seconds(text);
        } else if (listening) {
            options.launchArguments.push_back(argument);
        } else if (argument == "--reply-to" || argument == "--note" || argument == "--note-file" ||
                   argument == "--title" || argument == "--tags") {
            if (options.command != MainApplicationCommand::Invoke) {
                return refuse(argument + " belongs to the invoke command");
            }
            if (!value(&text)) {
                return refuse(argument + " needs a value");
            }
            if (argument == "--reply-to") {
                options.replyRecipient = text;
            } else if (argument == "--note") {
                options.note = text;
            } else if (argument == "--note-file") {
                std::ifstream file(text, std::ios::binary);
                std::ostringstream contents;
                if (!(contents << file.rdbuf())) {
                    return refuse("cannot read the note from " + text);
                }
                options.note = std::move(contents).str();
            } else if (argument == "--title") {
                options.title = text;
            } else {
                options.tags = text;
            }
        } else if (argument == "--wait") {
            if (options.command != MainApplicationCommand::Invoke) {
                return refuse("--wait belongs to the invoke command");
            }
            options.waitForReply = true;
        } else if (argument == "--linger") {
            if (options.command != MainApplicationCommand::OpenURL) {
                return refuse("--linger belongs to the open-url command");
            }
            if (!value(&text) || !seconds(text)) {
                return refuse("--linger needs a number of seconds above 0");
            }
            options.lingerSeconds = *seconds(text);
        } else if (argument == "--count") {
            if (!value(&text) || !count(text)) {
                return refuse("--count needs a whole number from 1 to 1000");
            }
            options.replyCount = *count(text);
        } else if (argument.rfind("-", 0) == 0) {
            return refuse("unknown option " + argument);
        } else {
            positional.push_back(argument);
        }
    }

    if (options.command == MainApplicationCommand::Update) {
        if (positional.size() != 1) {
            return refuse("update needs exactly one bundle path");
        }
        options.bundlePath = positional[0];
    } else if (options.command == MainApplicationCommand::OpenURL) {
        if (positional.size() != 1) {
            return refuse("open-url needs exactly one URL");
        }
        options.url = positional[0];
    } else if (!positional.empty()) {
        return refuse("unexpected argument " + positional[0]);
    }
    return {options, {}};
}

std::string mainApplicationUsage(const std::string& programName) {
    return "Usage: " + programName + R"( [command] [options]

Plays the main application towards the helper on the session bus. Output: one line per fact.

Commands:
  version                 send getVersion ('pdvn') and print 'pdmj' and 'pdmi'
  update BUNDLE-PATH      send update ('pdup') with the path of a newer helper bundle
  invoke [--reply-to ID] [--note TEXT | --note-file PATH] [--title TEXT] [--tags TEXT]
         [--wait]         send invoke ('pdiv'); --reply-to adds 'pdrr' (the application to
                          answer), --note/--title/--tags add a 'pdap' record of 'note', 'pnam'
                          and 'tnam' (--note-file reads the note from a file, for notes too
                          long for a command line); --wait then waits for the answer as
                          wait-reply does
  disable                 send disable ('pdds')
  wait-reply [--count N]  wait for N autofill replies ('PNDR'/'sqep', default 1) and print the
                          entries of each 'qepp' record with their descriptor types
  watch                   print the helper's distributed notifications with their user info
                          until the timeout
  launch-arguments        print the arguments of this variant's last listening launch
  open-url URL [--linger SECONDS]
                          open a URL through the workspace, as a click on a link does (for
                          one, "pendrasample://open" asks the sample document application
                          for its quick-entry URL); an application that must be launched first
                          gets the URL once it is on the bus, so --linger keeps this program
                          running that long for it
  help, --help            this text

Without a command the application records its launch arguments (the helper launches it with
--pendra-sandbox-helper-installed after installing itself), prints them, then prints every
autofill reply and helper notification until --listen-seconds have passed.

Options:
  --helper ID             bundle identifier of the helper (default )" +
           std::string(pendra::kHelperBundleIdentifier) + R"()
  --timeout SECONDS       bound of every wait (default 10)
  --listen-seconds SECONDS  how long to listen without a command (default 60)

Every command exits with 0 on success, 1 when the helper could not be reached or refused,
2 when a wait ended without what it waited for, 64 for a wrong command line.
)";
}

AppleEventDescriptor helperEvent(platform::AEEventID eventID,
                                 const std::string& helperBundleIdentifier) {
    return AppleEventDescriptor::appleEventWithEventClass(
        pendra::kPendraHelperEventClass, eventID,
        AppleEventDescriptor::descriptorWithApplicationBundleIdentifier(helperBundleIdentifier),
        platform::kAutoGenerateReturnID, platform::kAnyTransactionID);
}

std::optional<AppleEventDescriptor> eventForCommand(const MainApplicationOptions& options) {
    switch (options.command) {
        case MainApplicationCommand::Version:
            return helperEvent(pendra::kGetVersionEventID, options.helper);
        case MainApplicationCommand::Disable:
            return helperEvent(pendra::kDisableEventID, options.helper);
        case MainApplicationCommand::Update: {
            auto event = helperEvent(pendra::kUpdateEventID, options.helper);
            event.setParamDescriptor(
                AppleEventDescriptor::descriptorWithString(options.bundlePath.value_or("")),
                platform::keyDirectObject);
            return event;
        }
        case MainApplicationCommand::Invoke: {
            auto event =
                helperEvent(pendra::kInvokeQuickEntryAutofillServiceItemEventID, options.helper);
            if (options.replyRecipient) {
                event.setParamDescriptor(
                    AppleEventDescriptor::descriptorWithString(*options.replyRecipient),
                    pendra::kReplyRecipientKeyword);
            }
            if (options.note || options.title || options.tags) {
                auto record = AppleEventDescriptor::recordDescriptor();
                if (options.note) {
                    record.setDescriptor(AppleEventDescriptor::descriptorWithString(*options.note),
                                         pendra::kNoteKeyword);
                }
                if (options.title) {
                    record.setDescriptor(AppleEventDescriptor::descriptorWithString(*options.title),
                                         pendra::kTitleKeyword);
                }
                if (options.tags) {
                    record.setDescriptor(AppleEventDescriptor::descriptorWithString(*options.tags),
                                         pendra::kTagNamesKeyword);
                }
                event.setParamDescriptor(record, pendra::kAdditionalPropertiesKeyword);
            }
            return event;
        }
        default:
            return std::nullopt;
    }
}

std::vector<std::string> answerLines(platform::AEEventID eventID, platform::OSStatus status,
                                     const AppleEventDescriptor& reply) {
    std::vector<std::string> lines{"answer " + platform::fourCharCodeString(eventID) + " status " +
                                   std::to_string(status)};
    if (status != platform::noErr) {
        return lines;
    }
    if (auto error = reply.paramDescriptorForKeyword(platform::keyErrorNumber)) {
        lines.push_back(descriptorLine("errn", *error));
    }
    if (eventID == pendra::kGetVersionEventID) {
        for (auto keyword : {pendra::kMajorVersionKeyword, pendra::kMinorVersionKeyword}) {
            const std::string name = platform::fourCharCodeString(keyword);
            if (auto value = reply.paramDescriptorForKeyword(keyword)) {
                lines.push_back(descriptorLine(name, *value));
            } else {
                lines.push_back(name + " absent");
            }
        }
    }
    return lines;
}

}  // namespace devtools
