#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>

#include "platform/fake/fake_file_manager.h"

namespace platform::fake {
namespace {

using ::testing::ElementsAre;

class FakeFileManagerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        files.addFile("/src/App.app/Contents/Info.plist", 10);
        files.addSymbolicLink("/src/App.app/Contents/Link", "Info.plist");
        files.addDirectory("/src/App.app/Contents/Resources");
        // A sibling whose name extends the bundle's; it is no part of its subtree.
        files.addFile("/src/App.app2");
        files.addDirectory("/dst");
    }

    FakeFileManager files;
};

TEST_F(FakeFileManagerTest, CopyDuplicatesTheSubtreeWithNewFileNumbers) {
    const auto sourceNumber = files.item("/src/App.app")->fileNumber;
    Error error;
    ASSERT_TRUE(files.copyItemAtPath("/src/App.app", "/dst/App.app", &error));

    EXPECT_THAT(
        files.subtree("/dst/App.app"),
        ElementsAre("/dst/App.app", "/dst/App.app/Contents", "/dst/App.app/Contents/Info.plist",
                    "/dst/App.app/Contents/Link", "/dst/App.app/Contents/Resources"));
    EXPECT_EQ(files.subtree("/src/App.app").size(), 5u);
    EXPECT_FALSE(files.exists("/dst/App.app2"));
    EXPECT_NE(files.item("/dst/App.app")->fileNumber, sourceNumber);
    EXPECT_EQ(files.item("/dst/App.app/Contents/Info.plist")->size, 10u);
    EXPECT_EQ(files.item("/dst/App.app/Contents/Link")->type, FileType::SymbolicLink);
    EXPECT_THAT(files.operations, ElementsAre("copy /src/App.app -> /dst/App.app"));
}

TEST_F(FakeFileManagerTest, CopyFailsWhenTheDestinationExistsOrTheSourceIsMissing) {
    files.addFile("/dst/App.app");
    const auto before = files.paths();
    Error error;
    EXPECT_FALSE(files.copyItemAtPath("/src/App.app", "/dst/App.app", &error));
    EXPECT_EQ(error, Error::posix(EEXIST, "/dst/App.app"));
    EXPECT_FALSE(files.copyItemAtPath("/src/None.app", "/dst/None.app", &error));
    EXPECT_EQ(error.code, ENOENT);
    EXPECT_FALSE(files.copyItemAtPath("/src/App.app", "/missing/App.app", &error));
    EXPECT_EQ(error.code, ENOENT);
    EXPECT_FALSE(files.copyItemAtPath("/src/App.app", "/src/App.app/Contents/Copy", &error));
    EXPECT_EQ(error.code, EINVAL);
    EXPECT_EQ(files.paths(), before);
    EXPECT_EQ(files.operations.size(), 4u);
}

TEST_F(FakeFileManagerTest, MoveKeepsFileNumbersAndRefusesAnExistingDestination) {
    const auto number = files.item("/src/App.app/Contents/Info.plist")->fileNumber;
    ASSERT_TRUE(files.moveItemAtPath("/src/App.app", "/dst/Moved.app", nullptr));
    EXPECT_TRUE(files.subtree("/src/App.app").empty());
    EXPECT_TRUE(files.exists("/src/App.app2"));
    EXPECT_EQ(files.item("/dst/Moved.app/Contents/Info.plist")->fileNumber, number);

    Error error;
    EXPECT_FALSE(files.moveItemAtPath("/src/App.app2", "/dst/Moved.app", &error));
    EXPECT_EQ(error.code, EEXIST);
    EXPECT_TRUE(files.exists("/src/App.app2"));
}

TEST_F(FakeFileManagerTest, RemoveTakesTheWholeSubtreeAndNeverFollowsALink) {
    files.addSymbolicLink("/dst/ToSource", "/src/App.app");
    ASSERT_TRUE(files.removeItemAtPath("/dst/ToSource", nullptr));
    EXPECT_EQ(files.subtree("/src/App.app").size(), 5u);

    ASSERT_TRUE(files.removeItemAtPath("/src/App.app/", nullptr));
    EXPECT_TRUE(files.subtree("/src/App.app").empty());
    EXPECT_TRUE(files.exists("/src/App.app2"));
    EXPECT_TRUE(files.exists("/src"));

    Error error;
    EXPECT_FALSE(files.removeItemAtPath("/src/App.app", &error));
    EXPECT_EQ(error, Error::posix(ENOENT, "/src/App.app"));
    EXPECT_THAT(files.operations,
                ElementsAre("remove /dst/ToSource", "remove /src/App.app/", "remove /src/App.app"));
}

TEST_F(FakeFileManagerTest, InjectedFailuresChangeNothing) {
    const Error denied = Error::posix(EACCES, "/src/App.app");
    files.failRemove["/src/App.app"] = denied;
    files.failCopy["/dst/Copy.app"] = denied;
    files.failAttributes["/src/App.app2"] = denied;
    files.failCreate["/dst/New"] = denied;
    const auto before = files.paths();

    Error error;
    EXPECT_FALSE(files.removeItemAtPath("/src/App.app", &error));
    EXPECT_EQ(error, denied);
    EXPECT_FALSE(files.copyItemAtPath("/src/App.app", "/dst/Copy.app", &error));
    EXPECT_FALSE(files.createDirectoryAtPath("/dst/New", true, &error));
    EXPECT_FALSE(files.attributesOfItemAtPath("/src/App.app2", &error));
    EXPECT_EQ(files.paths(), before);
    EXPECT_THAT(
        files.operations,
        ElementsAre("remove /src/App.app", "copy /src/App.app -> /dst/Copy.app", "mkdir /dst/New"));
}

TEST_F(FakeFileManagerTest, CreateDirectoryNeedsItsParentUnlessAskedToMakeIt) {
    Error error;
    EXPECT_FALSE(files.createDirectoryAtPath("/dst/a/b", false, &error));
    EXPECT_EQ(error.code, ENOENT);
    EXPECT_FALSE(files.exists("/dst/a"));
    EXPECT_TRUE(files.createDirectoryAtPath("/dst/a/b", true, &error));
    EXPECT_EQ(files.item("/dst/a")->type, FileType::Directory);
    EXPECT_TRUE(files.createDirectoryAtPath("/dst/a/b", false, &error));
    EXPECT_FALSE(files.createDirectoryAtPath("/src/App.app2/x", true, &error));
    EXPECT_EQ(error.code, ENOTDIR);
    EXPECT_FALSE(files.createDirectoryAtPath("/src/App.app2", true, &error));
    EXPECT_EQ(error.code, EEXIST);
}

TEST_F(FakeFileManagerTest, ExchangeSwapsTheTwoSubtrees) {
    files.addFile("/dst/Old.app/Contents/Old");
    const auto oldNumber = files.item("/dst/Old.app")->fileNumber;
    const auto newNumber = files.item("/src/App.app")->fileNumber;
    ASSERT_TRUE(files.exchangeItemAtPath("/dst/Old.app", "/src/App.app", nullptr));
    EXPECT_EQ(files.item("/dst/Old.app")->fileNumber, newNumber);
    EXPECT_EQ(files.item("/src/App.app")->fileNumber, oldNumber);
    EXPECT_TRUE(files.exists("/dst/Old.app/Contents/Info.plist"));
    EXPECT_TRUE(files.exists("/src/App.app/Contents/Old"));
    EXPECT_FALSE(files.exists("/src/App.app/Contents/Info.plist"));
    EXPECT_EQ(files.paths().size(), 11u);

    Error error;
    EXPECT_FALSE(files.exchangeItemAtPath("/dst/Old.app", "/dst/None", &error));
    EXPECT_EQ(error.code, ENOENT);
}

TEST_F(FakeFileManagerTest, ExistenceFollowsLinksAndAttributesDoNot) {
    files.addSymbolicLink("/dst/Dangling", "/nowhere");
    EXPECT_TRUE(files.fileExistsAtPath("/src/App.app/Contents/Link"));
    EXPECT_FALSE(files.fileExistsAtPath("/dst/Dangling"));
    EXPECT_TRUE(files.exists("/dst/Dangling"));

    files.setFileNumber("/dst/Dangling", 77);
    auto attributes = files.attributesOfItemAtPath("/dst/Dangling", nullptr);
    ASSERT_TRUE(attributes);
    EXPECT_EQ(attributes->type, FileType::SymbolicLink);
    EXPECT_EQ(attributes->systemFileNumber, 77u);
    EXPECT_EQ(attributes->systemNumber, files.deviceNumber);
}

TEST_F(FakeFileManagerTest, ContentsAreReadThroughLinksWithinTheBound) {
    files.addFileWithContents("/dst/Info.plist", "<plist/>");
    files.addSymbolicLink("/dst/Link", "Info.plist");
    files.addSymbolicLink("/dst/Loop", "Loop");
    files.failRead["/dst/Locked"] = Error::posix(EACCES, "/dst/Locked");
    files.addFileWithContents("/dst/Locked", "x");
    const std::vector<std::uint8_t> plist = {'<', 'p', 'l', 'i', 's', 't', '/', '>'};
    EXPECT_EQ(files.contentsAtPath("/dst/Info.plist", 8, nullptr), plist);
    EXPECT_EQ(files.contentsAtPath("/dst/Link", 8, nullptr), plist);

    const std::vector<std::pair<std::string, std::uint64_t>> refused = {
        {"/dst/Info.plist", 7}, {"/dst", 100},      {"/", 100},
        {"/dst/None", 100},     {"/dst/Loop", 100}, {"/dst/Locked", 100},
    };
    const std::vector<std::int64_t> codes = {EFBIG, EISDIR, EISDIR, ENOENT, ELOOP, EACCES};
    for (std::size_t i = 0; i < refused.size(); ++i) {
        Error error;
        EXPECT_FALSE(files.contentsAtPath(refused[i].first, refused[i].second, &error));
        EXPECT_EQ(error.code, codes[i]) << refused[i].first;
    }
}

}  // namespace
}  // namespace platform::fake
