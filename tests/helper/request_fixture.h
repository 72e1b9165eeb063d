// A helper whose start-up has run against the fakes, with a small connector table, a main
// application installed and the means to send it requests and read what it answered.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "helper/constants.h"
#include "helper/context/config_dictionary_cache_controller.h"
#include "helper/pendra_sandbox_helper.h"
#include "platform/fake/fake_platform.h"

namespace pendra::testing {

using platform::AppleEventDescriptor;

inline constexpr platform::pid_t kBrowserPid = 3100;
inline constexpr platform::pid_t kMailPid = 3200;
inline constexpr platform::pid_t kReaderPid = 3300;

class RequestFixture : public ::testing::Test {
  protected:
    RequestFixture() {
        fake.workspace.addInstalledApplication(kPendraBundleIdentifier,
                                               "/Applications/PendraMac.app");
        fake.workspace.addInstalledApplication(kPendraDevelopmentBundleIdentifier,
                                               "/Applications/PendraMac Dev.app");
        platform::PropertyList::Dictionary table;
        table[".unknown"] = connector({{"AppleScript", "generic CURRENTAPPNAME"}});
        table["com.example.browser"] = connector({{"AppleScript", "browser script"}});
        table["com.apple.mail"] = connector({{"AppleScript", "mail script"}});
        table["com.example.reader"] =
            connector({{"URL", "readerapp://export"}, {"CallbackHandler", "reader callback"}});
        ConfigDictionaryCacheController::sharedInstance().setDictionaries(
            {{"ApplicationConnectors", std::make_shared<const platform::PropertyList>(table)}});
        addApplication(kBrowserPid, "com.example.Browser", "Browser");
        addApplication(kMailPid, "com.apple.Mail", "Mail");
        addApplication(kReaderPid, "com.example.Reader", "Reader");
        fake.scripting.behaviour =
            [this](const std::string& source, const AppleEventDescriptor* event,
                   platform::ScriptErrorInfo* error) -> std::optional<AppleEventDescriptor> {
            if (event != nullptr) {
                handlerCalls.push_back(*event);
            }
            if (const auto found = scriptResults.find(source); found != scriptResults.end()) {
                return found->second;
            }
            if (error != nullptr) {
                (*error)[platform::NSAppleScriptErrorNumber] = -2753;
                (*error)[platform::NSAppleScriptErrorMessage] = "The variable x is not defined.";
            }
            return std::nullopt;
        };
    }
    ~RequestFixture() override {
        ConfigDictionaryCacheController::sharedInstance().setDictionaries({});
    }

    static platform::PropertyList connector(std::map<std::string, std::string> entries) {
        platform::PropertyList::Dictionary dictionary;
        for (auto& [key, value] : entries) {
            dictionary[key] = value;
        }
        return dictionary;
    }
    void addApplication(platform::pid_t pid, const std::string& id, const std::string& name) {
        fake.workspace.addRunningApplication({pid, id, name, std::nullopt});
    }
    void setFrontmost(platform::pid_t pid) {
        fake.workspace.frontmost = fake.workspace.runningApplicationWithProcessIdentifier(pid);
    }
    static AppleEventDescriptor list(const std::vector<std::string>& texts) {
        auto result = AppleEventDescriptor::listDescriptor();
        for (const auto& text : texts) {
            result.insertDescriptor(AppleEventDescriptor::descriptorWithString(text), 0);
        }
        return result;
    }

    // Runs the helper's start-up, then forgets what it logged and sent.
    void startHelper() {
        helper = std::make_unique<PendraSandboxHelper>();
        fake.log.entries.clear();
        fake.appleEvents.sent.clear();
        fake.scripting.executions.clear();
        fake.scripting.createdSources.clear();
    }

    std::vector<std::string> debugLines() const {
        std::vector<std::string> lines;
        for (const auto& entry : fake.log.entries) {
            if (!entry.console) {
                EXPECT_EQ(entry.subsystem, kLogSubsystem);
                EXPECT_EQ(entry.category, kLogCategory);
                EXPECT_EQ(entry.level, platform::LogLevel::Debug);
                lines.push_back(entry.message);
            }
        }
        return lines;
    }

    // Checks one autofill reply descriptor by descriptor: class, ID, target bytes, return and
    // transaction IDs, and the record's entries in order, each Unicode text.
    static void expectReply(
        const AppleEventDescriptor& event, const std::string& recipient,
        const std::vector<std::pair<platform::AEKeyword, std::string>>& record) {
        EXPECT_EQ(event.eventClass(), kAutofillReplyEventClass);
        EXPECT_EQ(event.eventID(), kAutofillReplyEventID);
        EXPECT_EQ(event.returnID(), platform::kAutoGenerateReturnID);
        EXPECT_EQ(event.transactionID(), platform::kAnyTransactionID);
        const auto target = event.targetDescriptor();
        ASSERT_TRUE(target);
        EXPECT_EQ(target->descriptorType(), platform::typeApplicationBundleID);
        EXPECT_EQ(std::string(target->data().begin(), target->data().end()), recipient);
        const auto properties = event.paramDescriptorForKeyword(kQuickEntryPropertiesKeyword);
        ASSERT_TRUE(properties);
        ASSERT_EQ(properties->numberOfItems(), static_cast<std::int64_t>(record.size()));
        for (std::size_t i = 0; i < record.size(); ++i) {
            const auto index = static_cast<std::int64_t>(i + 1);
            EXPECT_EQ(properties->keywordForDescriptorAtIndex(index), record[i].first);
            const auto value = properties->descriptorAtIndex(index);
            ASSERT_TRUE(value);
            EXPECT_EQ(value->descriptorType(), platform::typeUnicodeText);
            EXPECT_EQ(value->stringValue(), record[i].second);
        }
    }

    platform::fake::FakePlatform fake;
    platform::ScopedInstall installed{fake.services()};
    std::map<std::string, AppleEventDescriptor> scriptResults;
    std::vector<AppleEventDescriptor> handlerCalls;
    std::unique_ptr<PendraSandboxHelper> helper;
};

}  // namespace pendra::testing
