#include "helper/requests/quick_entry_with_autofill_call.h"

#include "helper/constants.h"
#include "platform/apple_event_manager.h"
#include "platform/format.h"
#include "platform/log.h"
#include "platform/platform.h"
#include "platform/utf.h"

namespace pendra {

using platform::AppleEventDescriptor;

namespace {

// The text as a descriptor, cut to kMaximumAnswerTextBytes without splitting a character.
AppleEventDescriptor answerText(std::string text, const char* what) {
    if (text.size() > kMaximumAnswerTextBytes) {
        const std::size_t end =
            platform::utf::characterBoundaryAtOrBefore(text, kMaximumAnswerTextBytes);
        platform::NSLog(
            "The %@ of the answer is cut from %d to %d bytes",
            {what, static_cast<std::int64_t>(text.size()), static_cast<std::int64_t>(end)});
        text.resize(end);
    }
    return AppleEventDescriptor::descriptorWithString(text);
}

}  // namespace

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
    const std::optional<std::string>& title, const std::optional<std::string>& bbCodeNotes) const {
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

    const std::optional<AppleEventDescriptor> callerNote = callerEntry(kNoteKeyword);
    std::optional<AppleEventDescriptor> note;
    if (bbCodeNotes && callerNote) {
        // The notes, two line feeds and the caller's note ("%@\n\n%@"). A note that cannot
        // reach the answer's limit, three UTF-8 bytes a UTF-16 unit at most, is appended to
        // the new notes as it came, without a round trip through UTF-8.
        const AppleEventDescriptor head =
            AppleEventDescriptor::descriptorWithString(*bbCodeNotes + "\n\n");
        const std::size_t units = (head.data().size() + callerNote->data().size()) / 2;
        std::optional<AppleEventDescriptor> joined;
        if (callerNote->descriptorType() == platform::typeUnicodeText &&
            units <= kMaximumAnswerTextBytes / 3) {
            joined = head.textByAppendingText(*callerNote);
        }
        if (joined) {
            note = std::move(joined);
        } else if (const std::optional<std::string> callerNoteText = callerNote->stringValue()) {
            // Put together in place: formatting would copy the note thrice.
            std::string text;
            text.reserve(bbCodeNotes->size() + 2 + callerNoteText->size());
            text.append(*bbCodeNotes).append("\n\n").append(*callerNoteText);
            note = answerText(std::move(text), "note");
        } else {
            // A note that cannot be read as text cannot be appended to text. The new notes go
            // alone, and the caller's note is written to the log so that it is not lost.
            platform::NSLog("The caller's note has no text form and is not appended: %@",
                            {*callerNote});
            note = answerText(*bbCodeNotes, "note");
        }
    } else if (bbCodeNotes) {
        note = answerText(*bbCodeNotes, "note");
    } else {
        note = callerNote;
    }
    if (note) {
        record.setDescriptor(*note, kNoteKeyword);
    }

    if (title) {
        record.setDescriptor(answerText(*title, "title"), kTitleKeyword);
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
    AppleEventDescriptor event = AppleEventDescriptor::appleEventWithEventClass(
        kAutofillReplyEventClass, kAutofillReplyEventID, callerAppDescriptor(),
        platform::kAutoGenerateReturnID, platform::kAnyTransactionID);

    if (std::optional<AppleEventDescriptor> properties =
            _quickEntryPropertiesWithTitle(title, bbCodeNotes)) {
        event.setParamDescriptor(*properties, kQuickEntryPropertiesKeyword);
    }

    // The reply is never read: the caller acknowledges nothing that the helper could act on.
    const platform::OSStatus status =
        platform::appleEventManager().AESendMessage(event, nullptr, platform::kAEWaitReply, 0);
    if (status != platform::noErr) {
        platform::NSLog("Error sending AppleScript message to the caller: %d", {status});
    }
}

}  // namespace pendra
