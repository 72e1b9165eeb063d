#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/fake/fake_launch_services.h"

namespace platform::fake {
namespace {

using ::testing::ElementsAre;
using ::testing::Field;

std::vector<std::uint64_t> ids(const std::vector<LSSharedFileListItem>& items) {
    std::vector<std::uint64_t> result;
    for (const auto& item : items) {
        result.push_back(item.identifier);
    }
    return result;
}

class FakeLaunchServicesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        services.items.push_back({4, "Four", URL::fileURLWithPath("/Applications/Four.app")});
        services.items.push_back({9, "Broken", std::nullopt});
        services.items.push_back({2, "Two", URL::fileURLWithPath("/Applications/Two.app")});
    }

    FakeLaunchServices services;
};

TEST_F(FakeLaunchServicesTest, SnapshotStaysAsTakenWhileItemsAreRemoved) {
    auto list = services.LSSharedFileListCreate(kLSSharedFileListSessionLoginItems);
    ASSERT_TRUE(list);
    auto snapshot = services.LSSharedFileListCopySnapshot(list);
    EXPECT_THAT(ids(snapshot), ElementsAre(4u, 9u, 2u));

    EXPECT_EQ(services.LSSharedFileListItemRemove(list, snapshot[0]), noErr);
    std::optional<URL> url;
    // A later item of the old snapshot still identifies its entry.
    EXPECT_EQ(services.LSSharedFileListItemResolve(list, snapshot[2], 0, &url), noErr);
    EXPECT_EQ(url, URL::fileURLWithPath("/Applications/Two.app"));
    // The removed one no longer resolves, and removing it again fails.
    EXPECT_NE(services.LSSharedFileListItemResolve(list, snapshot[0], 0, &url), noErr);
    EXPECT_FALSE(url);
    EXPECT_NE(services.LSSharedFileListItemRemove(list, snapshot[0]), noErr);

    EXPECT_THAT(ids(services.LSSharedFileListCopySnapshot(list)), ElementsAre(9u, 2u));
    EXPECT_THAT(services.removed, ElementsAre(4u, 4u));
}

TEST_F(FakeLaunchServicesTest, UnresolvableItemAnswersAnErrorAndNoURL) {
    auto list = services.LSSharedFileListCreate(kLSSharedFileListSessionLoginItems);
    std::optional<URL> url = URL::fileURLWithPath("/stale");
    EXPECT_EQ(services.LSSharedFileListItemResolve(list, {9, "Broken"}, 0, &url), fnfErr);
    EXPECT_FALSE(url);
}

TEST_F(FakeLaunchServicesTest, InsertAppendsWithAnIdNeverUsedBefore) {
    auto list = services.LSSharedFileListCreate(kLSSharedFileListSessionLoginItems);
    services.LSSharedFileListItemRemove(list, {9, "Broken"});
    auto url = URL::fileURLWithPath("/Applications/Helper.app");
    auto inserted =
        services.LSSharedFileListInsertItemURL(list, kLSSharedFileListItemLast, "Helper", url);
    ASSERT_TRUE(inserted);
    EXPECT_GT(inserted->identifier, 9u);
    EXPECT_THAT(services.items,
                ElementsAre(Field(&FakeLaunchServices::Item::id, 4u),
                            Field(&FakeLaunchServices::Item::id, 2u),
                            Field(&FakeLaunchServices::Item::id, inserted->identifier)));
    EXPECT_EQ(services.items.back().resolvesTo, url);
    ASSERT_EQ(services.inserted.size(), 1u);
    EXPECT_EQ(services.inserted[0].displayName, "Helper");

    services.LSSharedFileListInsertItemURL(list, SharedFileListInsertPosition::First, "First", url);
    EXPECT_EQ(services.items.front().displayName, "First");
}

TEST_F(FakeLaunchServicesTest, CountsListsMadeAndReleased) {
    {
        auto list = services.LSSharedFileListCreate(kLSSharedFileListSessionLoginItems);
        EXPECT_EQ(services.listsReleased(), 0);
    }
    EXPECT_EQ(services.listsReleased(), 1);
    services.createFails = true;
    EXPECT_FALSE(services.LSSharedFileListCreate(kLSSharedFileListSessionLoginItems));
    EXPECT_EQ(services.listsCreated, 2);
}

}  // namespace
}  // namespace platform::fake
