// Services requests: a bus method on the provider's application object, with the pasteboard.
#include "bus_messages.h"
#include "linux_bus.h"
#include "linux_support.h"

namespace platform::linux_platform {
namespace {

constexpr std::uint64_t kServicesTimeoutUsec = 30'000'000;

}  // namespace

OSStatus sendServicesRequest(SessionBus& bus, const std::string& bundleIdentifier,
                             const std::string& message, const std::string& userData,
                             const Pasteboard& pasteboard, std::string* error) {
    sd_bus* connection = bus.connection();
    if (connection == nullptr) {
        return procNotFound;
    }
    const std::string name = busNameForBundleIdentifier(bundleIdentifier);
    BusWriter call = BusWriter::methodCall(connection, name.c_str(), kApplicationObjectPath,
                                           kApplicationInterface, kPerformServiceMethod);
    if (call.message() == nullptr) {
        return procNotFound;
    }
    if (!(call << message << userData << pasteboard.types << pasteboard.strings)) {
        return paramErr;
    }
    const BusReply reply = callMethod(std::move(call), kServicesTimeoutUsec);
    if (!reply) {
        if (isNoOwnerError(reply.error.error)) {
            return procNotFound;
        }
        if (error != nullptr) {
            *error = reply.error.text();
        }
        return reply.error.has(kServiceFailedError) ? paramErr : errOSASystemError;
    }
    if (error != nullptr) {
        error->clear();
    }
    return noErr;
}

int performServiceMethod(sd_bus_message* message, void* userdata, sd_bus_error* error) {
    auto* bus = static_cast<SessionBus*>(userdata);
    std::string name;
    std::string userData;
    Pasteboard pasteboard;
    if (BusReader reader(message);
        !(reader >> name >> userData >> pasteboard.types >> pasteboard.strings)) {
        return reader.result();
    }
    std::optional<std::string> refusal = std::string("This application offers no services");
    if (bus->serviceReceiver) {
        refusal = bus->serviceReceiver(name, userData, pasteboard);
    }
    if (refusal) {
        return sd_bus_error_set(error, kServiceFailedError, refusal->c_str());
    }
    BusWriter reply = BusWriter::methodReturn(message);
    reply << "";
    return reply.send();
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

}  // namespace platform::linux_platform
