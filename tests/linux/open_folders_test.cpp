// The folder of a file manager's front window as it tells it on the session bus: a stand-in
// file manager on a private bus answers OpenWindowsWithLocations with what each case gives it,
// or leaves the question unanswered.
#include "linux_open_folders.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <thread>

#include "test_support.h"
#include "testing/private_bus.h"

namespace {

using namespace std::chrono_literals;
using platform::linux_platform::BusReader;
using platform::linux_platform::BusWriter;
using platform::linux_platform::DesktopDocument;
using platform::linux_platform::OpenFolders;
using platform::linux_platform::WindowLocations;

constexpr const char* kName = "org.freedesktop.FileManager1";

// A file manager on its own connection and thread, which owns the name while asked to.
class StandInFileManager {
  public:
    explicit StandInFileManager(const std::string& address) {
        if (sd_bus_new(&bus_) < 0 || sd_bus_set_address(bus_, address.c_str()) < 0 ||
            sd_bus_set_bus_client(bus_, 1) < 0 || sd_bus_start(bus_) < 0 ||
            sd_bus_add_object(bus_, nullptr, "/org/freedesktop/FileManager1", &onCall, this) < 0) {
            return;
        }
        thread_ = std::thread([this] {
            while (!stop_) {
                // One connection is used by one thread at a time: the test's own calls on it
                // (taking and letting go the name) wait for the lock.
                std::lock_guard lock(mutex_);
                while (sd_bus_process(bus_, nullptr) > 0) {
                }
                sd_bus_wait(bus_, 20'000);
            }
        });
    }
    ~StandInFileManager() {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
        for (sd_bus_message* call : unanswered_) {
            sd_bus_message_unref(call);
        }
        sd_bus_flush_close_unref(bus_);
    }

    bool ownName(bool own) {
        std::lock_guard lock(mutex_);
        return (own ? sd_bus_request_name(bus_, kName, 0) : sd_bus_release_name(bus_, kName)) >= 0;
    }
    // How it answers: with the list, not at all, with a value of another type, or as a file
    // manager without the property.
    enum class Answer { windows, silence, wrongType, noSuchProperty };
    void answer(WindowLocations windows, Answer how = Answer::windows) {
        std::lock_guard lock(mutex_);
        windows_ = std::move(windows);
        how_ = how;
    }
    int asked() const { return asked_; }
    // Answers the questions it left unanswered, with the list.
    void answerLate() {
        std::lock_guard lock(mutex_);
        for (sd_bus_message* call : unanswered_) {
            sendWindows(call);
            sd_bus_message_unref(call);
        }
        unanswered_.clear();
    }

  private:
    static int onCall(sd_bus_message* call, void* self, sd_bus_error*) {
        auto& manager = *static_cast<StandInFileManager*>(self);
        std::string interface, property;
        if (!sd_bus_message_is_method_call(call, "org.freedesktop.DBus.Properties", "Get") ||
            !(BusReader(call) >> interface >> property) || property != "OpenWindowsWithLocations") {
            return 0;
        }
        ++manager.asked_;
        if (manager.how_ == Answer::silence) {
            manager.unanswered_.push_back(sd_bus_message_ref(call));
            return 1;
        }
        if (manager.how_ == Answer::noSuchProperty) {
            return sd_bus_reply_method_errorf(call, SD_BUS_ERROR_INVALID_ARGS, "No such property");
        }
        if (manager.how_ == Answer::wrongType) {
            auto reply = BusWriter::methodReturn(call);
            reply.open('v', "s") << "/home";
            reply.close();
            return reply.send();
        }
        return manager.sendWindows(call);
    }
    int sendWindows(sd_bus_message* call) {
        auto reply = BusWriter::methodReturn(call);
        reply.open('v', "a{sas}").open('a', "{sas}");
        for (const auto& [window, locations] : windows_) {
            reply.open('e', "sas") << window << locations;
            reply.close();
        }
        reply.close().close();
        return reply.send();
    }

    sd_bus* bus_ = nullptr;
    std::mutex mutex_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int> asked_{0};
    WindowLocations windows_;
    Answer how_ = Answer::windows;
    std::vector<sd_bus_message*> unanswered_;
};

class OpenFoldersTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!bus_.started()) {
            GTEST_SKIP() << bus_.error();
        }
        environment_.set("DBUS_SESSION_BUS_ADDRESS", bus_.address());
        ASSERT_TRUE(manager_.ownName(true));
        std::filesystem::create_directories(folder_.path() + "/Projekt Ordnerä");
    }

    test_support::PrivateBus bus_;
    linux_test::ScopedEnvironment environment_;
    test_support::TemporaryFolder folder_;
    StandInFileManager manager_{bus_.address()};
};

TEST_F(OpenFoldersTest, TheFrontWindowsFolderIsItsFirstLocalLocation) {
    const std::string base = folder_.path();
    const std::string encoded = "file://" + base + "/Projekt%20Ordner%C3%A4";
    struct Case {
        const char* label;
        WindowLocations windows;
        std::string windowPath;
        std::optional<DesktopDocument> folder;
    };
    const std::vector<Case> cases = {
        {"the window's entry, by its path",
         {{"/w/1", {"file:///usr"}}, {"/w/2", {"file:///", "file:///usr"}}},
         "/w/2",
         DesktopDocument{"/", "file:///", "/"}},
        {"one entry, no path known",
         {{"/w/1", {encoded, "file:///usr"}}},
         "",
         DesktopDocument{"Projekt Ordnerä", encoded + "/", base + "/Projekt Ordnerä"}},
        {"with localhost",
         {{"/w/1", {"file://localhost/usr"}}},
         "/w/1",
         DesktopDocument{"usr", "file:///usr/", "/usr"}},
        {"several entries, no path known",
         {{"/w/1", {"file:///"}}, {"/w/2", {"file:///usr"}}},
         "",
         std::nullopt},
        {"a window not listed", {{"/w/1", {"file:///"}}}, "/w/9", std::nullopt},
        {"a window with no location", {{"/w/1", {}}}, "/w/1", std::nullopt},
        {"another scheme", {{"/w/1", {"trash:///", "file:///usr"}}}, "/w/1", std::nullopt},
        {"another machine", {{"/w/1", {"file://elsewhere/usr"}}}, "/w/1", std::nullopt},
        {"a malformed escape", {{"/w/1", {"file:///usr/a%zz"}}}, "/w/1", std::nullopt},
        {"a relative path", {{"/w/1", {"file:usr"}}}, "/w/1", std::nullopt},
        {"a control character", {{"/w/1", {"file:///usr/a%0Ab"}}}, "/w/1", std::nullopt},
    };
    OpenFolders folders(2s);
    for (const auto& each : cases) {
        SCOPED_TRACE(each.label);
        manager_.answer(each.windows);
        const auto folder = folders.frontFolder(::getpid(), each.windowPath);
        ASSERT_EQ(folder.has_value(), each.folder.has_value()) << (folder ? folder->url : "");
        if (folder) {
            EXPECT_EQ(folder->name, each.folder->name);
            EXPECT_EQ(folder->url, each.folder->url);
            EXPECT_EQ(folder->path, each.folder->path);
        }
    }
    manager_.answer({}, StandInFileManager::Answer::wrongType);
    EXPECT_FALSE(folders.frontFolder(::getpid(), ""));
    manager_.answer({{"/w/1", {"file:///usr"}}});
    EXPECT_TRUE(folders.frontFolder(::getpid(), ""));
}

TEST_F(OpenFoldersTest, OnlyAProcessThatHoldsTheNameIsAskedAndWhoHoldsItIsFollowed) {
    manager_.answer({{"/w/1", {"file:///usr"}}});
    OpenFolders folders(2s);
    ASSERT_TRUE(folders.frontFolder(::getpid(), "/w/1"));
    ASSERT_EQ(manager_.asked(), 1);
    // Another process is not the file manager, which is not asked for it.
    EXPECT_FALSE(folders.isFileManager(::getppid()));
    EXPECT_FALSE(folders.frontFolder(::getppid(), "/w/1"));
    EXPECT_EQ(manager_.asked(), 1);
    // Once the name is let go, the process is no longer a file manager; once asked for again,
    // it is.
    ASSERT_TRUE(manager_.ownName(false));
    EXPECT_TRUE(linux_test::eventually([&] { return !folders.isFileManager(::getpid()); }, 10s));
    EXPECT_EQ(manager_.asked(), 1);
    ASSERT_TRUE(manager_.ownName(true));
    EXPECT_TRUE(linux_test::eventually([&] { return folders.isFileManager(::getpid()); }, 10s));
    EXPECT_TRUE(folders.frontFolder(::getpid(), "/w/1"));
    EXPECT_EQ(manager_.asked(), 2);
}

TEST_F(OpenFoldersTest, AFileManagerThatDoesNotAnswerCostsOneBoundAndIsAskedAgainOnceItHas) {
    constexpr auto kLimit = 300ms;
    manager_.answer({{"/w/1", {"file:///usr"}}}, StandInFileManager::Answer::silence);
    OpenFolders folders(kLimit);
    ASSERT_TRUE(folders.isFileManager(::getpid()));
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(folders.frontFolder(::getpid(), "/w/1"));
    // The limit, and scheduling on a loaded machine beside it.
    EXPECT_LT(std::chrono::steady_clock::now() - started, kLimit + 1s);
    EXPECT_EQ(manager_.asked(), 1);
    // While it owes its answer, it is not asked.
    manager_.answer({{"/w/1", {"file:///usr"}}});
    EXPECT_FALSE(folders.frontFolder(::getpid(), "/w/1"));
    EXPECT_EQ(manager_.asked(), 1);
    // Once its late answer has come, it is.
    manager_.answerLate();
    EXPECT_TRUE(linux_test::eventually(
        [&] { return folders.frontFolder(::getpid(), "/w/1").has_value(); }, 10s));
    EXPECT_EQ(manager_.asked(), 2);
}

TEST_F(OpenFoldersTest, AFileManagerWithoutTheListIsNotAskedAgain) {
    manager_.answer({{"/w/1", {"file:///usr"}}}, StandInFileManager::Answer::noSuchProperty);
    OpenFolders folders(2s);
    ASSERT_TRUE(folders.isFileManager(::getpid()));
    EXPECT_FALSE(folders.frontFolder(::getpid(), "/w/1"));
    EXPECT_EQ(manager_.asked(), 1);
    EXPECT_FALSE(folders.isFileManager(::getpid()));
    EXPECT_FALSE(folders.frontFolder(::getpid(), "/w/1"));
    EXPECT_EQ(manager_.asked(), 1);
}

}  // namespace
