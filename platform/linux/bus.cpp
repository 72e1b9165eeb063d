#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "linux_application.h"
#include "linux_bundles.h"
#include "linux_bus.h"
#include "linux_support.h"
#include "platform/apple_event_descriptor.h"

namespace platform::linux_platform {
namespace {

constexpr const char* kServiceFailedError = "org.pendra.Error.ServiceFailed";
constexpr std::uint64_t kServicesTimeoutUsec = 30'000'000;
constexpr AEEventClass kCoreEventClass = fourCharCode("aevt");
constexpr AEEventID kAnswerEventID = fourCharCode("ansr");

struct BusError {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    ~BusError() { sd_bus_error_free(&error); }
    const char* text() const {
        return error.message != nullptr ? error.message : (error.name ? error.name : "unknown");
    }
};

struct MessageRef {
    sd_bus_message* message = nullptr;
    ~MessageRef() { sd_bus_message_unref(message); }
};

bool isNoOwnerError(const sd_bus_error& error) {
    return sd_bus_error_has_name(&error, SD_BUS_ERROR_SERVICE_UNKNOWN) ||
           sd_bus_error_has_name(&error, SD_BUS_ERROR_NAME_HAS_NO_OWNER);
}

AppleEventDescriptor answerFor(const AppleEventDescriptor& event) {
    return AppleEventDescriptor::appleEventWithEventClass(kCoreEventClass, kAnswerEventID,
                                                          AppleEventDescriptor::nullDescriptor(),
                                                          event.returnID(), event.transactionID());
}

std::uint64_t timeoutUsec(long ticks) {
    if (ticks == -1) {  // kAEDefaultTimeout: about two minutes, as on the platform
        return 120'000'000;
    }
    if (ticks < 0) {  // kNoTimeOut
        return 24ull * 3600 * 1'000'000;
    }
    return static_cast<std::uint64_t>(ticks) * 1'000'000 / 60;
}

int handleEventMethod(sd_bus_message* message, void* userdata, sd_bus_error* /*error*/) {
    auto* bus = static_cast<SessionBus*>(userdata);
    const void* bytes = nullptr;
    std::size_t size = 0;
    int r = sd_bus_message_read_array(message, 'y', &bytes, &size);
    if (r < 0) {
        return r;
    }
    // The sender is who the bus says it is, never what the event claims.
    pid_t sender = 0;
    sd_bus_creds* creds = nullptr;
    if (sd_bus_query_sender_creds(message, SD_BUS_CREDS_PID, &creds) >= 0) {
        sd_bus_creds_get_pid(creds, &sender);
        sd_bus_creds_unref(creds);
    }
    std::vector<std::uint8_t> answer;
    if (bus->eventReceiver) {
        answer = bus->eventReceiver(
            std::span<const std::uint8_t>(static_cast<const std::uint8_t*>(bytes), size), sender);
    }
    if (sd_bus_message_get_expect_reply(message) == 0) {
        return 1;
    }
    MessageRef reply;
    r = sd_bus_message_new_method_return(message, &reply.message);
    if (r >= 0) {
        r = sd_bus_message_append_array(reply.message, 'y', answer.data(), answer.size());
    }
    if (r >= 0) {
        r = sd_bus_send(nullptr, reply.message, nullptr);
    }
    return r < 0 ? r : 1;
}

int readPasteboard(sd_bus_message* message, Pasteboard& pasteboard) {
    int r = sd_bus_message_enter_container(message, 'a', "s");
    if (r < 0) {
        return r;
    }
    const char* type = nullptr;
    while ((r = sd_bus_message_read(message, "s", &type)) > 0) {
        pasteboard.types.emplace_back(type);
    }
    if (r < 0 || (r = sd_bus_message_exit_container(message)) < 0) {
        return r;
    }
    r = sd_bus_message_enter_container(message, 'a', "{ss}");
    if (r < 0) {
        return r;
    }
    const char* key = nullptr;
    const char* value = nullptr;
    while ((r = sd_bus_message_read(message, "{ss}", &key, &value)) > 0) {
        pasteboard.strings[key] = value;
    }
    if (r < 0) {
        return r;
    }
    return sd_bus_message_exit_container(message);
}

int performServiceMethod(sd_bus_message* message, void* userdata, sd_bus_error* error) {
    auto* bus = static_cast<SessionBus*>(userdata);
    const char* name = nullptr;
    const char* userData = nullptr;
    int r = sd_bus_message_read(message, "ss", &name, &userData);
    if (r < 0) {
        return r;
    }
    Pasteboard pasteboard;
    if ((r = readPasteboard(message, pasteboard)) < 0) {
        return r;
    }
    std::optional<std::string> refusal = std::string("This application offers no services");
    if (bus->serviceReceiver) {
        refusal = bus->serviceReceiver(name, userData, pasteboard);
    }
    if (refusal) {
        return sd_bus_error_set(error, kServiceFailedError, refusal->c_str());
    }
    return sd_bus_reply_method_return(message, "s", "");
}

const sd_bus_vtable kApplicationVTable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("HandleEvent", "ay", "ay", handleEventMethod, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("PerformService", "ssasa{ss}", "s", performServiceMethod,
                  SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END};

}  // namespace

std::string busNameForBundleIdentifier(const std::string& bundleIdentifier) {
    if (bundleIdentifier.empty()) {
        return {};
    }
    std::string name;
    bool elementStart = true;
    int elements = 1;
    for (char c : bundleIdentifier) {
        if (c == '.') {
            if (elementStart) {
                name += '_';  // an empty element is not allowed
            }
            name += '.';
            ++elements;
            elementStart = true;
            continue;
        }
        const bool letter =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == '-';
        const bool digit = c >= '0' && c <= '9';
        if (elementStart && digit) {
            name += '_';
        }
        name += (letter || digit) ? c : '_';
        elementStart = false;
    }
    if (elementStart) {
        name += '_';
    }
    if (elements < 2) {
        name = "app." + name;
    }
    if (name.size() > 255) {
        name.resize(255);
    }
    return name;
}

SessionBus::SessionBus(LinuxApplication& application, std::optional<std::string> bundleIdentifier)
    : application_(application), bundleIdentifier_(std::move(bundleIdentifier)) {}

SessionBus::~SessionBus() {
    sd_bus_slot_unref(objectSlot_);
    if (bus_ != nullptr) {
        sd_bus_flush(bus_);
        sd_bus_detach_event(bus_);
        sd_bus_close_unref(bus_);
    }
}

sd_bus* SessionBus::connection() {
    if (attempted_) {
        return bus_;
    }
    attempted_ = true;
    sd_bus* bus = nullptr;
    int r = sd_bus_open_user(&bus);
    if (r < 0) {
        logLine(std::string("No session bus (") + std::strerror(-r) +
                "): running without Apple Events, notifications and Services from other processes");
        return nullptr;
    }
    if (application_.event() != nullptr) {
        sd_bus_attach_event(bus, application_.event(), 0);
    }
    r = sd_bus_add_object_vtable(bus, &objectSlot_, kApplicationObjectPath, kApplicationInterface,
                                 kApplicationVTable, this);
    if (r < 0) {
        logLine(std::string("Cannot offer the application object on the bus: ") +
                std::strerror(-r));
    }
    bus_ = bus;
    return bus_;
}

bool SessionBus::acquireName() {
    if (nameAttempted_) {
        return ownsName_;
    }
    if (!bundleIdentifier_ || bundleIdentifier_->empty()) {
        return false;
    }
    sd_bus* bus = connection();
    if (bus == nullptr) {
        return false;
    }
    nameAttempted_ = true;
    const std::string name = busNameForBundleIdentifier(*bundleIdentifier_);
    // Neither replacing an owner nor queueing behind one: a second copy of an application
    // leaves the name with the first.
    int r = sd_bus_request_name(bus, name.c_str(), 0);
    if (r < 0) {
        logLine("Cannot own the bus name " + name + " (" +
                (r == -EEXIST ? std::string("another process owns it") : std::strerror(-r)) +
                "): events to this application go elsewhere");
        return false;
    }
    ownsName_ = true;
    return true;
}

bool SessionBus::nameHasOwner(const std::string& name) {
    sd_bus* bus = connection();
    if (bus == nullptr || name.empty()) {
        return false;
    }
    BusError error;
    MessageRef reply;
    int r = sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                               "org.freedesktop.DBus", "NameHasOwner", &error.error, &reply.message,
                               "s", name.c_str());
    int hasOwner = 0;
    if (r < 0 || sd_bus_message_read(reply.message, "b", &hasOwner) < 0) {
        return false;
    }
    return hasOwner != 0;
}

LinuxAppleEventManager::LinuxAppleEventManager(
    SessionBus& bus, std::function<std::optional<std::string>(pid_t)> bundleOfProcess)
    : bus_(bus), bundleOfProcess_(std::move(bundleOfProcess)) {
    bus_.eventReceiver = [this](std::span<const std::uint8_t> bytes, pid_t sender) {
        auto event = AppleEventDescriptor::unflatten(bytes);
        if (!event || !event->isAppleEvent()) {
            logLine("Ignoring " + std::to_string(bytes.size()) + " bytes from process " +
                    std::to_string(sender) + " that are no Apple Event");
            AppleEventDescriptor reply = answerFor(AppleEventDescriptor::appleEventWithEventClass(
                0, 0, AppleEventDescriptor::nullDescriptor(), 0, 0));
            reply.setParamDescriptor(AppleEventDescriptor::descriptorWithInt32(errAENotAEDesc),
                                     keyErrorNumber);
            return reply.flatten();
        }
        return dispatch(std::move(*event), sender).flatten();
    };
}

void LinuxAppleEventManager::setEventHandler(AEEventClass eventClass, AEEventID eventID,
                                             AppleEventHandler handler) {
    handlers_[{eventClass, eventID}] = std::move(handler);
    bus_.acquireName();
}

void LinuxAppleEventManager::removeEventHandler(AEEventClass eventClass, AEEventID eventID) {
    handlers_.erase({eventClass, eventID});
}

AppleEventDescriptor LinuxAppleEventManager::dispatch(AppleEventDescriptor event, pid_t sender) {
    event.setAttributeDescriptor(AppleEventDescriptor::descriptorWithProcessSerialNumber(
                                     {0, static_cast<std::uint32_t>(sender)}),
                                 keyAddressAttr);
    AppleEventDescriptor reply = answerFor(event);
    auto found = handlers_.find({event.eventClass(), event.eventID()});
    if (found == handlers_.end()) {
        reply.setParamDescriptor(AppleEventDescriptor::descriptorWithInt32(errAEEventNotHandled),
                                 keyErrorNumber);
        return reply;
    }
    // The handler may replace itself; it runs from a copy.
    AppleEventHandler handler = found->second;
    handler(event, reply);
    return reply;
}

OSStatus LinuxAppleEventManager::AESendMessage(const AppleEventDescriptor& event,
                                               AppleEventDescriptor* reply, std::int32_t sendMode,
                                               long timeoutInTicks) {
    if (!event.isAppleEvent()) {
        return errAENotAEDesc;
    }
    auto target = event.targetDescriptor();
    if (!target) {
        return paramErr;
    }
    std::optional<std::string> bundleIdentifier;
    if (target->descriptorType() == typeApplicationBundleID) {
        bundleIdentifier = std::string(target->data().begin(), target->data().end());
    } else if (auto psn = target->processSerialNumberValue()) {
        bundleIdentifier = bundleOfProcess_(static_cast<pid_t>(psn->lowLongOfPSN));
    } else if (target->descriptorType() == typeKernelProcessID) {
        bundleIdentifier = bundleOfProcess_(target->int32Value());
    } else {
        return paramErr;
    }
    if (!bundleIdentifier || bundleIdentifier->empty()) {
        return procNotFound;
    }
    const std::string name = busNameForBundleIdentifier(*bundleIdentifier);
    const bool waitForReply = (sendMode & 0x3) == kAEWaitReply && timeoutInTicks != 0;

    auto statusOfAnswer = [](const AppleEventDescriptor& answer) {
        auto number = answer.paramDescriptorForKeyword(keyErrorNumber);
        return number && number->int32Value() == errAEEventNotHandled ? errAEEventNotHandled
                                                                      : noErr;
    };

    // An event to ourselves never leaves the process.
    if (bus_.ownsName() && bus_.bundleIdentifier() &&
        busNameForBundleIdentifier(*bus_.bundleIdentifier()) == name) {
        if (!waitForReply) {
            bus_.application().performAfterDelay(0, [this, event] { dispatch(event, ::getpid()); });
            return noErr;
        }
        AppleEventDescriptor answer = dispatch(event, ::getpid());
        if (reply != nullptr) {
            *reply = answer;
        }
        return statusOfAnswer(answer);
    }

    // An application of the desktop answers from what its windows show.
    if (desktopAnswerer_ && waitForReply) {
        AppleEventDescriptor answer = answerFor(event);
        const auto timeout = std::chrono::milliseconds(timeoutUsec(timeoutInTicks) / 1000);
        if (const auto status = desktopAnswerer_(*bundleIdentifier, event, answer, timeout)) {
            if (*status != noErr) {
                return *status;
            }
            if (reply != nullptr) {
                *reply = answer;
            }
            return statusOfAnswer(answer);
        }
    }

    sd_bus* bus = bus_.connection();
    if (bus == nullptr) {
        return procNotFound;
    }
    MessageRef call;
    int r = sd_bus_message_new_method_call(bus, &call.message, name.c_str(), kApplicationObjectPath,
                                           kApplicationInterface, kHandleEventMethod);
    if (r < 0) {
        return r == -EINVAL ? procNotFound : errOSASystemError;
    }
    sd_bus_message_set_auto_start(call.message, 0);
    const std::vector<std::uint8_t> bytes = event.flatten();
    if (sd_bus_message_append_array(call.message, 'y', bytes.data(), bytes.size()) < 0) {
        return errOSASystemError;
    }

    if (!waitForReply) {
        if (!bus_.nameHasOwner(name)) {
            return procNotFound;
        }
        sd_bus_message_set_expect_reply(call.message, 0);
        if (sd_bus_send(bus, call.message, nullptr) < 0 || sd_bus_flush(bus) < 0) {
            return errOSASystemError;
        }
        return noErr;
    }

    BusError error;
    MessageRef answerMessage;
    r = sd_bus_call(bus, call.message, timeoutUsec(timeoutInTicks), &error.error,
                    &answerMessage.message);
    if (r < 0) {
        if (isNoOwnerError(error.error)) {
            return procNotFound;
        }
        // A program that owns the name without our interface (an application of the desktop
        // that is not in front) does not understand the event.
        if (sd_bus_error_has_name(&error.error, SD_BUS_ERROR_UNKNOWN_METHOD) ||
            sd_bus_error_has_name(&error.error, SD_BUS_ERROR_UNKNOWN_OBJECT) ||
            sd_bus_error_has_name(&error.error, SD_BUS_ERROR_UNKNOWN_INTERFACE)) {
            return errAEEventNotHandled;
        }
        if (r == -ETIMEDOUT || sd_bus_error_has_name(&error.error, SD_BUS_ERROR_NO_REPLY) ||
            sd_bus_error_has_name(&error.error, SD_BUS_ERROR_TIMEOUT)) {
            return errAETimeout;
        }
        logLine("Sending an Apple Event to " + name + " failed: " + error.text());
        return errOSASystemError;
    }
    const void* answerBytes = nullptr;
    std::size_t size = 0;
    if (sd_bus_message_read_array(answerMessage.message, 'y', &answerBytes, &size) < 0) {
        return errAENotAEDesc;
    }
    auto answer = AppleEventDescriptor::unflatten(
        std::span<const std::uint8_t>(static_cast<const std::uint8_t*>(answerBytes), size));
    if (!answer) {
        return errAENotAEDesc;
    }
    if (reply != nullptr) {
        *reply = *answer;
    }
    return statusOfAnswer(*answer);
}

void LinuxDistributedNotificationCenter::postNotificationName(
    const std::string& name, const std::optional<std::string>& object,
    const NotificationUserInfo& userInfo) {
    sd_bus* bus = bus_.connection();
    if (bus == nullptr) {
        logLine("Not posting " + name + ": there is no session bus");
        return;
    }
    MessageRef signal;
    int r = sd_bus_message_new_signal(bus, &signal.message, kNotificationObjectPath,
                                      kNotificationInterface, kNotificationSignal);
    if (r >= 0) {
        r = sd_bus_message_append(signal.message, "s", name.c_str());
    }
    if (r >= 0) {
        r = sd_bus_message_open_container(signal.message, 'a', "s");
    }
    if (r >= 0 && object) {
        r = sd_bus_message_append(signal.message, "s", object->c_str());
    }
    if (r >= 0) {
        r = sd_bus_message_close_container(signal.message);
    }
    if (r >= 0) {
        r = sd_bus_message_open_container(signal.message, 'a', "{ss}");
    }
    for (auto it = userInfo.begin(); r >= 0 && it != userInfo.end(); ++it) {
        r = sd_bus_message_append(signal.message, "{ss}", it->first.c_str(), it->second.c_str());
    }
    if (r >= 0) {
        r = sd_bus_message_close_container(signal.message);
    }
    if (r >= 0) {
        r = sd_bus_send(bus, signal.message, nullptr);
    }
    // Posting often comes just before the process ends; the signal must be out by then.
    if (r >= 0) {
        r = sd_bus_flush(bus);
    }
    if (r < 0) {
        logLine("Cannot post " + name + ": " + std::strerror(-r));
    }
}

OSStatus sendServicesRequest(SessionBus& bus, const std::string& bundleIdentifier,
                             const std::string& message, const std::string& userData,
                             const Pasteboard& pasteboard, std::string* error) {
    sd_bus* connection = bus.connection();
    if (connection == nullptr) {
        return procNotFound;
    }
    const std::string name = busNameForBundleIdentifier(bundleIdentifier);
    MessageRef call;
    int r = sd_bus_message_new_method_call(connection, &call.message, name.c_str(),
                                           kApplicationObjectPath, kApplicationInterface,
                                           kPerformServiceMethod);
    if (r < 0) {
        return procNotFound;
    }
    sd_bus_message_set_auto_start(call.message, 0);
    r = sd_bus_message_append(call.message, "ss", message.c_str(), userData.c_str());
    if (r >= 0) {
        r = sd_bus_message_open_container(call.message, 'a', "s");
    }
    for (auto it = pasteboard.types.begin(); r >= 0 && it != pasteboard.types.end(); ++it) {
        r = sd_bus_message_append(call.message, "s", it->c_str());
    }
    if (r >= 0) {
        r = sd_bus_message_close_container(call.message);
    }
    if (r >= 0) {
        r = sd_bus_message_open_container(call.message, 'a', "{ss}");
    }
    for (auto it = pasteboard.strings.begin(); r >= 0 && it != pasteboard.strings.end(); ++it) {
        r = sd_bus_message_append(call.message, "{ss}", it->first.c_str(), it->second.c_str());
    }
    if (r >= 0) {
        r = sd_bus_message_close_container(call.message);
    }
    if (r < 0) {
        return paramErr;
    }
    BusError failure;
    MessageRef answer;
    r = sd_bus_call(connection, call.message, kServicesTimeoutUsec, &failure.error,
                    &answer.message);
    if (r < 0) {
        if (isNoOwnerError(failure.error)) {
            return procNotFound;
        }
        if (error != nullptr) {
            *error = failure.text();
        }
        return sd_bus_error_has_name(&failure.error, kServiceFailedError) ? paramErr
                                                                          : errOSASystemError;
    }
    if (error != nullptr) {
        error->clear();
    }
    return noErr;
}

std::optional<std::string> performServiceRequest(ServicesProvider* provider,
                                                 const PropertyList& providerInfo,
                                                 const std::string& message,
                                                 const std::string& userData,
                                                 const Pasteboard& pasteboard) {
    bool declared = false;
    if (const PropertyList* services = providerInfo.objectForKey("NSServices")) {
        if (const PropertyList::Array* entries = services->arrayValue()) {
            for (const auto& entry : *entries) {
                const PropertyList* declaredMessage = entry.objectForKey("NSMessage");
                if (declaredMessage != nullptr && declaredMessage->stringValue() != nullptr &&
                    *declaredMessage->stringValue() == message) {
                    declared = true;
                    break;
                }
            }
        }
    }
    if (!declared) {
        logLine("Refusing the Services request " + message +
                ": the application does not declare it under NSServices");
        return "The service " + message + " is not offered by this application";
    }
    if (provider == nullptr) {
        return "This application has no Services provider";
    }
    std::string error;
    if (!provider->performService(message, pasteboard, userData, &error)) {
        return "The Services provider has no operation for " + message;
    }
    if (!error.empty()) {
        return error;
    }
    return std::nullopt;
}

std::optional<std::string> applicationForURLScheme(
    LinuxWorkspace& workspace, const std::string& scheme,
    const std::function<bool(const std::string& bundleIdentifier)>& inSession) {
    auto declares = [&](const std::string& bundlePath) {
        LinuxBundle bundle(bundlePath);
        auto types = bundle.objectForInfoDictionaryKey("CFBundleURLTypes");
        if (!types || types->arrayValue() == nullptr) {
            return false;
        }
        for (const auto& type : *types->arrayValue()) {
            const PropertyList* schemes = type.objectForKey("CFBundleURLSchemes");
            if (schemes == nullptr || schemes->arrayValue() == nullptr) {
                continue;
            }
            for (const auto& declared : *schemes->arrayValue()) {
                const std::string* text = declared.stringValue();
                if (text != nullptr && text->size() == scheme.size() &&
                    std::equal(text->begin(), text->end(), scheme.begin(), [](char a, char b) {
                        return std::tolower(static_cast<unsigned char>(a)) ==
                               std::tolower(static_cast<unsigned char>(b));
                    })) {
                    return true;
                }
            }
        }
        return false;
    };
    for (const auto& running : workspace.runningApplications()) {
        if (running.bundleURL && declares(running.bundleURL->path()) &&
            (!inSession || (running.bundleIdentifier && inSession(*running.bundleIdentifier)))) {
            return running.bundleURL->path();
        }
    }
    for (const auto& installed : installedApplicationBundles()) {
        if (declares(installed)) {
            return installed;
        }
    }
    return std::nullopt;
}

URLOpener::URLOpener(LinuxApplication& application, LinuxWorkspace& workspace,
                     LinuxAppleEventManager& events, SessionBus& bus)
    : application_(application), workspace_(workspace), events_(events), bus_(bus) {}

bool URLOpener::openURL(const URL& url) {
    // Opening returns at once; the work happens on the loop.
    application_.performAfterDelay(0, [this, url] { deliver(url); });
    return true;
}

void URLOpener::deliver(const URL& url) {
    std::string scheme = url.scheme();
    std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    std::optional<std::string> bundlePath;
    if (scheme != "http" && scheme != "https" && scheme != "file") {
        bundlePath = applicationForURLScheme(workspace_, scheme, [this](const std::string& id) {
            return (bus_.ownsName() && bus_.bundleIdentifier() == id) ||
                   bus_.nameHasOwner(busNameForBundleIdentifier(id));
        });
    }
    if (!bundlePath) {
        if (!openWithSystemHandler(url.absoluteString())) {
            logLine("Nothing opens " + url.absoluteString());
        }
        return;
    }
    auto bundleIdentifier = LinuxBundle(*bundlePath).bundleIdentifier();
    if (!bundleIdentifier) {
        logLine("Cannot deliver " + url.absoluteString() + ": " + *bundlePath +
                " has no identifier");
        return;
    }
    AppleEventDescriptor event = AppleEventDescriptor::appleEventWithEventClass(
        kInternetEventClass, kAEGetURL,
        AppleEventDescriptor::descriptorWithApplicationBundleIdentifier(*bundleIdentifier),
        kAutoGenerateReturnID, kAnyTransactionID);
    event.setParamDescriptor(AppleEventDescriptor::descriptorWithString(url.absoluteString()),
                             keyDirectObject);
    const std::string name = busNameForBundleIdentifier(*bundleIdentifier);
    const bool ownName = bus_.ownsName() && bus_.bundleIdentifier() == bundleIdentifier;
    if (ownName || bus_.nameHasOwner(name)) {
        events_.AESendMessage(event, nullptr, kAENoReply, 0);
        return;
    }
    if (workspace_.runningApplicationsWithBundleIdentifier(*bundleIdentifier).empty()) {
        Error error;
        if (!workspace_.launchApplicationAtURL(URL::fileURLWithPath(*bundlePath),
                                               NSWorkspaceLaunchDefault, {}, &error)) {
            logLine("Cannot launch " + *bundlePath + " to open " + url.absoluteString() + ": " +
                    error.description());
            return;
        }
    }
    // Wait, bounded, for the application to appear on the bus, without holding up the loop.
    auto waited = std::make_shared<int>(0);
    constexpr double kPollSeconds = 0.05;
    const int attempts = static_cast<int>(kLaunchWaitSeconds / kPollSeconds);
    auto timer = std::make_shared<TimerID>(0);
    *timer = application_.scheduledTimerWithTimeInterval(
        kPollSeconds, true, [this, event, name, waited, attempts, timer, url] {
            if (bus_.nameHasOwner(name)) {
                application_.invalidateTimer(*timer);
                events_.AESendMessage(event, nullptr, kAENoReply, 0);
            } else if (++*waited >= attempts) {
                application_.invalidateTimer(*timer);
                logLine("Gave up opening " + url.absoluteString() + ": " + name +
                        " did not appear on the bus");
            }
        });
}

}  // namespace platform::linux_platform
