#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <cstring>
#include <tuple>

#include "linux_file_manager.h"
#include "test_support.h"

namespace {

using linux_test::itemExists;
using linux_test::modeOf;
using linux_test::readFile;
using linux_test::TemporaryFolder;
using linux_test::writeFile;
using platform::Error;
using platform::FileType;

class LinuxFileManagerTest : public ::testing::Test {
  protected:
    platform::linux_platform::LinuxFileManager files;
    TemporaryFolder folder;
};

TEST_F(LinuxFileManagerTest, ExistenceFollowsLinksAndADanglingLinkIsAbsent) {
    writeFile(folder / "file", "x");
    ASSERT_EQ(::symlink("file", (folder / "good link").c_str()), 0);
    ASSERT_EQ(::symlink("missing", (folder / "dangling").c_str()), 0);

    EXPECT_TRUE(files.fileExistsAtPath(folder / "file"));
    EXPECT_TRUE(files.fileExistsAtPath(folder.path()));
    EXPECT_TRUE(files.fileExistsAtPath(folder / "good link"));
    EXPECT_FALSE(files.fileExistsAtPath(folder / "dangling"));
    EXPECT_FALSE(files.fileExistsAtPath(folder / "nothing"));
    EXPECT_FALSE(files.fileExistsAtPath(""));
}

TEST_F(LinuxFileManagerTest, ContentsAreReadThroughLinksWithinTheBound) {
    writeFile(folder / "file", "12345");
    ASSERT_EQ(::symlink("file", (folder / "link").c_str()), 0);
    // A FIFO with no writer would block a reader that opened it to wait.
    ASSERT_EQ(::mkfifo((folder / "fifo").c_str(), 0600), 0);
    const std::vector<std::uint8_t> bytes = {'1', '2', '3', '4', '5'};
    EXPECT_EQ(files.contentsAtPath(folder / "file", 5, nullptr), bytes);
    EXPECT_EQ(files.contentsAtPath(folder / "link", 5, nullptr), bytes);

    const std::vector<std::tuple<std::string, std::uint64_t, int>> refused = {
        {folder / "file", 4, EFBIG},
        {folder.path(), 100, EISDIR},
        {folder / "fifo", 100, EINVAL},
        {folder / "nothing", 100, ENOENT},
    };
    for (const auto& [path, bound, code] : refused) {
        Error error;
        EXPECT_FALSE(files.contentsAtPath(path, bound, &error));
        EXPECT_EQ(error.code, code) << path;
    }
}

TEST_F(LinuxFileManagerTest, AttributesDescribeTheItemItself) {
    writeFile(folder / "file", "12345");
    ::chmod((folder / "file").c_str(), 0640);
    ASSERT_EQ(::symlink("file", (folder / "link").c_str()), 0);
    struct stat status {};
    ::lstat((folder / "file").c_str(), &status);

    Error error;
    auto file = files.attributesOfItemAtPath(folder / "file", &error);
    ASSERT_TRUE(file);
    EXPECT_EQ(file->systemFileNumber, status.st_ino);
    EXPECT_EQ(file->systemNumber, status.st_dev);
    EXPECT_EQ(file->type, FileType::Regular);
    EXPECT_EQ(file->size, 5u);
    EXPECT_EQ(file->posixPermissions, 0640u);

    auto link = files.attributesOfItemAtPath(folder / "link", &error);
    ASSERT_TRUE(link);
    EXPECT_EQ(link->type, FileType::SymbolicLink);
    EXPECT_NE(link->systemFileNumber, status.st_ino);

    auto directory = files.attributesOfItemAtPath(folder.path(), &error);
    ASSERT_TRUE(directory);
    EXPECT_EQ(directory->type, FileType::Directory);

    EXPECT_FALSE(files.attributesOfItemAtPath(folder / "missing", &error));
    EXPECT_EQ(error, Error::posix(ENOENT, folder / "missing"));
}

TEST_F(LinuxFileManagerTest, CreatesFoldersWithAndWithoutParents) {
    Error error;
    EXPECT_FALSE(files.createDirectoryAtPath(folder / "a/b/c", false, &error));
    EXPECT_EQ(error, Error::posix(ENOENT, folder / "a/b/c"));
    EXPECT_FALSE(itemExists(folder / "a"));

    EXPECT_TRUE(files.createDirectoryAtPath(folder / "a/b/c", true, &error));
    EXPECT_TRUE(std::filesystem::is_directory(folder / "a/b/c"));
    // An existing folder is no error, with or without parents.
    EXPECT_TRUE(files.createDirectoryAtPath(folder / "a/b/c", true, &error));
    EXPECT_TRUE(files.createDirectoryAtPath(folder / "a/b", false, &error));

    writeFile(folder / "file", "");
    EXPECT_FALSE(files.createDirectoryAtPath(folder / "file", false, &error));
    EXPECT_EQ(error.code, EEXIST);
    EXPECT_FALSE(files.createDirectoryAtPath(folder / "file/below", true, &error));
    EXPECT_EQ(error.code, ENOTDIR);
}

TEST_F(LinuxFileManagerTest, DeletingATreeNeverFollowsLinks) {
    TemporaryFolder outside;
    writeFile(outside / "keep", "precious");
    std::filesystem::create_directories(folder / "tree/sub/deeper");
    writeFile(folder / "tree/sub/deeper/file", "x");
    ASSERT_EQ(::symlink(outside.path().c_str(), (folder / "tree/sub/to outside").c_str()), 0);
    ASSERT_EQ(::symlink((outside / "keep").c_str(), (folder / "tree/file link").c_str()), 0);
    ::chmod((folder / "tree/sub/deeper").c_str(), 0555);  // read-only folders go too

    Error error;
    EXPECT_TRUE(files.removeItemAtPath(folder / "tree", &error));
    EXPECT_FALSE(itemExists(folder / "tree"));
    EXPECT_EQ(readFile(outside / "keep"), "precious");
}

TEST_F(LinuxFileManagerTest, DeletingALinkRemovesOnlyTheLinkEvenWithATrailingSeparator) {
    TemporaryFolder outside;
    writeFile(outside / "keep", "precious");
    ASSERT_EQ(::symlink(outside.path().c_str(), (folder / "link").c_str()), 0);

    Error error;
    EXPECT_TRUE(files.removeItemAtPath(folder / "link/", &error));
    EXPECT_FALSE(itemExists(folder / "link"));
    EXPECT_EQ(readFile(outside / "keep"), "precious");
}

TEST_F(LinuxFileManagerTest, DeletingAMissingItemReportsItsPath) {
    Error error;
    EXPECT_FALSE(files.removeItemAtPath(folder / "missing", &error));
    EXPECT_EQ(error, Error::posix(ENOENT, folder / "missing"));
    EXPECT_FALSE(files.removeItemAtPath(folder / "missing", nullptr));
}

TEST_F(LinuxFileManagerTest, CopyKeepsContentsModesAndLinks) {
    std::filesystem::create_directories(folder / "App.app/Contents/MacOS");
    writeFile(folder / "App.app/Contents/MacOS/App", "#!/bin/sh\n");
    ::chmod((folder / "App.app/Contents/MacOS/App").c_str(), 0751);
    writeFile(folder / "App.app/Contents/Info.plist", "plist");
    ::chmod((folder / "App.app/Contents/Info.plist").c_str(), 0604);
    ASSERT_EQ(::symlink("MacOS/App", (folder / "App.app/Contents/current").c_str()), 0);
    ASSERT_EQ(::symlink("nowhere", (folder / "App.app/Contents/dangling").c_str()), 0);
    ::chmod((folder / "App.app/Contents/MacOS").c_str(), 0555);
    ::chmod((folder / "App.app").c_str(), 0710);

    Error error;
    ASSERT_TRUE(files.copyItemAtPath(folder / "App.app", folder / "Copy.app", &error))
        << error.description();
    EXPECT_EQ(readFile(folder / "Copy.app/Contents/MacOS/App"), "#!/bin/sh\n");
    EXPECT_EQ(modeOf(folder / "Copy.app/Contents/MacOS/App"), 0751u);
    EXPECT_EQ(modeOf(folder / "Copy.app/Contents/Info.plist"), 0604u);
    EXPECT_EQ(modeOf(folder / "Copy.app/Contents/MacOS"), 0555u);
    EXPECT_EQ(modeOf(folder / "Copy.app"), 0710u);
    EXPECT_EQ(std::filesystem::read_symlink(folder / "Copy.app/Contents/current"), "MacOS/App");
    EXPECT_EQ(std::filesystem::read_symlink(folder / "Copy.app/Contents/dangling"), "nowhere");
    // The copy is separate from its source.
    writeFile(folder / "App.app/Contents/Info.plist", "changed");
    EXPECT_EQ(readFile(folder / "Copy.app/Contents/Info.plist"), "plist");
}

TEST_F(LinuxFileManagerTest, CopyFailsWhenTheDestinationExistsAndLeavesItAlone) {
    writeFile(folder / "source", "new");
    writeFile(folder / "destination", "old");
    ASSERT_EQ(::symlink("missing", (folder / "dangling").c_str()), 0);

    Error error;
    EXPECT_FALSE(files.copyItemAtPath(folder / "source", folder / "destination", &error));
    EXPECT_EQ(error, Error::posix(EEXIST, folder / "destination"));
    EXPECT_EQ(readFile(folder / "destination"), "old");
    // Even a dangling link occupies the destination.
    EXPECT_FALSE(files.copyItemAtPath(folder / "source", folder / "dangling", &error));
    EXPECT_EQ(error.code, EEXIST);
}

TEST_F(LinuxFileManagerTest, FailedCopiesLeaveNothingBehind) {
    Error error;
    EXPECT_FALSE(files.copyItemAtPath(folder / "missing", folder / "copy", &error));
    EXPECT_EQ(error, Error::posix(ENOENT, folder / "missing"));
    EXPECT_FALSE(itemExists(folder / "copy"));

    // A socket cannot be copied; the half-made tree goes again.
    std::filesystem::create_directories(folder / "tree/a");
    writeFile(folder / "tree/a/file", "x");
    int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string socketPath = folder / "tree/zz.socket";
    ASSERT_LT(socketPath.size(), sizeof address.sun_path);
    std::strcpy(address.sun_path, socketPath.c_str());
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_FALSE(files.copyItemAtPath(folder / "tree", folder / "copy", &error));
    EXPECT_EQ(error.code, ENOTSUP);
    EXPECT_FALSE(itemExists(folder / "copy"));
    ::close(listener);

    std::filesystem::create_directories(folder / "self");
    EXPECT_FALSE(files.copyItemAtPath(folder / "self", folder / "self/inside", &error));
    EXPECT_FALSE(itemExists(folder / "self/inside"));
}

// Both with the file system's own flags and as on one that refuses them (network and user-space
// file systems), which the test switch stands for.
class LinuxFileManagerRenameTest : public LinuxFileManagerTest,
                                   public ::testing::WithParamInterface<bool> {
  protected:
    LinuxFileManagerRenameTest() {
        environment.set(platform::linux_platform::kNoRenameFlagsVariable,
                        GetParam() ? std::optional<std::string>("1") : std::nullopt);
    }
    linux_test::ScopedEnvironment environment;
};

TEST_P(LinuxFileManagerRenameTest, MoveRefusesToReplace) {
    std::filesystem::create_directories(folder / "from/inner");
    writeFile(folder / "from/inner/file", "moved");
    writeFile(folder / "occupied", "old");
    std::filesystem::create_directories(folder / "empty folder");

    Error error;
    for (const char* taken : {"occupied", "empty folder"}) {
        EXPECT_FALSE(files.moveItemAtPath(folder / "from", folder / taken, &error)) << taken;
        EXPECT_EQ(error.code, EEXIST);
    }
    EXPECT_EQ(readFile(folder / "occupied"), "old");
    EXPECT_TRUE(itemExists(folder / "from/inner/file"));

    EXPECT_TRUE(files.moveItemAtPath(folder / "from", folder / "to", &error));
    EXPECT_EQ(readFile(folder / "to/inner/file"), "moved");
    EXPECT_FALSE(itemExists(folder / "from"));

    EXPECT_FALSE(files.moveItemAtPath(folder / "from", folder / "again", &error));
    EXPECT_EQ(error, Error::posix(ENOENT, folder / "from"));
}

TEST_P(LinuxFileManagerRenameTest, ExchangeSwapsTwoItemsAndLeavesNothingAside) {
    std::filesystem::create_directories(folder / "old.app");
    writeFile(folder / "old.app/version", "1");
    std::filesystem::create_directories(folder / "new.app");
    writeFile(folder / "new.app/version", "2");

    Error error;
    ASSERT_TRUE(files.exchangeItemAtPath(folder / "old.app", folder / "new.app", &error));
    EXPECT_EQ(readFile(folder / "old.app/version"), "2");
    EXPECT_EQ(readFile(folder / "new.app/version"), "1");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path()),
                            std::filesystem::directory_iterator()),
              2);

    EXPECT_FALSE(files.exchangeItemAtPath(folder / "old.app", folder / "missing", &error));
    EXPECT_EQ(error, Error::posix(ENOENT, folder / "missing"));
    EXPECT_EQ(readFile(folder / "old.app/version"), "2");

    // The three renames never replace an item set aside by an exchange cut short.
    if (GetParam()) {
        const std::string aside =
            platform::FileManager::exchangeAsidePathForPath(folder / "new.app");
        std::filesystem::create_directories(aside);
        writeFile(aside + "/version", "set aside");
        EXPECT_FALSE(files.exchangeItemAtPath(folder / "old.app", folder / "new.app", &error));
        EXPECT_EQ(error.code, EEXIST);
        EXPECT_EQ(readFile(folder / "old.app/version"), "2");
        EXPECT_EQ(readFile(folder / "new.app/version"), "1");
        EXPECT_EQ(readFile(aside + "/version"), "set aside");
    }
}

INSTANTIATE_TEST_SUITE_P(WithAndWithoutRenameFlags, LinuxFileManagerRenameTest, ::testing::Bool());

TEST_F(LinuxFileManagerTest, ALockOnAFolderHoldsOffAnotherUntilReleased) {
    Error error;
    auto first = files.lockItemAtPath(folder.path(), &error);
    ASSERT_NE(first, nullptr) << error.description();
    EXPECT_EQ(files.lockItemAtPath(folder.path() + "/", &error), nullptr);
    EXPECT_EQ(error.code, EWOULDBLOCK);
    first.reset();
    EXPECT_NE(files.lockItemAtPath(folder.path(), &error), nullptr);
    EXPECT_EQ(files.lockItemAtPath(folder / "missing", &error), nullptr);
    EXPECT_EQ(error.code, ENOENT);
}

TEST_F(LinuxFileManagerTest, ResolvingLinksGivesTheRealPathAndKeepsAMissingTail) {
    std::filesystem::create_directories(folder / "real/inner");
    ASSERT_EQ(::symlink((folder / "real").c_str(), (folder / "link").c_str()), 0);
    ASSERT_EQ(::symlink("inner", (folder / "real/relative").c_str()), 0);
    const std::string real = files.stringByResolvingSymlinksInPath(folder.path());

    EXPECT_EQ(files.stringByResolvingSymlinksInPath(folder / "link/./relative/"),
              real + "/real/inner");
    EXPECT_EQ(files.stringByResolvingSymlinksInPath(folder / "link/missing/../gone/x.app"),
              real + "/real/gone/x.app");
    EXPECT_EQ(files.stringByResolvingSymlinksInPath("relative/path"), "relative/path");

    Error error;
    auto names = files.contentsOfDirectoryAtPath(folder / "link", &error);
    ASSERT_TRUE(names);
    std::sort(names->begin(), names->end());
    EXPECT_EQ(*names, (std::vector<std::string>{"inner", "relative"}));
    EXPECT_FALSE(files.contentsOfDirectoryAtPath(folder / "missing", &error));
    EXPECT_EQ(error, Error::posix(ENOENT, folder / "missing"));
}

TEST_F(LinuxFileManagerTest, PathsFromRawBytesAreTakenAsTheyAre) {
    const char bytes[] = "/tmp/Caf\xc3\xa9 \xff name";
    EXPECT_EQ(files.stringWithFileSystemRepresentation(bytes, std::strlen(bytes)),
              std::string(bytes));
}

}  // namespace
