// A started helper on the fake platform, for fuzzers that drive it end to end: both variants of
// the main application installed, a frontmost application with a script connector and one with
// a URL connector and callback handler, and scripts that answer a title and a link.
#pragma once

#include <memory>
#include <string>

#include "helper/context/config_dictionary_cache_controller.h"
#include "helper/pendra_sandbox_helper.h"
#include "platform/fake/fake_platform.h"

namespace pendra::fuzzing {

using platform::AppleEventDescriptor;

inline constexpr platform::pid_t kBrowserPid = 3100;
inline constexpr platform::pid_t kReaderPid = 3300;

class HelperOnFakes {
  public:
    HelperOnFakes() {
        fake.workspace.addInstalledApplication("com.orvano.PendraMac",
                                               "/Applications/PendraMac.app");
        platform::PropertyList::Dictionary table;
        table[".unknown"] = connector("AppleScript", "generic");
        table["com.example.browser"] = connector("AppleScript", "browser");
        platform::PropertyList::Dictionary reader;
        reader["URL"] = "readerapp://export";
        reader["CallbackHandler"] = "reader callback";
        table["com.example.reader"] = reader;
        ConfigDictionaryCacheController::sharedInstance().setDictionaries(
            {{"ApplicationConnectors", std::make_shared<const platform::PropertyList>(table)}});
        fake.workspace.addRunningApplication(
            {kBrowserPid, "com.example.Browser", "Browser", std::nullopt});
        fake.workspace.addRunningApplication(
            {kReaderPid, "com.example.Reader", "Reader", std::nullopt});
        fake.workspace.frontmost =
            fake.workspace.runningApplicationWithProcessIdentifier(kBrowserPid);
        fake.scripting.behaviour = [](const std::string&, const AppleEventDescriptor*,
                                      platform::ScriptErrorInfo*) {
            auto result = AppleEventDescriptor::listDescriptor();
            result.insertDescriptor(AppleEventDescriptor::descriptorWithString("Title"), 0);
            result.insertDescriptor(AppleEventDescriptor::descriptorWithString("[url=x]y[/url]"),
                                    0);
            return std::optional<AppleEventDescriptor>(result);
        };
        helper = std::make_unique<PendraSandboxHelper>();
    }
    ~HelperOnFakes() { ConfigDictionaryCacheController::sharedInstance().setDictionaries({}); }
    HelperOnFakes(const HelperOnFakes&) = delete;
    HelperOnFakes& operator=(const HelperOnFakes&) = delete;

    // One helper serves many inputs, as a running helper does. It is made anew after an input
    // ended it, and every thousand inputs so that what the fakes record stays small.
    // It is never destroyed at exit, where the helper's singletons may already be gone.
    static HelperOnFakes& shared() {
        static HelperOnFakes* helper = nullptr;
        static int uses = 0;
        if (!helper || helper->ended_ || ++uses % 1000 == 0) {
            delete helper;
            helper = new HelperOnFakes();
        }
        return *helper;
    }

    // Delivers an event and runs what it scheduled; an update or disable that ends the process
    // ends it here too.
    void deliver(const AppleEventDescriptor& event) {
        try {
            fake.appleEvents.dispatch(event);
            fake.application.advance(1.0);
        } catch (const platform::ProcessExit&) {
            ended_ = true;
        }
    }

    static AppleEventDescriptor sentBy(AppleEventDescriptor event, platform::pid_t pid) {
        event.setAttributeDescriptor(AppleEventDescriptor::descriptorWithProcessSerialNumber(
                                         {0, static_cast<std::uint32_t>(pid)}),
                                     platform::keyAddressAttr);
        return event;
    }

    platform::fake::FakePlatform fake;
    platform::ScopedInstall installed{fake.services()};
    std::unique_ptr<PendraSandboxHelper> helper;

  private:
    bool ended_ = false;

    static platform::PropertyList connector(const char* key, const char* value) {
        platform::PropertyList::Dictionary dictionary;
        dictionary[key] = value;
        return dictionary;
    }
};

}  // namespace pendra::fuzzing
