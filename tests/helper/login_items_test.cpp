#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "install_test_support.h"

namespace pendra::testing {
namespace {

using platform::URL;
using Item = platform::fake::FakeLaunchServices::Item;

constexpr const char* kOtherCopyPath = "/Users/user/Downloads/PendraMacSandboxHelper.app";
constexpr const char* kOtherApplicationPath = "/Applications/Other.app";
constexpr const char* kGonePath = "/Volumes/Gone/PendraMacSandboxHelper.app";

class LoginItemsTest : public HelperFixture {
  protected:
    void SetUp() override {
        HelperFixture::SetUp();
        ownBundle = fake.bundles.main;
        fake.bundles.addBundle(makeBundle(kOtherCopyPath, kHelperIdentifier));
        fake.bundles.addBundle(makeBundle(kOtherApplicationPath, "com.example.Other"));
    }

    void addItem(std::uint64_t id, const std::string& name,
                 const std::optional<std::string>& path) {
        std::optional<URL> url;
        if (path) {
            url = URL::fileURLWithPath(*path);
        }
        fake.launchServices.items.push_back(Item{id, name, url});
    }

    // One entry of each kind: own, another copy of the helper, another application, and one
    // whose file is gone (it once pointed at a copy of the helper).
    void addOneOfEachKind() {
        addItem(1, "Own", kHelperPath);
        addItem(2, "Other copy", kOtherCopyPath);
        addItem(3, "Other application", kOtherApplicationPath);
        addItem(4, "Gone", std::nullopt);
    }

    std::vector<std::uint64_t> remainingIds() const {
        std::vector<std::uint64_t> ids;
        for (const Item& item : fake.launchServices.items) {
            ids.push_back(item.id);
        }
        return ids;
    }

    std::shared_ptr<platform::fake::FakeBundle> ownBundle;
};

TEST_F(LoginItemsTest, RegisteringOnAnEmptyListAppendsOneEntryForTheRunningBundle) {
    helper->registerLoginItem();

    ASSERT_EQ(fake.launchServices.inserted.size(), 1u);
    const Item& item = fake.launchServices.inserted.front();
    EXPECT_EQ(item.displayName, *fake.workspace.current.localizedName);
    EXPECT_EQ(item.resolvesTo, std::optional<URL>(URL::fileURLWithPath(kHelperPath)));
    EXPECT_TRUE(fake.launchServices.removed.empty());
    // Nothing goes to the log from the login items.
    EXPECT_TRUE(fake.log.entries.empty());
}

TEST_F(LoginItemsTest, RegisteringKeepsTheOwnEntryAndRemovesOnlyOtherCopies) {
    addOneOfEachKind();

    helper->registerLoginItem();

    EXPECT_TRUE(fake.launchServices.inserted.empty());
    EXPECT_EQ(fake.launchServices.removed, (std::vector<std::uint64_t>{2}));
    EXPECT_EQ(remainingIds(), (std::vector<std::uint64_t>{1, 3, 4}));
}

TEST_F(LoginItemsTest, RegisteringWithoutOwnEntryRemovesOtherCopyAndAppendsOwnAtTheEnd) {
    addItem(3, "Other application", kOtherApplicationPath);
    addItem(2, "Other copy", kOtherCopyPath);

    helper->registerLoginItem();

    EXPECT_EQ(fake.launchServices.removed, (std::vector<std::uint64_t>{2}));
    ASSERT_EQ(fake.launchServices.items.size(), 2u);
    EXPECT_EQ(fake.launchServices.items[0].id, 3u);
    EXPECT_EQ(fake.launchServices.items[1].resolvesTo,
              std::optional<URL>(URL::fileURLWithPath(kHelperPath)));
}

TEST_F(LoginItemsTest, RegisteringLeavesDuplicateOwnEntriesAlone) {
    addItem(1, "Own", kHelperPath);
    addItem(5, "Own again", kHelperPath);

    helper->registerLoginItem();

    EXPECT_TRUE(fake.launchServices.inserted.empty());
    EXPECT_TRUE(fake.launchServices.removed.empty());
}

TEST_F(LoginItemsTest, UnresolvableEntryIsNeverTouchedAndDoesNotCountAsPresent) {
    addItem(4, "Gone", std::nullopt);

    helper->registerLoginItem();
    EXPECT_EQ(fake.launchServices.inserted.size(), 1u);

    helper->unregisterLoginItem();
    EXPECT_EQ(remainingIds(), (std::vector<std::uint64_t>{4}));
}

TEST_F(LoginItemsTest, UnregisteringRemovesEveryEntryOfTheHelperAndNothingElse) {
    addOneOfEachKind();
    addItem(5, "Own again", kHelperPath);

    helper->unregisterLoginItem();

    EXPECT_EQ(fake.launchServices.removed, (std::vector<std::uint64_t>{1, 2, 5}));
    EXPECT_EQ(remainingIds(), (std::vector<std::uint64_t>{3, 4}));
    EXPECT_TRUE(fake.launchServices.inserted.empty());
}

TEST_F(LoginItemsTest, UnregisteringAnEmptyListChangesNothing) {
    helper->unregisterLoginItem();

    EXPECT_TRUE(fake.launchServices.removed.empty());
    EXPECT_TRUE(fake.launchServices.inserted.empty());
    EXPECT_EQ(fake.launchServices.listsCreated, 1);
}

TEST_F(LoginItemsTest, AListThatCannotBeCreatedLeavesEverythingAsItIs) {
    addOneOfEachKind();
    fake.launchServices.createFails = true;

    helper->registerLoginItem();
    helper->unregisterLoginItem();

    EXPECT_TRUE(fake.launchServices.removed.empty());
    EXPECT_TRUE(fake.launchServices.inserted.empty());
    EXPECT_EQ(remainingIds(), (std::vector<std::uint64_t>{1, 2, 3, 4}));
}

TEST_F(LoginItemsTest, OwnEntryNeedsTheHelpersExactIdentifierAtItsOwnURL) {
    const platform::LSSharedFileListRef list =
        fake.launchServices.LSSharedFileListCreate(platform::kLSSharedFileListSessionLoginItems);

    // Another copy of the helper is not the own entry.
    addItem(2, "Other copy", kOtherCopyPath);
    EXPECT_FALSE(helper->loginItemExistsForPendraHelperWithLoginItemsList(list));

    // The own URL, but the bundle there now answers another identifier (case counts).
    ownBundle->identifier = "com.orvano.pendramacsandboxhelper";
    addItem(1, "Own", kHelperPath);
    EXPECT_FALSE(helper->loginItemExistsForPendraHelperWithLoginItemsList(list));

    ownBundle->identifier = kHelperIdentifier;
    EXPECT_TRUE(helper->loginItemExistsForPendraHelperWithLoginItemsList(list));
}

TEST_F(LoginItemsTest, SparingTheOwnBundleIsDecidedByURLNotByIdentifier) {
    addOneOfEachKind();
    const platform::LSSharedFileListRef list =
        fake.launchServices.LSSharedFileListCreate(platform::kLSSharedFileListSessionLoginItems);

    helper->disableLoginItemsForPendraHelperWithLoginItemsList(list, true);
    EXPECT_EQ(remainingIds(), (std::vector<std::uint64_t>{1, 3, 4}));

    helper->disableLoginItemsForPendraHelperWithLoginItemsList(list, false);
    EXPECT_EQ(remainingIds(), (std::vector<std::uint64_t>{3, 4}));
}

}  // namespace
}  // namespace pendra::testing
