#include "tools/services/services_tool.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <iostream>

#include "helper/constants.h"
#include "platform/log.h"
#include "platform/platform.h"
#include "platform/utf.h"

namespace services_tool {
namespace {

using Outcome = SelectionText::Outcome;

const char* nameOf(Selection selection) {
    return selection == Selection::primary ? "primary" : "clipboard";
}

std::optional<Selection> selectionNamed(const std::string& name) {
    if (name == "primary") {
        return Selection::primary;
    }
    if (name == "clipboard") {
        return Selection::clipboard;
    }
    return std::nullopt;
}

std::string joined(const std::vector<std::string>& reasons) {
    std::string text;
    for (const auto& reason : reasons) {
        text += (text.empty() ? "" : "; ") + reason;
    }
    return text;
}

}  // namespace

std::string usage(const std::string& program) {
    return "Usage: " + program + R"( [--selection primary|clipboard]... [--timeout SECONDS]
       [--provider ID]

Hands the text selected on the desktop to the helper's Quick Entry with Autofill service, as
the Services menu does: the helper answers the main application with the selection and the
title and link of the application in front. Bind it to a key in the desktop's keyboard settings.

  --selection NAME     where to look, in order (repeatable; default: primary, then clipboard):
                       "primary" is the text last selected, "clipboard" the text last copied
  --timeout SECONDS    how long the owner of a selection may take to answer (default 2)
  --provider ID        the Services provider (default )" +
           std::string(pendra::kHelperBundleIdentifier) + R"()

Exit status: 0 when the helper took the request; 1 when the helper does not run or refused it;
2 when the selection could not be read (its owner did not answer, it is too large, or there is
no desktop); 64 for a wrong command line.
)";
}

std::optional<Options> parseArguments(const std::vector<std::string>& arguments,
                                      std::string* error) {
    Options options;
    options.provider = pendra::kHelperBundleIdentifier;
    bool selectionsGiven = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--help" || argument == "-h") {
            options.help = true;
            return options;
        }
        if (argument != "--selection" && argument != "--timeout" && argument != "--provider") {
            *error = "unknown argument " + argument;
            return std::nullopt;
        }
        if (i + 1 >= arguments.size()) {
            *error = argument + " needs a value";
            return std::nullopt;
        }
        const std::string& value = arguments[++i];
        if (argument == "--selection") {
            const auto selection = selectionNamed(value);
            if (!selection) {
                *error = "--selection takes primary or clipboard, not " + value;
                return std::nullopt;
            }
            if (!selectionsGiven) {
                options.selections.clear();
                selectionsGiven = true;
            }
            options.selections.push_back(*selection);
        } else if (argument == "--timeout") {
            double seconds = 0;
            const auto [end, status] =
                std::from_chars(value.data(), value.data() + value.size(), seconds);
            if (status != std::errc() || end != value.data() + value.size() ||
                !std::isfinite(seconds) || seconds <= 0 || seconds > 60) {
                *error = "--timeout takes seconds above 0 and at most 60, not " + value;
                return std::nullopt;
            }
            options.timeout = std::chrono::milliseconds(std::lround(seconds * 1000));
        } else if (value.empty()) {
            *error = "--provider needs a bundle identifier";
            return std::nullopt;
        } else {
            options.provider = value;
        }
    }
    return options;
}

std::string transportableText(const std::string& text, std::size_t* replaced) {
    std::string withoutNulls;
    withoutNulls.reserve(text.size());
    std::size_t nulls = 0;
    for (const char c : text) {
        if (c == '\0') {
            ++nulls;
        } else {
            withoutNulls += c;
        }
    }
    std::string sanitized = platform::utf::sanitizedUtf8(withoutNulls);
    std::size_t changed = nulls;
    if (sanitized != withoutNulls) {
        // Each replacement character stands for one ill-formed sequence.
        const std::string replacement = "\xEF\xBF\xBD";
        std::size_t before = 0;
        std::size_t after = 0;
        for (auto at = withoutNulls.find(replacement); at != std::string::npos;
             at = withoutNulls.find(replacement, at + replacement.size())) {
            ++before;
        }
        for (auto at = sanitized.find(replacement); at != std::string::npos;
             at = sanitized.find(replacement, at + replacement.size())) {
            ++after;
        }
        changed += after - before;
    }
    if (replaced != nullptr) {
        *replaced = changed;
    }
    return sanitized;
}

platform::Pasteboard pasteboardForSelection(const std::optional<std::string>& text) {
    platform::Pasteboard pasteboard;
    if (text) {
        pasteboard.types = {kPlainTextType, platform::NSStringPboardType};
        pasteboard.strings[kPlainTextType] = *text;
        pasteboard.strings[platform::NSStringPboardType] = *text;
    }
    return pasteboard;
}

int run(const Options& options, Desktop& desktop) {
    std::optional<std::string> chosen;
    std::string from;
    std::vector<std::string> unavailable;
    std::vector<std::string> empty;
    bool nothingSelected = false;
    for (const Selection selection : options.selections) {
        SelectionText read = desktop.readSelection(selection, options.timeout, kSelectionLimit);
        switch (read.outcome) {
            case Outcome::text:
                if (!read.text.empty()) {
                    chosen = std::move(read.text);
                    from = read.detail;
                }
                if (!chosen) {
                    nothingSelected = true;
                    empty.push_back(read.detail + " is empty");
                }
                break;
            case Outcome::none:
                nothingSelected = true;
                empty.push_back(read.detail);
                break;
            case Outcome::noAnswer:
                platform::NSLog(
                    "Not sending the %@ selection: %@. Nothing was sent; try again once the "
                    "application that holds it answers",
                    {nameOf(selection), read.detail});
                return kExitNoSelection;
            case Outcome::tooLarge:
                platform::NSLog(
                    "Not sending the %@ selection: %@, more than a quick entry takes. "
                    "Nothing was sent",
                    {nameOf(selection), read.detail});
                return kExitNoSelection;
            case Outcome::unavailable:
                // Both selections usually lack the same desktop; it is said once.
                if (std::find(unavailable.begin(), unavailable.end(), read.detail) ==
                    unavailable.end()) {
                    unavailable.push_back(read.detail);
                }
                break;
        }
        if (chosen) {
            break;
        }
    }
    if (!chosen && !nothingSelected) {
        platform::NSLog("Cannot read a selection: %@. Nothing was sent", {joined(unavailable)});
        return kExitNoSelection;
    }
    if (chosen) {
        std::size_t replaced = 0;
        chosen = transportableText(*chosen, &replaced);
        if (replaced > 0) {
            platform::NSLog(
                "The selection from %@ held %d characters that are no text (null "
                "characters or ill-formed UTF-8); they go as U+FFFD or not at all",
                {from, static_cast<long long>(replaced)});
        }
    } else {
        platform::NSLog("Nothing is selected (%@); asking for a quick entry with the context alone",
                        {joined(empty)});
    }

    std::string error;
    const platform::OSStatus status = desktop.sendServicesRequest(
        options.provider, kQuickEntryServiceMessage, pasteboardForSelection(chosen), &error);
    if (status == platform::noErr) {
        return kExitSent;
    }
    if (status == platform::procNotFound) {
        platform::NSLog(
            "The helper (%@) does not run in this session, so nothing was sent; it "
            "starts at login, or start it from its bundle",
            {options.provider});
    } else {
        platform::NSLog("The helper (%@) refused the selection: %@ (status %d)",
                        {options.provider, error.empty() ? std::string("no reason given") : error,
                         static_cast<int>(status)});
    }
    return kExitNotSent;
}

int servicesToolMain(const std::vector<std::string>& arguments, const std::string& program,
                     Desktop& desktop) {
    std::string error;
    const auto options = parseArguments(arguments, &error);
    if (!options) {
        platform::NSLog("%@ (see %@ --help)", {error, program});
        return kExitUsage;
    }
    if (options->help) {
        std::cout << usage(program);
        return kExitSent;
    }
    return run(*options, desktop);
}

}  // namespace services_tool
