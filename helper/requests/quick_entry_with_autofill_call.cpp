#include "helper/requests/quick_entry_with_autofill_call.h"

#include "helper/constants.h"
#include "platform/apple_event_manager.h"
#include "platform/format.h"
#include "platform/log.h"
#include "platform/platform.h"

namespace pendra {

using platform::AppleEventDescriptor;

PendraSandboxHelperQuickEntryWithAutofillCall::PendraSandboxHelperQuickEntryWithAutofillCall(
    const std::optional<std::string>& callerAppBundleIdentifier,
    const std::optional<AppleEventDescriptor>& propertiesDescriptor) {
    setCallerAppBundleIdentifier(callerAppBundleIdentifier);
    setPropertiesDescriptor(propertiesDescriptor);
}

PendraSandboxHelperQuickEntryWithAutofillCall
PendraSandboxHelperQuickEntryWithAutofillCall::callWithCallerAppBundleIdentifier(
    const std::optional<std::string>& callerAppBundleIdentifier,
    const std::optional<AppleEventDescriptor>& propertiesDescriptor) {
    return PendraSandboxHelperQuickEntryWithAutofillCall(callerAppBundleIdentifier,
                                                         propertiesDescriptor);
}

void PendraSandboxHelperQuickEntryWithAutofillCall::setCallerAppBundleIdentifier(
    const std::optional<std::string>& callerAppBundleIdentifier) {
    callerAppBundleIdentifier_ = callerAppBundleIdentifier;
}

void PendraSandboxHelperQuickEntryWithAutofillCall::setPropertiesDescriptor(
    const std::optional<AppleEventDescriptor>& propertiesDescriptor) {
    propertiesDescriptor_ = propertiesDescriptor;
}

AppleEventDescriptor PendraSandboxHelperQuickEntryWithAutofillCall::callerAppDescriptor() const {
    return AppleEventDescriptor::descriptorWithDescriptorType(
        platform::typeApplicationBundleID,
        std::string_view(callerAppBundleIdentifier_.value_or("")));
}

std::optional<AppleEventDescriptor>
PendraSandboxHelperQuickEntryWithAutofillCall::_quickEntryPropertiesWithTitle(
    const std::optional<std::string>& title, const std::optional<std::string>& bbCodeNotes,
    Content content) const {
    const bool attach = title || bbCodeNotes || propertiesDescriptor_;
    if (!attach) {
        return std::nullopt;
    }

    auto callerEntry = [this](platform::AEKeyword keyword) -> std::optional<AppleEventDescriptor> {
        if (!propertiesDescriptor_) {
            return std::nullopt;
        }
        return propertiesDescriptor_->descriptorForKeyword(keyword);
    };

    AppleEventDescriptor record = AppleEventDescriptor::recordDescriptor();

    const std::optional<AppleEventDescriptor> callerNote =
        content == Content::whole ? callerEntry(kNoteKeyword) : std::nullopt;
    // Past the whole answer the caller's note is left out, then the new notes, then the title.
    std::optional<AppleEventDescriptor> note;
    if (bbCodeNotes && callerNote) {
        // The notes, two line feeds and the caller's note ("%@\n\n%@"). A note that is text
        // already is appended as it came, without a round trip through UTF-8.
        const AppleEventDescriptor head =
            AppleEventDescriptor::descriptorWithString(*bbCodeNotes + "\n\n");
        std::optional<AppleEventDescriptor> joined;
        if (callerNote->descriptorType() == platform::typeUnicodeText) {
            joined = head.textByAppendingText(*callerNote);
        }
        if (joined) {
            note = std::move(joined);
        } else if (const std::optional<std::string> callerNoteText = callerNote->stringValue()) {
            // Put together in place: formatting would copy the note thrice.
            std::string text;
            text.reserve(bbCodeNotes->size() + 2 + callerNoteText->size());
            text.append(*bbCodeNotes).append("\n\n").append(*callerNoteText);
            note = AppleEventDescriptor::descriptorWithString(text);
        } else {
            // A note that cannot be read as text cannot be appended to text. The new notes go
            // alone, and the caller's note is written to the log so that it is not lost.
            platform::NSLog("The caller's note has no text form and is not appended: %@",
                            {*callerNote});
            note = AppleEventDescriptor::descriptorWithString(*bbCodeNotes);
        }
    } else if (bbCodeNotes && content <= Content::withoutCallersNote) {
        note = AppleEventDescriptor::descriptorWithString(*bbCodeNotes);
    } else {
        note = callerNote;
    }
    if (note) {
        record.setDescriptor(*note, kNoteKeyword);
    }

    if (content == Content::withoutTexts) {
        // Neither note nor title.
    } else if (title) {
        record.setDescriptor(AppleEventDescriptor::descriptorWithString(*title), kTitleKeyword);
    } else if (const std::optional<AppleEventDescriptor> callerTitle = callerEntry(kTitleKeyword)) {
        record.setDescriptor(*callerTitle, kTitleKeyword);
    }

    if (const std::optional<AppleEventDescriptor> tagNames = callerEntry(kTagNamesKeyword)) {
        record.setDescriptor(*tagNames, kTagNamesKeyword);
    }
    return record;
}

void PendraSandboxHelperQuickEntryWithAutofillCall::respondWithTitle(
    const std::optional<std::string>& title, const std::optional<std::string>& bbCodeNotes) const {
    static constexpr struct {
        Content content;
        const char* leftOut;
    } kSteps[] = {
        {Content::whole, ""},
        {Content::withoutCallersNote, "without the caller's note"},
        {Content::withoutNote, "without its note"},
        {Content::withoutTexts, "without its note and title"},
    };
    platform::OSStatus status = platform::noErr;
    std::size_t tooLarge = 0;
    for (const auto& step : kSteps) {
        AppleEventDescriptor event = AppleEventDescriptor::appleEventWithEventClass(
            kAutofillReplyEventClass, kAutofillReplyEventID, callerAppDescriptor(),
            platform::kAutoGenerateReturnID, platform::kAnyTransactionID);
        if (std::optional<AppleEventDescriptor> properties =
                _quickEntryPropertiesWithTitle(title, bbCodeNotes, step.content)) {
            event.setParamDescriptor(*properties, kQuickEntryPropertiesKeyword);
        }
        const std::size_t size = event.flattenedSize();
        if (tooLarge != 0) {
            if (size >= tooLarge) {
                continue;  // this step leaves out nothing that the answer holds
            }
            platform::NSLog(
                "The answer takes %d bytes, more than one event may carry: it goes again %@ "
                "(%d bytes)",
                {static_cast<std::int64_t>(tooLarge), step.leftOut,
                 static_cast<std::int64_t>(size)});
        }
        // The reply is never read: the caller acknowledges nothing that the helper could act
        // on.
        status =
            platform::appleEventManager().AESendMessage(event, nullptr, platform::kAEWaitReply, 0);
        if (status != platform::errAEEventFailed) {
            break;
        }
        tooLarge = size;
    }
    if (status != platform::noErr) {
        platform::NSLog("Error sending AppleScript message to the caller: %d", {status});
    }
}

}  // namespace pendra
