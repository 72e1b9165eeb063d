// Bundles as folders on disk: their Info.plist, resources and executable.
#include <gtest/gtest.h>

#include <filesystem>

#include "linux_bundles.h"
#include "test_support.h"

namespace {

using linux_test::makeBundle;
using linux_test::TemporaryFolder;
using platform::PropertyList;
using platform::URL;
using platform::linux_platform::LinuxBundle;
using platform::linux_platform::LinuxBundleService;

TEST(LinuxBundleTest, ReadsItsInfoDictionaryAndFindsItsFiles) {
    TemporaryFolder folder;
    const std::string path = makeBundle(folder.path(), "Tool",
                                        {{"CFBundleIdentifier", "com.example.tool"},
                                         {"CFBundleName", "Tool Name"},
                                         {"CFBundleVersion", "104"}});
    linux_test::writeFile(path + "/Contents/Resources/ApplicationConnectors.plist", "x");
    std::filesystem::create_directories(path + "/Contents/Resources/Scripts");
    linux_test::writeFile(path + "/Contents/Resources/Scripts/run.scpt", "x");

    LinuxBundle bundle(path + "/");
    EXPECT_EQ(bundle.bundlePath(), path);
    EXPECT_EQ(bundle.bundleIdentifier(), "com.example.tool");
    EXPECT_EQ(bundle.objectForInfoDictionaryKey("CFBundleVersion"), PropertyList("104"));
    EXPECT_FALSE(bundle.objectForInfoDictionaryKey("Missing"));
    EXPECT_EQ(bundle.displayName(), "Tool Name");
    EXPECT_EQ(bundle.executablePath(), path + "/Contents/MacOS/Tool");

    EXPECT_EQ(bundle.pathForResource("ApplicationConnectors", "plist", std::nullopt),
              path + "/Contents/Resources/ApplicationConnectors.plist");
    EXPECT_EQ(bundle.pathForResource("ApplicationConnectors.plist", "", std::nullopt),
              path + "/Contents/Resources/ApplicationConnectors.plist");
    EXPECT_EQ(bundle.pathForResource("run", "scpt", "Scripts"),
              path + "/Contents/Resources/Scripts/run.scpt");
    EXPECT_FALSE(bundle.pathForResource("run", "scpt", std::nullopt));
    EXPECT_FALSE(bundle.pathForResource("Missing", "plist", std::nullopt));
    EXPECT_EQ(bundle.pathForAuxiliaryExecutable("Tool"), path + "/Contents/MacOS/Tool");
    EXPECT_FALSE(bundle.pathForAuxiliaryExecutable("Other"));
    EXPECT_FALSE(bundle.pathForAuxiliaryExecutable("../Info.plist"));
}

TEST(LinuxBundleTest, NamesFallBackFromDisplayNameToFolderName) {
    TemporaryFolder folder;
    LinuxBundle both(makeBundle(folder.path(), "Both",
                                {{"CFBundleDisplayName", "Shown"}, {"CFBundleName", "Plain"}}));
    EXPECT_EQ(both.displayName(), "Shown");
    LinuxBundle bare(makeBundle(folder.path(), "Bare Name", {}));
    EXPECT_EQ(bare.displayName(), "Bare Name");
    EXPECT_FALSE(bare.bundleIdentifier());

    std::filesystem::create_directories(folder / "Empty.app");
    LinuxBundle empty(folder / "Empty.app");
    EXPECT_FALSE(empty.bundleIdentifier());
    EXPECT_FALSE(empty.executablePath());
}

TEST(LinuxBundleServiceTest, FindsBundlesFromExecutablesAndURLs) {
    EXPECT_EQ(platform::linux_platform::bundlePathForExecutable("/a/X.app/Contents/MacOS/X"),
              "/a/X.app");
    EXPECT_FALSE(platform::linux_platform::bundlePathForExecutable("/usr/bin/sleep"));
    EXPECT_FALSE(platform::linux_platform::bundlePathForExecutable("/Contents/MacOS/X"));

    // This test program lies outside any bundle: its folder is the main bundle, without an
    // identifier.
    LinuxBundleService bundles;
    auto main = bundles.mainBundle();
    ASSERT_TRUE(main);
    EXPECT_FALSE(main->bundleIdentifier());
    EXPECT_EQ(main->bundlePath(), std::filesystem::canonical("/proc/self/exe").parent_path());
    EXPECT_EQ(bundles.mainBundle(), main);

    TemporaryFolder folder;
    const std::string path = makeBundle(folder.path(), "App", {{"CFBundleIdentifier", "a.b"}});
    auto bundle = bundles.bundleWithURL(URL::fileURLWithPath(path));
    ASSERT_TRUE(bundle);
    EXPECT_EQ(bundle->bundleIdentifier(), "a.b");
    EXPECT_FALSE(bundles.bundleWithURL(URL::fileURLWithPath(folder / "Missing.app")));
    EXPECT_FALSE(bundles.bundleWithURL(*URL::URLWithString("https://example.com/App.app")));
}

}  // namespace
