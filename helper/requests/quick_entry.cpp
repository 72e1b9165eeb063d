// The two ways a quick entry with autofill starts: the main application's invoke event and the
// helper's entry in the Services menu.
#include <array>
#include <string>
#include <string_view>

#include "helper/application_environment.h"
#include "helper/context/application_connector.h"
#include "helper/pendra_sandbox_helper.h"
#include "helper/requests/quick_entry_with_autofill_call.h"
#include "platform/pasteboard.h"
#include "platform/platform.h"
#include "platform/utf.h"

namespace pendra {

namespace {

constexpr const char* kMailBundleIdentifier = "com.apple.mail";

// Mail puts its own representations of a message on the pasteboard besides the text; with
// more than this many types the selection is a whole message, not something the user picked.
constexpr std::size_t kMailPasteboardTypeLimit = 2;

// The platform's newline characters in UTF-8: U+000A to U+000D, U+0085, U+2028 and U+2029.
constexpr std::array<std::string_view, 7> kNewlines = {
    "\n", "\v", "\f", "\r", "\xC2\x85", "\xE2\x80\xA8", "\xE2\x80\xA9",
};

std::string_view trimmingNewlines(std::string_view text) {
    bool trimmed = true;
    while (trimmed && !text.empty()) {
        trimmed = false;
        for (const std::string_view newline : kNewlines) {
            if (text.starts_with(newline)) {
                text.remove_prefix(newline.size());
                trimmed = true;
                break;
            }
        }
    }
    trimmed = true;
    while (trimmed && !text.empty()) {
        trimmed = false;
        for (const std::string_view newline : kNewlines) {
            if (text.ends_with(newline)) {
                text.remove_suffix(newline.size());
                trimmed = true;
                break;
            }
        }
    }
    return text;
}

}  // namespace

void PendraSandboxHelper::invokeQuickEntryWithAutofillWithPropertiesDescriptor(
    const std::optional<platform::AppleEventDescriptor>& propertiesDescriptor,
    const std::optional<std::string>& replyingToAppWithBundleIdentifier) {
    ApplicationConnector& connector = applicationConnector();
    if (!connector.updateCurrentApplicationContext()) {
        return;
    }
    platform::os_log_debug(log(), "Responding to caller app with identifier %{public}@",
                           {replyingToAppWithBundleIdentifier});
    auto call = PendraSandboxHelperQuickEntryWithAutofillCall::callWithCallerAppBundleIdentifier(
        replyingToAppWithBundleIdentifier, propertiesDescriptor);
    call.respondWithTitle(connector.currentApplicationContextTitle(),
                          connector.currentApplicationContextLink());
}

void PendraSandboxHelper::quickEntryWithAutofill(const platform::Pasteboard& pasteboard,
                                                 const std::string& /*userData*/,
                                                 std::string* /*error*/) {
    platform::os_log_debug(log(), "Got service call in the Helper");
    const std::optional<std::string> recipient = preferredPendraBundleIdentifier();
    platform::os_log_debug(
        log(),
        "Service has been called directly, we'll talk to the preferred Pendra app bundle found: "
        "%{public}@",
        {recipient});

    ApplicationConnector& connector = applicationConnector();
    if (!connector.updateCurrentApplicationContext()) {
        return;
    }
    auto call = PendraSandboxHelperQuickEntryWithAutofillCall::callWithCallerAppBundleIdentifier(
        recipient, std::nullopt);
    const std::string title = connector.currentApplicationContextTitle();
    std::string notes;
    notes.append(connector.currentApplicationContextLink());
    notes.append("\n\n");

    // Each test runs only when the ones before it hold.
    bool leaveOutSelection = false;
    if (ApplicationEnvironment::isOperatingSystemAtLeastMajorVersion(10, 13)) {
        const auto bundleIdentifier = connector.currentApplicationContextBundleIdentifier();
        if (bundleIdentifier &&
            platform::utf::asciiLowercased(*bundleIdentifier) == kMailBundleIdentifier) {
            leaveOutSelection = pasteboard.types.size() > kMailPasteboardTypeLimit;
        }
    }
    if (!leaveOutSelection) {
        const std::string selection =
            pasteboard.stringForType(platform::NSStringPboardType).value_or(std::string());
        notes.insert(0, "\n\n");
        notes.insert(0, trimmingNewlines(selection));
    }

    call.respondWithTitle(title, notes);
    platform::os_log_debug(log(), "Call has been responded");
}

}  // namespace pendra
