// The Apple Event manager: an event goes to this process itself, across the bus
// (linux_event_transport.h) to an application that speaks our interface there, or to the
// desktop answerer for an application of the desktop.
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "linux_application.h"
#include "linux_bundles.h"
#include "linux_bus.h"
#include "linux_event_transport.h"
#include "linux_support.h"
#include "platform/apple_event_descriptor.h"

namespace platform::linux_platform {
namespace {

std::uint64_t timeoutUsec(long ticks) {
    if (ticks == -1) {  // kAEDefaultTimeout: about two minutes, as on the platform
        return 120'000'000;
    }
    if (ticks < 0) {  // kNoTimeOut
        return 24ull * 3600 * 1'000'000;
    }
    return static_cast<std::uint64_t>(ticks) * 1'000'000 / 60;
}

OSStatus statusOfAnswer(const AppleEventDescriptor& answer) {
    auto number = answer.paramDescriptorForKeyword(keyErrorNumber);
    return number && number->int32Value() == errAEEventNotHandled ? errAEEventNotHandled : noErr;
}

// How long an owner of a name that does not run from one of our bundles is waited for over
// the bus before the desktop answers for it, and for how long the desktop then does.
constexpr std::uint64_t kDesktopOwnerLimitUsec = 250'000;
constexpr auto kDesktopOwnerRest = std::chrono::seconds(60);
constexpr std::size_t kMaximumOwnersAnsweredByTheDesktop = 256;

bool runsFromBundle(std::optional<pid_t> pid) {
    const auto executable = pid ? executableOfProcess(*pid) : std::nullopt;
    return executable && bundlePathForExecutable(*executable);
}

AppleEventDescriptor replyWithError(const AppleEventDescriptor& event, OSStatus error) {
    AppleEventDescriptor reply = AppleEventHandlerTable::emptyReply(event);
    reply.setParamDescriptor(AppleEventDescriptor::descriptorWithInt32(error), keyErrorNumber);
    return reply;
}

}  // namespace

LinuxAppleEventManager::LinuxAppleEventManager(
    SessionBus& bus, std::function<std::optional<std::string>(pid_t)> bundleOfProcess)
    : bus_(bus), bundleOfProcess_(std::move(bundleOfProcess)) {
    bus_.eventReceiver = [this](std::span<const std::uint8_t> bytes,
                                std::shared_ptr<const void> owner,
                                const ProcessSerialNumber& sender) {
        auto event = AppleEventDescriptor::unflatten(bytes, std::move(owner));
        if (!event || !event->isAppleEvent()) {
            logLine("Ignoring " + std::to_string(bytes.size()) + " bytes from " +
                    SessionBus::describeSender(sender) + " that are no Apple Event");
            return replyWithError(AppleEventDescriptor::appleEventWithEventClass(
                                      0, 0, AppleEventDescriptor::nullDescriptor(), 0, 0),
                                  errAENotAEDesc);
        }
        const std::string name =
            fourCharCodeString(event->eventClass()) + "/" + fourCharCodeString(event->eventID());
        AppleEventDescriptor reply = dispatch(std::move(*event), sender);
        if (const std::size_t size = reply.flattenedSize(); size > kMaximumEventBytes) {
            logLine("The reply to " + name + " takes " + std::to_string(size) +
                    " bytes, more than the " + std::to_string(kMaximumEventBytes) +
                    " one message may carry: answering error " + std::to_string(errAEEventFailed) +
                    " instead");
            return replyWithError(reply, errAEEventFailed);
        }
        return reply;
    };
}

void LinuxAppleEventManager::setEventHandler(AEEventClass eventClass, AEEventID eventID,
                                             AppleEventHandler handler) {
    handlers_.set(eventClass, eventID, std::move(handler));
    bus_.acquireName();
}

void LinuxAppleEventManager::removeEventHandler(AEEventClass eventClass, AEEventID eventID) {
    handlers_.remove(eventClass, eventID);
}

AppleEventDescriptor LinuxAppleEventManager::dispatch(AppleEventDescriptor event,
                                                      const ProcessSerialNumber& sender) {
    event.setAttributeDescriptor(AppleEventDescriptor::descriptorWithProcessSerialNumber(sender),
                                 keyAddressAttr);
    return handlers_.dispatch(event);
}

OSStatus LinuxAppleEventManager::targetBundleIdentifier(const AppleEventDescriptor& event,
                                                        std::string& bundleIdentifier) {
    auto target = event.targetDescriptor();
    if (!target) {
        return paramErr;
    }
    std::optional<std::string> found;
    if (target->descriptorType() == typeApplicationBundleID) {
        found = std::string(target->data().begin(), target->data().end());
    } else if (auto psn = target->processSerialNumberValue()) {
        if (auto pid = bus_.processOfSerialNumber(*psn)) {
            found = bundleOfProcess_(*pid);
        }
    } else if (target->descriptorType() == typeKernelProcessID) {
        found = bundleOfProcess_(target->int32Value());
    } else {
        return paramErr;
    }
    if (!found || found->empty()) {
        return procNotFound;
    }
    bundleIdentifier = std::move(*found);
    return noErr;
}

OSStatus LinuxAppleEventManager::AESendMessage(const AppleEventDescriptor& event,
                                               AppleEventDescriptor* reply, std::int32_t sendMode,
                                               long timeoutInTicks) {
    if (!event.isAppleEvent()) {
        return errAENotAEDesc;
    }
    std::string bundleIdentifier;
    if (const OSStatus status = targetBundleIdentifier(event, bundleIdentifier); status != noErr) {
        return status;
    }
    const std::string name = busNameForBundleIdentifier(bundleIdentifier);
    const bool waitForReply = (sendMode & 0x3) == kAEWaitReply && timeoutInTicks != 0;
    std::optional<AppleEventDescriptor> answer;
    std::optional<OSStatus> status;
    // An event to ourselves never leaves the process.
    if (bus_.ownsName() && bus_.bundleIdentifier() &&
        busNameForBundleIdentifier(*bus_.bundleIdentifier()) == name) {
        const ProcessSerialNumber self{0, static_cast<std::uint32_t>(::getpid())};
        if (!waitForReply) {
            bus_.application().performAfterDelay(0, [this, event, self] { dispatch(event, self); });
            return noErr;
        }
        answer = dispatch(event, self);
        status = noErr;
    }
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::microseconds(timeoutUsec(timeoutInTicks));
    const bool desktopMayAnswer = !status && desktopAnswerer_ && waitForReply;
    // An owner of the name is asked over the bus first: it may be an application of ours known
    // by a desktop entry. Many applications of the desktop own a name of their own as well; one
    // that does not run from one of our bundles is given a short while only, so that a stopped
    // or busy one costs a capture little, and the desktop answers for it from then on.
    if (desktopMayAnswer && bus_.nameHasOwner(name)) {
        const std::string owner = bus_.ownerOfName(name);
        const auto now = std::chrono::steady_clock::now();
        const auto skipped = answeredByTheDesktop_.find(owner);
        if (skipped == answeredByTheDesktop_.end() || skipped->second <= now) {
            const bool ours = runsFromBundle(bus_.processOwningName(name));
            const std::uint64_t limit =
                ours ? timeoutUsec(timeoutInTicks)
                     : std::min(timeoutUsec(timeoutInTicks), kDesktopOwnerLimitUsec);
            status = sendEvent(bus_, name, event, limit, answer);
            const bool notOurs = *status == errAEEventNotHandled || *status == procNotFound;
            if (notOurs || (!ours && *status == errAETimeout)) {
                if (answeredByTheDesktop_.size() >= kMaximumOwnersAnsweredByTheDesktop) {
                    answeredByTheDesktop_.clear();
                }
                answeredByTheDesktop_[owner] = notOurs
                                                   ? std::chrono::steady_clock::time_point::max()
                                                   : now + kDesktopOwnerRest;
                status.reset();
                answer.reset();
            }
        }
    }
    // An application of the desktop answers from what its windows show.
    if (desktopMayAnswer && !status) {
        AppleEventDescriptor filled = AppleEventHandlerTable::emptyReply(event);
        const auto timeout = std::max(std::chrono::milliseconds(0),
                                      std::chrono::duration_cast<std::chrono::milliseconds>(
                                          deadline - std::chrono::steady_clock::now()));
        if ((status = desktopAnswerer_(bundleIdentifier, event, filled, timeout))) {
            answer = std::move(filled);
        }
    }
    // Any other goes across the bus.
    if (!status) {
        const auto timeout =
            waitForReply ? std::optional(timeoutUsec(timeoutInTicks)) : std::nullopt;
        status = sendEvent(bus_, name, event, timeout, answer);
    }
    if (*status != noErr || !answer) {
        return *status;
    }
    const OSStatus answered = statusOfAnswer(*answer);
    if (reply != nullptr) {
        *reply = std::move(*answer);
    }
    return answered;
}

}  // namespace platform::linux_platform
