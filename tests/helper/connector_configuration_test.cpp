// The shared property-list cache and the lookups into the connector table.
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "helper/context/application_connector.h"
#include "helper/context/config_dictionary_cache_controller.h"
#include "helper_test_support.h"

namespace pendra {
namespace {

using platform::PropertyList;

constexpr const char* kTableXML = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>com.example.editor</key>
	<dict>
		<key>AppleScript</key>
		<string>return {"a", "b"}</string>
	</dict>
</dict>
</plist>
)";

// Resources in the fake file manager, handed to the main bundle of the fake platform.
class ConfigDictionaryCacheTest : public testing::HelperTest {
  protected:
    std::string writeResource(const std::string& fileName, const std::string& contents) {
        const std::string path = "/Helper.app/Contents/Resources/" + fileName;
        fake.files.addFileWithContents(path, contents);
        fake.bundles.main->resources[fileName] = path;
        return path;
    }

    static ConfigDictionaryCacheController& cache() {
        return ConfigDictionaryCacheController::sharedInstance();
    }
};

TEST_F(ConfigDictionaryCacheTest, SecondReadIsServedFromMemory) {
    const std::string path = writeResource("ApplicationConnectors.plist", kTableXML);

    const auto first = cache().dictForKey("ApplicationConnectors");
    ASSERT_NE(first, nullptr);
    ASSERT_NE(first->objectForKey("com.example.editor"), nullptr);
    ASSERT_TRUE(fake.files.removeItemAtPath(path, nullptr));
    const auto second = cache().dictForKey("ApplicationConnectors");

    EXPECT_EQ(second.get(), first.get());
    EXPECT_EQ(&ConfigDictionaryCacheController::sharedInstance(), &cache());
}

TEST_F(ConfigDictionaryCacheTest, FailedReadIsTriedAgain) {
    writeResource("ApplicationConnectors.plist", "<plist><dict><key>broken");
    EXPECT_EQ(cache().dictForKey("ApplicationConnectors"), nullptr);
    EXPECT_FALSE(cache().dictionaries().contains("ApplicationConnectors"));

    writeResource("ApplicationConnectors.plist", kTableXML);
    const auto repaired = cache().dictForKey("ApplicationConnectors");
    ASSERT_NE(repaired, nullptr);
    EXPECT_NE(repaired->objectForKey("com.example.editor"), nullptr);
}

TEST_F(ConfigDictionaryCacheTest, MissingResourceOrOtherRootGivesNothing) {
    EXPECT_EQ(cache().dictForKey("ApplicationConnectors"), nullptr);

    writeResource("List.plist",
                  R"(<?xml version="1.0" encoding="UTF-8"?><plist version="1.0"><array>)"
                  R"(<string>a</string></array></plist>)");
    EXPECT_EQ(cache().dictForKey("List"), nullptr);
    EXPECT_TRUE(cache().dictionaries().empty());
    // Neither case is worth a console line: only a missing name is.
    EXPECT_TRUE(fake.log.console().empty());
}

TEST_F(ConfigDictionaryCacheTest, ResourceURLSplitsNameAndType) {
    const std::string path = writeResource("Scripts/Generic.applescript", "return {}");

    const auto url =
        cache()._urlForResourceFromMainBundleWithName("Generic.applescript", "Scripts");
    ASSERT_TRUE(url.has_value());
    EXPECT_EQ(url->path(), path);
    EXPECT_FALSE(cache()
                     ._urlForResourceFromMainBundleWithName("Generic.applescript", std::nullopt)
                     .has_value());
}

TEST_F(ConfigDictionaryCacheTest, MissingNameIsLoggedWithItsDirectory) {
    EXPECT_FALSE(
        cache()._urlForResourceFromMainBundleWithName(std::nullopt, "Scripts").has_value());
    EXPECT_FALSE(
        cache()._urlForResourceFromMainBundleWithName(std::nullopt, std::nullopt).has_value());

    EXPECT_THAT(
        fake.log.console(),
        ::testing::ElementsAre(
            "[urlForResourceFromMainBundleWithName] resourceName == nil!, directory: Scripts",
            "[urlForResourceFromMainBundleWithName] resourceName == nil!, directory: (null)"));
    EXPECT_TRUE(fake.log.unified().empty());
}

class ConnectorLookupTest : public testing::HelperTest {
  protected:
    ConnectorLookupTest() {
        useConnectorTable({
            {"com.example.both", PropertyList::Dictionary{{"AppleScriptUsingBundleID", "by id"},
                                                          {"AppleScript", "by name"}}},
            {"com.example.plain", PropertyList::Dictionary{{"AppleScript", "by name"}}},
            {"com.example.off",
             PropertyList::Dictionary{{"AppleScript", "x"}, {"IsExperimental", false}}},
            {"com.example.on",
             PropertyList::Dictionary{{"AppleScript", "x"}, {"IsExperimental", true}}},
            {"com.example.callback",
             PropertyList::Dictionary{{"URL", "example://x-callback-url/current?x-success=a"},
                                      {"CallbackHandler", "on handle_callback(p)\nend"},
                                      {"IsExperimental", true}}},
            {"com.example.badurl", PropertyList::Dictionary{{"URL", "not a url"}}},
            {"com.example.notdict", PropertyList("just text")},
        });
    }
};

TEST_F(ConnectorLookupTest, ScriptTextPrefersTheBundleIdentifierForm) {
    EXPECT_EQ(ApplicationConnector::_appleScriptStringForConnectorWithKey("com.example.both"),
              "by id");
    EXPECT_EQ(ApplicationConnector::_appleScriptStringForConnectorWithKey("com.example.plain"),
              "by name");
    EXPECT_EQ(ApplicationConnector::_appleScriptStringForConnectorWithKey("com.example.callback"),
              std::nullopt);
    EXPECT_EQ(ApplicationConnector::_appleScriptStringForConnectorWithKey("com.example.none"),
              std::nullopt);
    EXPECT_EQ(ApplicationConnector::_appleScriptStringForConnectorWithKey("com.example.notdict"),
              std::nullopt);
}

TEST_F(ConnectorLookupTest, ExperimentalOnlyWhenMarkedYes) {
    EXPECT_FALSE(ApplicationConnector::_isConnectorExperimentalForKey("com.example.plain"));
    EXPECT_FALSE(ApplicationConnector::_isConnectorExperimentalForKey("com.example.off"));
    EXPECT_TRUE(ApplicationConnector::_isConnectorExperimentalForKey("com.example.on"));
    EXPECT_FALSE(ApplicationConnector::_isConnectorExperimentalForKey("com.example.none"));
}

TEST_F(ConnectorLookupTest, ClassLookupsMatchExactlyInstanceLookupsLowerCase) {
    ApplicationConnector connector;

    EXPECT_EQ(connector.urlForApplicationWithBundleIdentifier("Com.Example.CallBack"),
              platform::URL::URLWithString("example://x-callback-url/current?x-success=a"));
    EXPECT_EQ(connector.callbackHandlerForApplicationWithBundleIdentifier("COM.EXAMPLE.CALLBACK"),
              "on handle_callback(p)\nend");
    EXPECT_EQ(ApplicationConnector::_appleScriptStringForConnectorWithKey("Com.Example.Plain"),
              std::nullopt);
    EXPECT_FALSE(ApplicationConnector::_isConnectorExperimentalForKey("Com.Example.On"));

    EXPECT_EQ(connector.urlForApplicationWithBundleIdentifier("com.example.plain"), std::nullopt);
    EXPECT_EQ(connector.callbackHandlerForApplicationWithBundleIdentifier("com.example.plain"),
              std::nullopt);
}

TEST_F(ConnectorLookupTest, InvalidURLCountsAsNone) {
    ApplicationConnector connector;
    EXPECT_EQ(connector.urlForApplicationWithBundleIdentifier("com.example.badurl"), std::nullopt);
}

TEST_F(ConnectorLookupTest, WithoutATableEveryLookupIsEmpty) {
    ConfigDictionaryCacheController::sharedInstance().setDictionaries({});
    ApplicationConnector connector;

    EXPECT_EQ(ApplicationConnector::_appleScriptStringForConnectorWithKey("com.example.plain"),
              std::nullopt);
    EXPECT_FALSE(ApplicationConnector::_isConnectorExperimentalForKey("com.example.on"));
    EXPECT_EQ(connector.urlForApplicationWithBundleIdentifier("com.example.callback"),
              std::nullopt);
    EXPECT_EQ(connector.callbackHandlerForApplicationWithBundleIdentifier("com.example.callback"),
              std::nullopt);
    EXPECT_TRUE(connector.compiledScripts().empty());
    EXPECT_TRUE(connector.bundleIdentifiersWithoutAppleScriptSupport().empty());
}

}  // namespace
}  // namespace pendra
