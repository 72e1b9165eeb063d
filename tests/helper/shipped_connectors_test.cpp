// The connector table that ships with the helper, read through the real property-list reader.
#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "helper/context/application_connector.h"
#include "helper_test_support.h"
#include "platform/property_list.h"
#include "platform/url.h"

namespace pendra {
namespace {

using platform::PropertyList;

const std::string kShippedTable = PENDRA_SOURCE_DIR "/helper/resources/ApplicationConnectors.plist";
const std::string kBundledTable = "/Helper.app/Contents/Resources/ApplicationConnectors.plist";

// Which characters of an AppleScript text lie inside a string literal (quotes included).
std::vector<bool> insideStringLiterals(const std::string& script) {
    std::vector<bool> inside(script.size(), false);
    bool inString = false;
    bool inComment = false;
    for (std::size_t i = 0; i < script.size(); ++i) {
        const char c = script[i];
        if (inComment) {
            inComment = c != '\n';
            continue;
        }
        if (inString) {
            inside[i] = true;
            if (c == '\\' && i + 1 < script.size()) {
                inside[++i] = true;
            } else if (c == '"') {
                inString = false;
            }
            continue;
        }
        if (c == '"') {
            inString = true;
            inside[i] = true;
        } else if (c == '-' && i + 1 < script.size() && script[i + 1] == '-') {
            inComment = true;
        }
    }
    return inside;
}

// The number of items of every list literal that follows a "return" outside string literals.
std::vector<int> returnedListSizes(const std::string& script) {
    const std::vector<bool> inside = insideStringLiterals(script);
    std::vector<int> sizes;
    for (std::size_t at = script.find("return {"); at != std::string::npos;
         at = script.find("return {", at + 1)) {
        if (inside[at]) {
            continue;
        }
        int depth = 0;
        int items = 1;
        for (std::size_t i = at + 7; i < script.size(); ++i) {
            if (inside[i]) {
                continue;
            }
            const char c = script[i];
            if (c == '{' || c == '(') {
                ++depth;
            } else if (c == '}' || c == ')') {
                if (--depth == 0) {
                    break;
                }
            } else if (c == ',' && depth == 1) {
                ++items;
            }
        }
        sizes.push_back(items);
    }
    return sizes;
}

// The application that a script first addresses by its bundle identifier.
std::optional<std::string> firstTellByIdentifier(const std::string& script) {
    const std::string opening = "tell application id \"";
    const std::size_t at = script.find(opening);
    if (at == std::string::npos) {
        return std::nullopt;
    }
    const std::size_t start = at + opening.size();
    return script.substr(start, script.find('"', start) - start);
}

std::string lowercased(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

class ShippedConnectorsTest : public testing::HelperTest {
  protected:
    // The shipped file goes into the fake file manager, where the bundle holds it.
    void SetUp() override {
        std::ifstream shipped(kShippedTable, std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(shipped)),
                                std::istreambuf_iterator<char>());
        fake.files.addFileWithContents(kBundledTable, bytes);
        const auto table = PropertyList::dictionaryWithContentsOfFile(kBundledTable);
        ASSERT_TRUE(table.has_value()) << kShippedTable;
        connectors = *table->dictionaryValue();
    }
    PropertyList::Dictionary connectors;
};

TEST_F(ShippedConnectorsTest, KeysAreLowerCaseAndEveryConnectorIsADictionary) {
    ASSERT_TRUE(connectors.contains(".unknown"));
    for (const auto& [key, connector] : connectors) {
        EXPECT_EQ(key, lowercased(key));
        EXPECT_TRUE(connector.isDictionary()) << key;
        if (const PropertyList* experimental = connector.objectForKey("IsExperimental")) {
            EXPECT_EQ(experimental->type(), PropertyList::Type::Boolean) << key;
        }
    }
    // Browsers without a scripting dictionary are left to the generic script.
    EXPECT_FALSE(connectors.contains("org.mozilla.firefox"));
}

TEST_F(ShippedConnectorsTest, GenericScriptUsesPlaceholdersOnlyInsideStringLiterals) {
    useConnectorTable(connectors);
    const auto source = ApplicationConnector::_appleScriptStringForConnectorWithKey(".unknown");
    ASSERT_TRUE(source.has_value());
    const std::vector<bool> inside = insideStringLiterals(*source);
    int placeholders = 0;
    for (const std::string placeholder : {"CURRENTAPPNAME", "CURRENTBUNDLEID"}) {
        for (std::size_t at = source->find(placeholder); at != std::string::npos;
             at = source->find(placeholder, at + 1)) {
            ++placeholders;
            EXPECT_TRUE(inside[at] && inside[at + placeholder.size() - 1])
                << placeholder << " at " << at;
        }
    }
    EXPECT_GT(placeholders, 0);
}

TEST_F(ShippedConnectorsTest, EveryScriptGuardsAgainstHangsAndReturnsTwoItems) {
    int scripts = 0;
    for (const auto& [key, connector] : connectors) {
        SCOPED_TRACE(key);
        const PropertyList* script = connector.objectForKey("AppleScriptUsingBundleID");
        if (script == nullptr) {
            script = connector.objectForKey("AppleScript");
        }
        if (script == nullptr) {
            continue;
        }
        ++scripts;
        ASSERT_NE(script->stringValue(), nullptr);
        const std::string& source = *script->stringValue();
        EXPECT_NE(source.find("with timeout of "), std::string::npos);
        EXPECT_NE(source.find("end timeout"), std::string::npos);
        const std::vector<int> sizes = returnedListSizes(source);
        ASSERT_FALSE(sizes.empty());
        for (int size : sizes) {
            EXPECT_EQ(size, 2);
        }
        // The final statement hands back the result.
        const std::size_t lastLine = source.find_last_of('\n');
        EXPECT_EQ(source.compare(lastLine + 1, 8, "return {"), 0);
        // A connector addresses the application that its key names.
        if (connector.objectForKey("AppleScriptUsingBundleID") != nullptr) {
            const auto target = firstTellByIdentifier(source);
            ASSERT_TRUE(target.has_value());
            EXPECT_EQ(lowercased(*target), key);
        }
    }
    EXPECT_GT(scripts, 25);
}

TEST_F(ShippedConnectorsTest, URLConnectorsCallBackWithAHandler) {
    int urlConnectors = 0;
    for (const auto& [key, connector] : connectors) {
        const PropertyList* url = connector.objectForKey("URL");
        const PropertyList* handler = connector.objectForKey("CallbackHandler");
        if (url == nullptr && handler == nullptr) {
            continue;
        }
        SCOPED_TRACE(key);
        ++urlConnectors;
        ASSERT_NE(url, nullptr);
        ASSERT_NE(handler, nullptr);
        EXPECT_EQ(connector.objectForKey("AppleScript"), nullptr);
        EXPECT_EQ(connector.objectForKey("AppleScriptUsingBundleID"), nullptr);
        ASSERT_TRUE(platform::URL::URLWithString(*url->stringValue()).has_value());
        EXPECT_NE(url->stringValue()->find("pendrahelper%3A%2F%2Fquickentry"), std::string::npos);

        const std::string& source = *handler->stringValue();
        EXPECT_EQ(source.rfind("on handle_callback(", 0), 0u);
        EXPECT_NE(source.find("end handle_callback"), std::string::npos);
        EXPECT_THAT(returnedListSizes(source), ::testing::Each(2));
        EXPECT_FALSE(returnedListSizes(source).empty());
    }
    EXPECT_GE(urlConnectors, 1);
}

TEST_F(ShippedConnectorsTest, HelperLoadsTheTableFromItsBundleAndPreparesEveryScript) {
    fake.bundles.main->resources["ApplicationConnectors.plist"] = kBundledTable;

    ApplicationConnector connector;

    std::set<std::string> scripted;
    std::set<std::string> unscripted;
    for (const auto& [key, entry] : connectors) {
        const bool hasScript = entry.objectForKey("AppleScriptUsingBundleID") != nullptr ||
                               entry.objectForKey("AppleScript") != nullptr;
        (hasScript ? scripted : unscripted).insert(key);
    }
    std::set<std::string> compiled;
    for (const auto& [key, script] : connector.compiledScripts()) {
        compiled.insert(key);
    }
    EXPECT_EQ(compiled, scripted);
    EXPECT_EQ(connector.bundleIdentifiersWithoutAppleScriptSupport(), unscripted);
    EXPECT_EQ(fake.scripting.createdSources.size(), scripted.size());
    EXPECT_TRUE(fake.log.console().empty());
}

}  // namespace
}  // namespace pendra
