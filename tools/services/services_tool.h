// The command a person binds to a key: it takes the text selected on the desktop and hands it
// to the helper's Services entry as the Services menu does, so that the helper answers the
// main application with the selection and what the application in front shows. What the
// desktop is (X11, Wayland) stays behind `Desktop`, which the program's main() supplies.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "platform/four_char_code.h"
#include "platform/pasteboard.h"

namespace services_tool {

inline constexpr const char* kQuickEntryServiceMessage = "quickEntryWithAutofill";
inline constexpr const char* kPlainTextType = "public.utf8-plain-text";
// A selection larger than this is not sent: its answer could not travel as one event.
inline constexpr std::size_t kSelectionLimit = 16 * 1024 * 1024;

inline constexpr int kExitSent = 0;
inline constexpr int kExitNotSent = 1;      // the helper did not run, or refused
inline constexpr int kExitNoSelection = 2;  // the selection could not be read
inline constexpr int kExitUsage = 64;

enum class Selection { primary, clipboard };

struct SelectionText {
    enum class Outcome { text, none, noAnswer, tooLarge, unavailable };
    Outcome outcome = Outcome::unavailable;
    std::string text;
    std::string detail;  // where it was read, or why nothing came
};

class Desktop {
  public:
    virtual ~Desktop() = default;
    virtual SelectionText readSelection(Selection which, std::chrono::milliseconds timeout,
                                        std::size_t limit) = 0;
    // As the Services menu sends it: noErr, procNotFound when the provider does not run, or
    // another status with *error set.
    virtual platform::OSStatus sendServicesRequest(const std::string& provider,
                                                   const std::string& message,
                                                   const platform::Pasteboard& pasteboard,
                                                   std::string* error) = 0;
};

struct Options {
    std::vector<Selection> selections{Selection::primary, Selection::clipboard};
    std::chrono::milliseconds timeout{2000};
    std::string provider;
    bool help = false;
};

std::optional<Options> parseArguments(const std::vector<std::string>& arguments,
                                      std::string* error);
std::string usage(const std::string& program);

// The text the bus can carry: ill-formed UTF-8 becomes U+FFFD, null characters go; each change
// is counted in *replaced.
std::string transportableText(const std::string& text, std::size_t* replaced);

// The pasteboard of a plain-text selection, or an empty one without a selection.
platform::Pasteboard pasteboardForSelection(const std::optional<std::string>& text);

// Reads the first selection that holds text, in the order of the options, and sends it. An
// owner that does not answer, or a text too large, ends the command without sending: sending
// another selection instead would not be what the person chose. Nothing selected anywhere
// still sends the request, so that the key gives the application's context alone. Every
// outcome but success is one console line.
int run(const Options& options, Desktop& desktop);

// The whole command: arguments, usage on --help, then run().
int servicesToolMain(const std::vector<std::string>& arguments, const std::string& program,
                     Desktop& desktop);

}  // namespace services_tool
