// Opening URLs: the application that declares the scheme gets a GetURL event, launched first
// when it does not run; other URLs go to the desktop's own handler.
#include "linux_application.h"
#include "linux_bundles.h"
#include "linux_bus.h"
#include "linux_support.h"
#include "linux_workspace.h"
#include "platform/apple_event_descriptor.h"
#include "platform/utf.h"

namespace platform::linux_platform {

std::optional<std::string> applicationForURLScheme(
    LinuxWorkspace& workspace, const std::string& scheme,
    const std::function<bool(const std::string& bundleIdentifier)>& inSession) {
    auto declares = [&](const LinuxBundle& bundle) {
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
                if (text != nullptr && utf::equalsIgnoringASCIICase(*text, scheme)) {
                    return true;
                }
            }
        }
        return false;
    };
    // An installed application that runs in this session is found without listing the
    // machine's processes; only one that runs from elsewhere needs the list.
    std::vector<std::string> declaring;
    for (const std::string& bundlePath : installedApplicationBundles()) {
        const LinuxBundle bundle(bundlePath);
        if (!declares(bundle)) {
            continue;
        }
        if (const auto identifier = bundle.bundleIdentifier();
            inSession && identifier && inSession(*identifier)) {
            return bundlePath;
        }
        declaring.push_back(bundlePath);
    }
    for (const auto& running : workspace.runningApplications()) {
        if (running.bundleURL && declares(LinuxBundle(running.bundleURL->path())) &&
            (!inSession || (running.bundleIdentifier && inSession(*running.bundleIdentifier)))) {
            return running.bundleURL->path();
        }
    }
    if (!declaring.empty()) {
        return declaring.front();
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
    const std::string scheme = utf::asciiLowercased(url.scheme());
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
    if (!workspace_.runningApplicationWithBundleIdentifier(*bundleIdentifier)) {
        Error error;
        if (!workspace_.launchApplicationAtURL(URL::fileURLWithPath(*bundlePath),
                                               NSWorkspaceLaunchDefault, {}, &error)) {
            logLine("Cannot launch " + *bundlePath + " to open " + url.absoluteString() + ": " +
                    error.description());
            return;
        }
    }
    // Wait, bounded, for the application to appear on the bus, without holding up the loop.
    bus_.whenNameHasOwner(name, kLaunchWaitSeconds, [this, event, name, url](bool owned) {
        if (owned) {
            events_.AESendMessage(event, nullptr, kAENoReply, 0);
        } else {
            logLine("Gave up opening " + url.absoluteString() + ": " + name +
                    " did not appear on the bus");
        }
    });
}

}  // namespace platform::linux_platform
