// The assembled helper bundle: its layout and what its Info.plist promises the system.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/property_list.h"

namespace {

const std::string kHelperApp = std::string(PENDRA_BUNDLE_DIR) + "/PendraMacSandboxHelper.app";

bool isExecutableFile(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
           (status.st_mode & S_IXUSR) != 0;
}

// A dictionary file of the bundle, read by the test itself: it installs no platform.
platform::PropertyList readInfo(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(file)),
                            std::istreambuf_iterator<char>());
    auto info = platform::PropertyList::readFromBytes(
        {reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
    EXPECT_TRUE(info && info->isDictionary()) << path;
    return info.value_or(platform::PropertyList());
}

std::string stringFor(const platform::PropertyList& info, const std::string& key) {
    const platform::PropertyList* value = info.objectForKey(key);
    return value && value->stringValue() ? *value->stringValue() : std::string("<missing>");
}

TEST(BundleLayout, HoldsTheHelperItsToolsAndTheConnectorTable) {
    EXPECT_TRUE(isExecutableFile(kHelperApp + "/Contents/MacOS/PendraMacSandboxHelper"));
    EXPECT_TRUE(isExecutableFile(kHelperApp + "/Contents/MacOS/PendraSandboxHelperRemoveTool"));
    EXPECT_TRUE(isExecutableFile(kHelperApp + "/Contents/MacOS/PendraSandboxHelperServicesTool"));
    EXPECT_TRUE(isExecutableFile(kHelperApp +
                                 "/Contents/MacOS/PendraSandboxHelperRelaunchTool.app/Contents/"
                                 "MacOS/PendraSandboxHelperRelaunchTool"));
    const auto connectors =
        readInfo(kHelperApp + "/Contents/Resources/ApplicationConnectors.plist");
    EXPECT_NE(connectors.objectForKey(".unknown"), nullptr);
}

TEST(BundleLayout, HelperInfoDeclaresIdentityVersionServiceAndUrlScheme) {
    platform::PropertyList info = readInfo(kHelperApp + "/Contents/Info.plist");
    EXPECT_EQ(stringFor(info, "CFBundleIdentifier"), "com.orvano.PendraMacSandboxHelper");
    EXPECT_EQ(stringFor(info, "CFBundleExecutable"), "PendraMacSandboxHelper");
    EXPECT_EQ(stringFor(info, "CFBundleVersion"), std::to_string(PENDRA_BUNDLE_VERSION));
    ASSERT_NE(info.objectForKey("LSUIElement"), nullptr);
    EXPECT_TRUE(info.objectForKey("LSUIElement")->boolValue());

    const platform::PropertyList* urlTypes = info.objectForKey("CFBundleURLTypes");
    ASSERT_TRUE(urlTypes && urlTypes->arrayValue() && !urlTypes->arrayValue()->empty());
    const platform::PropertyList* schemes =
        urlTypes->arrayValue()->front().objectForKey("CFBundleURLSchemes");
    ASSERT_TRUE(schemes && schemes->arrayValue());
    EXPECT_EQ(*schemes->arrayValue(), platform::PropertyList::Array{"pendrahelper"});

    const platform::PropertyList* services = info.objectForKey("NSServices");
    ASSERT_TRUE(services && services->arrayValue() && services->arrayValue()->size() == 1);
    const platform::PropertyList& service = services->arrayValue()->front();
    EXPECT_EQ(stringFor(service, "NSMessage"), "quickEntryWithAutofill");
    const platform::PropertyList* sendTypes = service.objectForKey("NSSendTypes");
    ASSERT_TRUE(sendTypes && sendTypes->arrayValue());
    EXPECT_NE(std::find(sendTypes->arrayValue()->begin(), sendTypes->arrayValue()->end(),
                        platform::PropertyList("NSStringPboardType")),
              sendTypes->arrayValue()->end());
}

TEST(BundleLayout, RelaunchToolIsAnApplicationBundleOfItsOwn) {
    platform::PropertyList info = readInfo(
        kHelperApp + "/Contents/MacOS/PendraSandboxHelperRelaunchTool.app/Contents/Info.plist");
    EXPECT_EQ(stringFor(info, "CFBundleExecutable"), "PendraSandboxHelperRelaunchTool");
    const std::string identifier = stringFor(info, "CFBundleIdentifier");
    EXPECT_NE(identifier, "<missing>");
    EXPECT_NE(identifier, "com.orvano.PendraMacSandboxHelper");
}

}  // namespace
