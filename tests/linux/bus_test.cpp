#include <gtest/gtest.h>
#include <systemd/sd-bus.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <set>
#include <tuple>

#include "linux_application.h"
#include "linux_bus.h"
#include "linux_event_files.h"
#include "linux_workspace.h"
#include "platform/format.h"
#include "platform/linux_platform.h"
#include "test_support.h"
#include "testing/private_bus.h"

namespace {

using linux_test::appendFile;
using linux_test::eventually;
using linux_test::readFile;
using linux_test::ScopedEnvironment;
using linux_test::TemporaryFolder;
using linux_test::waitForExitOrKill;
using platform::AppleEventDescriptor;
using platform::fourCharCode;
using platform::linux_platform::busNameForBundleIdentifier;
using platform::linux_platform::LinuxAppleEventManager;
using platform::linux_platform::LinuxApplication;
using platform::linux_platform::LinuxDistributedNotificationCenter;
using platform::linux_platform::SessionBus;

constexpr platform::AEEventClass kTestClass = fourCharCode("test");
constexpr platform::AEKeyword kSenderKeyword = fourCharCode("sndr");
constexpr platform::AEKeyword kReceiverPidKeyword = fourCharCode("rpid");
constexpr platform::AEKeyword kPathKeyword = fourCharCode("path");
constexpr const char* kReceiver = "com.example.Receiver";

// A process started from a copy of this program inside a bundle plays an application that
// handles GetURL events: it appends each URL and its sender's process id to a file.
[[noreturn]] void runURLReceiver() {
    platform::linux_platform::LinuxPlatform linuxPlatform;
    platform::ScopedInstall installed(linuxPlatform.services());
    const std::string output = std::getenv("PENDRA_LINUX_TEST_OUTPUT");
    platform::appleEventManager().setEventHandler(
        platform::kInternetEventClass, platform::kAEGetURL,
        [output](const AppleEventDescriptor& event, AppleEventDescriptor&) {
            auto url = event.paramDescriptorForKeyword(platform::keyDirectObject);
            auto sender = event.attributeDescriptorForKeyword(platform::keyAddressAttr);
            auto psn = sender ? sender->processSerialNumberValue() : std::nullopt;
            platform::pid_t pid = 0;
            if (psn) {
                platform::processManager().GetProcessPID(*psn, &pid);
            }
            appendFile(output, (url ? url->stringValue().value_or("?") : "?") + " " +
                                   std::to_string(pid) + "\n");
        });
    platform::application().performAfterDelay(20, [] { std::_Exit(9); });
    platform::application().run();
    std::_Exit(8);
}

const bool kRoleChecked = [] {
    const char* role = std::getenv("PENDRA_LINUX_TEST_ROLE");
    if (role != nullptr && std::strcmp(role, "url-receiver") == 0) {
        runURLReceiver();
    }
    return true;
}();

// A private session bus for the tests of this file.
class BusTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { bus_ = std::make_unique<test_support::PrivateBus>(); }
    static void TearDownTestSuite() { bus_.reset(); }
    void SetUp() override {
        if (!bus_->started()) {
            GTEST_SKIP() << bus_->error();
        }
        environment.set("DBUS_SESSION_BUS_ADDRESS", bus_->address());
    }
    void TearDown() override {
        for (pid_t child : children) {
            ::kill(child, SIGKILL);
            ::waitpid(child, nullptr, 0);
        }
    }

    // Bundles in `applications` whose executable is this test program run as the URL
    // receiver, with `folder` as their home and runtime folder and its "urls" as their output.
    void runReceiversFrom(const TemporaryFolder& applications, const TemporaryFolder& folder) {
        environment.set("PENDRA_APPLICATIONS_PATH", applications.path());
        environment.set("HOME", folder.path());
        environment.set("XDG_RUNTIME_DIR", folder.path());
        environment.set("PENDRA_LINUX_TEST_ROLE", "url-receiver");
        environment.set("PENDRA_LINUX_TEST_OUTPUT", folder / "urls");
        environment.set("PENDRA_LOG_TO_STDERR", "1");
    }

    // A receiving application in a child process, on its own loop and connection.
    pid_t startReceiver(const std::string& identifier,
                        std::function<void(LinuxAppleEventManager&, SessionBus&)> setUp = {}) {
        pid_t child = ::fork();
        if (child == 0) {
            LinuxApplication application([](int status) { ::_exit(status); });
            SessionBus bus(application, identifier);
            LinuxAppleEventManager events(bus, [](pid_t) { return std::nullopt; });
            LinuxDistributedNotificationCenter center(bus);
            events.setEventHandler(
                kTestClass, fourCharCode("echo"),
                [](const AppleEventDescriptor& event, AppleEventDescriptor& reply) {
                    if (auto direct = event.paramDescriptorForKeyword(platform::keyDirectObject)) {
                        reply.setParamDescriptor(*direct, platform::keyDirectObject);
                    }
                    if (auto sender =
                            event.attributeDescriptorForKeyword(platform::keyAddressAttr)) {
                        reply.setParamDescriptor(*sender, kSenderKeyword);
                    }
                    reply.setParamDescriptor(AppleEventDescriptor::descriptorWithInt32(::getpid()),
                                             kReceiverPidKeyword);
                });
            events.setEventHandler(
                kTestClass, fourCharCode("slow"),
                [](const AppleEventDescriptor&, AppleEventDescriptor&) { ::usleep(1'000'000); });
            events.setEventHandler(
                kTestClass, fourCharCode("file"),
                [](const AppleEventDescriptor& event, AppleEventDescriptor&) {
                    auto path = event.paramDescriptorForKeyword(kPathKeyword);
                    auto text = event.paramDescriptorForKeyword(platform::keyDirectObject);
                    if (path && text) {
                        appendFile(*path->stringValue(), *text->stringValue());
                    }
                });
            events.setEventHandler(
                kTestClass, fourCharCode("post"),
                [&center](const AppleEventDescriptor& event, AppleEventDescriptor&) {
                    auto name = event.paramDescriptorForKeyword(platform::keyDirectObject);
                    center.postNotificationName(*name->stringValue(), std::nullopt,
                                                {{"ApplicationName", "Mail"}});
                });
            if (setUp) {
                setUp(events, bus);
            }
            application.runUntil([] { return false; }, 20);
            ::_exit(0);
        }
        children.push_back(child);
        return child;
    }

    bool waitForName(const std::string& identifier) {
        return sender.runUntil(
            [&] { return bus.nameHasOwner(busNameForBundleIdentifier(identifier)); }, 5);
    }

    static AppleEventDescriptor event(const std::string& target, const char (&id)[5]) {
        return AppleEventDescriptor::appleEventWithEventClass(
            kTestClass, fourCharCode(id),
            AppleEventDescriptor::descriptorWithApplicationBundleIdentifier(target),
            platform::kAutoGenerateReturnID, platform::kAnyTransactionID);
    }

    static inline std::unique_ptr<test_support::PrivateBus> bus_;
    ScopedEnvironment environment;
    std::vector<pid_t> children;
    LinuxApplication sender{[](int) {}};
    SessionBus bus{sender, std::string("com.example.Sender")};
    LinuxAppleEventManager events{bus, [](pid_t) { return std::nullopt; }};
};

TEST(BusNameTest, BundleIdentifiersBecomeValidBusNames) {
    EXPECT_EQ(busNameForBundleIdentifier("com.orvano.PendraMacSandboxHelper"),
              "com.orvano.PendraMacSandboxHelper");
    EXPECT_EQ(busNameForBundleIdentifier("com.example.my app+1"), "com.example.my_app_1");
    EXPECT_EQ(busNameForBundleIdentifier("com.3com.tool"), "com._3com.tool");
    EXPECT_EQ(busNameForBundleIdentifier("single"), "app.single");
    EXPECT_EQ(busNameForBundleIdentifier("a..b."), "a._.b._");
    EXPECT_EQ(busNameForBundleIdentifier(""), "");
}

// An owner once asked about is followed from the daemon's signals: it must not go stale when
// its process ends and another takes the name.
TEST_F(BusTest, ANameAskedAboutFollowsItsOwnersComingAndGoing) {
    const std::string name = busNameForBundleIdentifier(kReceiver);
    EXPECT_FALSE(bus.nameHasOwner(name));
    for (int round = 0; round < 2; ++round) {
        const pid_t receiver = startReceiver(kReceiver);
        ASSERT_TRUE(waitForName(kReceiver));
        EXPECT_EQ(bus.processOwningName(name), receiver);
        ::kill(receiver, SIGKILL);
        ASSERT_TRUE(waitForExitOrKill(receiver, std::chrono::seconds(5)));
        EXPECT_TRUE(sender.runUntil([&] { return !bus.nameHasOwner(name); }, 5));
        EXPECT_EQ(bus.processOwningName(name), std::nullopt);
    }
}

TEST_F(BusTest, EventsCarryTheSendersAddressAsTheBusReportsIt) {
    pid_t receiver = startReceiver(kReceiver);
    ASSERT_TRUE(waitForName(kReceiver));

    AppleEventDescriptor echo = event(kReceiver, "echo");
    echo.setParamDescriptor(AppleEventDescriptor::descriptorWithString("caf\xc3\xa9"),
                            platform::keyDirectObject);
    // A forged address is replaced by the one the bus knows.
    echo.setAttributeDescriptor(AppleEventDescriptor::descriptorWithProcessSerialNumber({0, 1}),
                                platform::keyAddressAttr);
    AppleEventDescriptor reply;
    ASSERT_EQ(events.AESendMessage(echo, &reply, platform::kAEWaitReply, 5 * 60), platform::noErr);
    EXPECT_EQ(reply.paramDescriptorForKeyword(platform::keyDirectObject)->stringValue(),
              "caf\xc3\xa9");
    // The address stands for the sending connection; its process is asked for on reading.
    auto sender = reply.paramDescriptorForKeyword(kSenderKeyword);
    ASSERT_TRUE(sender && sender->processSerialNumberValue());
    EXPECT_EQ(bus.processOfSerialNumber(*sender->processSerialNumberValue()), ::getpid());
    EXPECT_EQ(reply.paramDescriptorForKeyword(kReceiverPidKeyword)->int32Value(), receiver);
}

// What `busctl introspect` and `busctl tree` show of an application: every argument by name and
// the notification signal, on objects reachable from the root.
TEST_F(BusTest, IntrospectionNamesEveryArgumentAndTheNotificationSignal) {
    startReceiver(kReceiver);
    ASSERT_TRUE(waitForName(kReceiver));
    const struct {
        const char* path;
        std::vector<std::string> shown;
    } objects[] = {
        {"/", {"<node name=\"com\"/>"}},
        {"/com/orvano/Pendra",
         {"<node name=\"Application\"/>", "<node name=\"DistributedNotifications\"/>"}},
        {platform::linux_platform::kApplicationObjectPath,
         {"<interface name=\"com.orvano.Pendra.Application\">", "<method name=\"HandleEvent\">",
          "<arg type=\"ay\" name=\"event\" direction=\"in\"/>",
          "<arg type=\"ay\" name=\"reply\" direction=\"out\"/>", "<method name=\"PerformService\">",
          "<arg type=\"s\" name=\"message\" direction=\"in\"/>",
          "<arg type=\"s\" name=\"userData\" direction=\"in\"/>",
          "<arg type=\"as\" name=\"types\" direction=\"in\"/>",
          "<arg type=\"a{ss}\" name=\"strings\" direction=\"in\"/>",
          "<arg type=\"s\" name=\"result\" direction=\"out\"/>"}},
        {platform::linux_platform::kNotificationObjectPath,
         {"<interface name=\"com.orvano.Pendra.DistributedNotifications\">",
          "<signal name=\"Posted\">", "<arg type=\"s\" name=\"name\"/>",
          "<arg type=\"as\" name=\"object\"/>", "<arg type=\"a{ss}\" name=\"userInfo\"/>"}},
    };
    for (const auto& object : objects) {
        platform::linux_platform::BusError error;
        platform::linux_platform::BusMessage reply;
        ASSERT_GE(sd_bus_call_method(bus.connection(), kReceiver, object.path,
                                     "org.freedesktop.DBus.Introspectable", "Introspect",
                                     &error.error, reply.out(), ""),
                  0)
            << object.path << ": " << error.text();
        const char* xml = nullptr;
        ASSERT_GE(sd_bus_message_read(reply.get(), "s", &xml), 0);
        for (const std::string& shown : object.shown) {
            EXPECT_NE(std::string(xml).find(shown), std::string::npos)
                << object.path << " does not show " << shown << " in\n"
                << xml;
        }
    }
}

TEST_F(BusTest, UnhandledEventsMissingReceiversAndSlowHandlersGetTheirStatus) {
    startReceiver(kReceiver);
    ASSERT_TRUE(waitForName(kReceiver));

    AppleEventDescriptor reply;
    EXPECT_EQ(
        events.AESendMessage(event(kReceiver, "none"), &reply, platform::kAEWaitReply, 5 * 60),
        platform::errAEEventNotHandled);
    EXPECT_EQ(reply.paramDescriptorForKeyword(platform::keyErrorNumber)->int32Value(),
              platform::errAEEventNotHandled);

    EXPECT_EQ(events.AESendMessage(event("com.example.nobody", "echo"), &reply,
                                   platform::kAEWaitReply, 60),
              platform::procNotFound);
    EXPECT_EQ(events.AESendMessage(event("com.example.nobody", "echo"), nullptr,
                                   platform::kAEWaitReply, 0),
              platform::procNotFound);
    EXPECT_EQ(
        events.AESendMessage(event("com.example.nobody", "echo"), nullptr, platform::kAENoReply, 0),
        platform::procNotFound);

    EXPECT_EQ(events.AESendMessage(event(kReceiver, "slow"), &reply, platform::kAEWaitReply, 6),
              platform::errAETimeout);
    // The receiver goes on answering.
    EXPECT_EQ(
        events.AESendMessage(event(kReceiver, "echo"), &reply, platform::kAEWaitReply, 5 * 60),
        platform::noErr);
}

TEST_F(BusTest, ASendWithoutWaitingReturnsOnceTheBusHasTheEvent) {
    TemporaryFolder folder;
    startReceiver(kReceiver);
    ASSERT_TRUE(waitForName(kReceiver));
    AppleEventDescriptor write = event(kReceiver, "file");
    write.setParamDescriptor(AppleEventDescriptor::descriptorWithString(folder / "out"),
                             kPathKeyword);
    write.setParamDescriptor(AppleEventDescriptor::descriptorWithString("delivered"),
                             platform::keyDirectObject);
    EXPECT_EQ(events.AESendMessage(write, nullptr, platform::kAEWaitReply, 0), platform::noErr);
    EXPECT_TRUE(eventually([&] { return readFile(folder / "out") == "delivered"; }));
}

TEST_F(BusTest, BytesThatAreNoEventAreAnsweredAndTheReceiverGoesOn) {
    startReceiver(kReceiver);
    ASSERT_TRUE(waitForName(kReceiver));
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* answer = nullptr;
    const std::uint8_t garbage[] = {0xde, 0xad, 0xbe, 0xef, 0x00, 0x01};
    sd_bus_message* call = nullptr;
    ASSERT_GE(sd_bus_message_new_method_call(bus.connection(), &call, kReceiver,
                                             platform::linux_platform::kApplicationObjectPath,
                                             platform::linux_platform::kApplicationInterface,
                                             platform::linux_platform::kHandleEventMethod),
              0);
    sd_bus_message_append_array(call, 'y', garbage, sizeof garbage);
    ASSERT_GE(sd_bus_call(bus.connection(), call, 5'000'000, &error, &answer), 0) << error.message;
    const void* bytes = nullptr;
    std::size_t size = 0;
    ASSERT_GE(sd_bus_message_read_array(answer, 'y', &bytes, &size), 0);
    auto reply = AppleEventDescriptor::unflatten({static_cast<const std::uint8_t*>(bytes), size});
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->paramDescriptorForKeyword(platform::keyErrorNumber)->int32Value(),
              platform::errAENotAEDesc);
    sd_bus_message_unref(answer);
    sd_bus_message_unref(call);
    sd_bus_error_free(&error);

    AppleEventDescriptor reply2;
    EXPECT_EQ(
        events.AESendMessage(event(kReceiver, "echo"), &reply2, platform::kAEWaitReply, 5 * 60),
        platform::noErr);
}

// Answers what arrives on the connection until the process is killed.
[[noreturn]] void serveForever(sd_bus* bus) {
    for (;;) {
        if (sd_bus_process(bus, nullptr) == 0) {
            sd_bus_wait(bus, UINT64_MAX);
        }
    }
}

// A receiver of an earlier make, which offers only HandleEvent: it appends the size of each
// event to a file and answers it with itself.
int echoBytes(sd_bus_message* message, void* userdata, sd_bus_error*) {
    const void* bytes = nullptr;
    std::size_t size = 0;
    const int r = sd_bus_message_read_array(message, 'y', &bytes, &size);
    if (r < 0) {
        return r;
    }
    appendFile(static_cast<const char*>(userdata), std::to_string(size) + "\n");
    if (sd_bus_message_get_expect_reply(message) == 0) {
        return 1;
    }
    sd_bus_message* reply = nullptr;
    sd_bus_message_new_method_return(message, &reply);
    sd_bus_message_append_array(reply, 'y', bytes, size);
    sd_bus_send(nullptr, reply, nullptr);
    sd_bus_message_unref(reply);
    return 1;
}

pid_t startBytesOnlyReceiver(const std::string& identifier, const std::string& log) {
    const pid_t child = ::fork();
    if (child == 0) {
        static const sd_bus_vtable table[] = {
            SD_BUS_VTABLE_START(0),
            SD_BUS_METHOD(platform::linux_platform::kHandleEventMethod, "ay", "ay", echoBytes,
                          SD_BUS_VTABLE_UNPRIVILEGED),
            SD_BUS_VTABLE_END};
        sd_bus* bus = nullptr;
        if (sd_bus_open_user(&bus) < 0 ||
            sd_bus_add_object_vtable(bus, nullptr, platform::linux_platform::kApplicationObjectPath,
                                     platform::linux_platform::kApplicationInterface, table,
                                     const_cast<char*>(log.c_str())) < 0 ||
            sd_bus_request_name(bus, busNameForBundleIdentifier(identifier).c_str(), 0) < 0) {
            ::_exit(1);
        }
        serveForever(bus);
    }
    return child;
}

// A process that owns the bus name of an identifier and exports nothing, as many applications
// of the desktop own a name of their own.
pid_t startNameOwnerOnly(const std::string& identifier) {
    const pid_t child = ::fork();
    if (child == 0) {
        sd_bus* bus = nullptr;
        if (sd_bus_open_user(&bus) < 0 ||
            sd_bus_request_name(bus, busNameForBundleIdentifier(identifier).c_str(), 0) < 0) {
            ::_exit(1);
        }
        serveForever(bus);
    }
    return child;
}

// The inodes of the memory files this process holds open.
std::set<ino_t> eventFilesHeld() {
    std::set<ino_t> inodes;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        struct stat status {};
        std::error_code gone;
        if (std::filesystem::read_symlink(entry.path(), gone)
                .string()
                .starts_with("/memfd:apple-event") &&
            ::stat(entry.path().c_str(), &status) == 0) {
            inodes.insert(status.st_ino);
        }
    }
    return inodes;
}

TEST_F(BusTest, LargeEventsTravelInMemoryFilesAndStillReachReceiversOfBytesOnly) {
    TemporaryFolder folder;
    const std::string bytesOnly = "com.example.BytesOnly";
    const pid_t first = startReceiver(kReceiver);
    children.push_back(startBytesOnlyReceiver(bytesOnly, folder / "bytes-only"));
    ASSERT_TRUE(waitForName(kReceiver));
    ASSERT_TRUE(waitForName(bytesOnly));
    const auto withNote = [&](AppleEventDescriptor sent, const std::string& note) {
        sent.setParamDescriptor(AppleEventDescriptor::descriptorWithString(note),
                                platform::keyDirectObject);
        sent.setParamDescriptor(AppleEventDescriptor::descriptorWithString(folder / "delivered"),
                                kPathKeyword);
        return sent;
    };
    // The second event to a receiver goes in the file of the first, a shorter one after it.
    const std::string notes[] = {std::string(1 << 20, 'n'), std::string(3 << 18, 'm')};
    for (const std::string& target : {std::string(kReceiver), bytesOnly}) {
        const std::set<ino_t> before = eventFilesHeld();
        std::set<ino_t> files;
        for (const std::string& note : notes) {
            AppleEventDescriptor reply;
            ASSERT_EQ(events.AESendMessage(withNote(event(target, "echo"), note), &reply,
                                           platform::kAEWaitReply, 5 * 60),
                      platform::noErr)
                << target;
            EXPECT_EQ(reply.paramDescriptorForKeyword(platform::keyDirectObject)->stringValue(),
                      note)
                << target;
            std::ranges::set_difference(eventFilesHeld(), before,
                                        std::inserter(files, files.end()));
        }
        EXPECT_EQ(files.size(), 1u) << target;
        // Sent without waiting: a receiver of bytes only gets them once it has refused the file.
        EXPECT_EQ(events.AESendMessage(withNote(event(target, "file"), notes[0]), nullptr,
                                       platform::kAEWaitReply, 0),
                  platform::noErr)
            << target;
    }
    EXPECT_TRUE(sender.runUntil(
        [&] {
            const std::string sizes = readFile(folder / "bytes-only");
            return readFile(folder / "delivered") == notes[0] &&
                   std::count(sizes.begin(), sizes.end(), '\n') == 3;
        },
        10));

    // The file kept for a receiver that is gone is not sent to the name's next owner, even
    // before the sender has heard of the change: that one gets the event all the same.
    ::kill(first, SIGKILL);
    ::waitpid(first, nullptr, 0);
    startReceiver(kReceiver);
    sd_bus* other = nullptr;
    ASSERT_GE(sd_bus_open_user(&other), 0);
    EXPECT_TRUE(eventually([&] {
        sd_bus_message* answer = nullptr;
        int owned = 0;
        if (sd_bus_call_method(other, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                               "org.freedesktop.DBus", "NameHasOwner", nullptr, &answer, "s",
                               busNameForBundleIdentifier(kReceiver).c_str()) >= 0) {
            sd_bus_message_read(answer, "b", &owned);
        }
        sd_bus_message_unref(answer);
        return owned != 0;
    }));
    sd_bus_unref(other);
    AppleEventDescriptor reply;
    ASSERT_EQ(events.AESendMessage(withNote(event(kReceiver, "echo"), notes[1]), &reply,
                                   platform::kAEWaitReply, 5 * 60),
              platform::noErr);
    EXPECT_EQ(reply.paramDescriptorForKeyword(platform::keyDirectObject)->stringValue(), notes[1]);

    // Nobody but the sender can write an event file.
    const auto file = platform::linux_platform::EventFile::withRoomFor(1);
    ASSERT_TRUE(file);
    const std::string reopened = "/proc/self/fd/" + std::to_string(file->descriptor());
    const int again = ::open(reopened.c_str(), O_RDWR | O_CLOEXEC);
    EXPECT_LT(::write(file->descriptor(), "x", 1), 0);
    EXPECT_LT(::write(again, "x", 1), 0);
    EXPECT_EQ(::mmap(nullptr, 1, PROT_WRITE, MAP_SHARED, file->descriptor(), 0), MAP_FAILED);
    ::close(again);

    // Files that a sender could shrink or grow, sizes that are not an event's and what is no
    // memory file are refused.
    AppleEventDescriptor echo = event(kReceiver, "echo");
    const std::size_t size = echo.flattenedSize();
    const auto memoryFile = [&](int seals) {
        const int fd = ::memfd_create("event", MFD_CLOEXEC | MFD_ALLOW_SEALING);
        EXPECT_EQ(::ftruncate(fd, static_cast<off_t>(size)), 0);
        void* room = ::mmap(nullptr, size, PROT_WRITE, MAP_SHARED, fd, 0);
        echo.flattenInto(static_cast<std::uint8_t*>(room));
        ::munmap(room, size);
        EXPECT_EQ(::fcntl(fd, F_ADD_SEALS, seals), 0);
        return fd;
    };
    int channel[2];
    ASSERT_EQ(::pipe2(channel, O_CLOEXEC), 0);
    const int sealed = F_SEAL_SHRINK | F_SEAL_GROW;
    // The receiver goes on answering after each refusal.
    const std::tuple<int, std::uint64_t, bool> files[] = {
        {memoryFile(F_SEAL_WRITE | F_SEAL_GROW), size, false},
        {memoryFile(F_SEAL_WRITE | F_SEAL_SHRINK), size, false},
        {memoryFile(sealed), size + 1, false},
        {memoryFile(sealed), 0, false},
        {memoryFile(sealed), platform::linux_platform::kMaximumEventBytes + 1, false},
        {channel[0], size, false},
        {memoryFile(sealed), size, true}};
    for (const auto& [fd, eventSize, accepted] : files) {
        sd_bus_error error = SD_BUS_ERROR_NULL;
        sd_bus_message* answer = nullptr;
        EXPECT_EQ(sd_bus_call_method(bus.connection(), kReceiver,
                                     platform::linux_platform::kApplicationObjectPath,
                                     platform::linux_platform::kApplicationInterface,
                                     platform::linux_platform::kHandleEventInSharedMemoryMethod,
                                     &error, &answer, "ht", fd, eventSize) >= 0,
                  accepted)
            << fd << " " << eventSize;
        EXPECT_EQ(sd_bus_error_has_name(&error, SD_BUS_ERROR_INVALID_ARGS) != 0, !accepted);
        sd_bus_message_unref(answer);
        sd_bus_error_free(&error);
        ::close(fd);
    }
    ::close(channel[1]);
}

// The file kept for a receiver is let go once it has gone unused for ten seconds, not before,
// so that an idle sender holds no memory for large events.
TEST_F(BusTest, AKeptEventFileIsLetGoTenSecondsAfterItsLastUse) {
    startReceiver(kReceiver);
    ASSERT_TRUE(waitForName(kReceiver));
    const std::set<ino_t> before = eventFilesHeld();
    AppleEventDescriptor large = event(kReceiver, "echo");
    large.setParamDescriptor(AppleEventDescriptor::descriptorWithString(std::string(1 << 20, 'k')),
                             platform::keyDirectObject);
    // The file's last use comes during the send (the reply reads it), so its ten seconds are
    // counted from no earlier than the send's start.
    const auto kept = std::chrono::steady_clock::now();
    ASSERT_EQ(events.AESendMessage(large, nullptr, platform::kAEWaitReply, 5 * 60),
              platform::noErr);
    const auto newFiles = [&] {
        std::set<ino_t> files;
        std::ranges::set_difference(eventFilesHeld(), before, std::inserter(files, files.end()));
        return files.size();
    };
    ASSERT_EQ(newFiles(), 1u);

    // Generous on the late side only: a timer never fires early.
    EXPECT_TRUE(sender.runUntil([&] { return newFiles() == 0; }, 40));
    const auto held = std::chrono::steady_clock::now() - kept;
    EXPECT_GE(held, std::chrono::seconds(10));
}

// The sender's process as the daemon took it when the connection was made: a handle names its
// process while it lives and none once it has ended, so an id taken over later is never read.
TEST(ProcessHandleTest, AHandleNamesItsProcessWhileItLivesAndNoneAfter) {
    const pid_t child = ::fork();
    if (child == 0) {
        ::pause();
        ::_exit(0);
    }
    const int handle = static_cast<int>(::syscall(SYS_pidfd_open, child, 0));
    ASSERT_GE(handle, 0) << std::strerror(errno);
    EXPECT_EQ(platform::linux_platform::processOfHandle(handle), child);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    EXPECT_EQ(platform::linux_platform::processOfHandle(handle), std::nullopt);
    ::close(handle);
    EXPECT_EQ(platform::linux_platform::processOfHandle(handle), std::nullopt);
}

// Many receivers of large events must not hold the sender's memory: the kept files stay within
// their bound, the ones used longest ago let go first.
TEST(EventFilesTest, TheFilesKeptForReceiversStayWithinTheirBoundOldestGoingFirst) {
    using platform::linux_platform::EventFiles;
    LinuxApplication application([](int) {});
    const auto files = std::make_shared<EventFiles>(application);
    const std::size_t size = 8 << 20;
    const int receivers = 12;
    std::size_t capacity = 0;
    for (int receiver = 0; receiver < receivers; ++receiver) {
        auto file = files->take(":1." + std::to_string(receiver), size);
        ASSERT_TRUE(file);
        capacity = file->capacity();
        files->keep(":1." + std::to_string(receiver), std::move(file));
    }
    const std::set<ino_t> held = eventFilesHeld();
    ASSERT_GT(capacity * receivers, EventFiles::kKeptBytes);
    EXPECT_LE(held.size() * capacity, EventFiles::kKeptBytes);
    EXPECT_EQ(held.size(), EventFiles::kKeptBytes / capacity);
    // The newest receivers still have their files, the oldest get new ones.
    const auto kept = [&](int receiver) {
        const std::string name = ":1." + std::to_string(receiver);
        auto file = files->take(name, size);
        const bool wasKept = file && file->heldBy() == name;
        files->keep(name, std::move(file));
        return wasKept;
    };
    EXPECT_TRUE(kept(receivers - 1));
    EXPECT_FALSE(kept(0));
}

// An application that speaks our interface on the bus is asked there, though the desktop could
// answer for it; the desktop answers for one that owns its name without our interface, and for
// one nobody runs on the bus.
TEST_F(BusTest, AnApplicationOnTheBusIsAskedBeforeTheDesktop) {
    const pid_t receiver = startReceiver(kReceiver);
    const std::string otherProtocol = "com.example.OtherProtocol";
    children.push_back(startNameOwnerOnly(otherProtocol));
    ASSERT_TRUE(waitForName(kReceiver));
    ASSERT_TRUE(waitForName(otherProtocol));
    std::vector<std::string> askedOfTheDesktop;
    events.setDesktopAnswerer([&](const std::string& bundleIdentifier, const AppleEventDescriptor&,
                                  AppleEventDescriptor& reply, std::chrono::milliseconds) {
        askedOfTheDesktop.push_back(bundleIdentifier);
        reply.setParamDescriptor(AppleEventDescriptor::descriptorWithInt32(-1),
                                 kReceiverPidKeyword);
        return std::optional<platform::OSStatus>(platform::noErr);
    });
    const struct {
        std::string target;
        int answeredBy;
    } cases[] = {{kReceiver, receiver}, {otherProtocol, -1}, {"com.example.DesktopOnly", -1}};
    for (const auto& each : cases) {
        AppleEventDescriptor reply;
        ASSERT_EQ(events.AESendMessage(event(each.target, "echo"), &reply, platform::kAEWaitReply,
                                       5 * 60),
                  platform::noErr)
            << each.target;
        EXPECT_EQ(reply.paramDescriptorForKeyword(kReceiverPidKeyword)->int32Value(),
                  each.answeredBy)
            << each.target;
    }
    EXPECT_EQ(askedOfTheDesktop,
              (std::vector<std::string>{otherProtocol, "com.example.DesktopOnly"}));
}

TEST_F(BusTest, ASecondOwnerOfTheSameIdentifierDoesNotTakeTheName) {
    pid_t first = startReceiver(kReceiver);
    ASSERT_TRUE(waitForName(kReceiver));
    SessionBus duplicate(sender, std::string(kReceiver));
    EXPECT_FALSE(duplicate.acquireName());
    EXPECT_FALSE(duplicate.ownsName());
    AppleEventDescriptor reply;
    ASSERT_EQ(
        events.AESendMessage(event(kReceiver, "echo"), &reply, platform::kAEWaitReply, 5 * 60),
        platform::noErr);
    EXPECT_EQ(reply.paramDescriptorForKeyword(kReceiverPidKeyword)->int32Value(), first);
}

TEST_F(BusTest, EventsToOurselvesAreHandledInProcess) {
    int handled = 0;
    events.setEventHandler(kTestClass, fourCharCode("self"),
                           [&](const AppleEventDescriptor& event, AppleEventDescriptor& reply) {
                               ++handled;
                               reply.setParamDescriptor(
                                   *event.attributeDescriptorForKeyword(platform::keyAddressAttr),
                                   kSenderKeyword);
                           });
    ASSERT_TRUE(bus.ownsName());
    AppleEventDescriptor reply;
    EXPECT_EQ(events.AESendMessage(event("com.example.Sender", "self"), &reply,
                                   platform::kAEWaitReply, 60),
              platform::noErr);
    EXPECT_EQ(handled, 1);
    EXPECT_EQ(
        reply.paramDescriptorForKeyword(kSenderKeyword)->processSerialNumberValue()->lowLongOfPSN,
        static_cast<std::uint32_t>(::getpid()));
    // Without waiting, the event is handled from the loop, after the send has returned.
    EXPECT_EQ(
        events.AESendMessage(event("com.example.Sender", "self"), nullptr, platform::kAENoReply, 0),
        platform::noErr);
    EXPECT_EQ(handled, 1);
    EXPECT_TRUE(sender.runUntil([&] { return handled == 2; }, 5));
}

// A process that nothing can reach any more hears of it: when another process owns its name
// (from its loop) and when the bus goes away under it.
TEST(UnreachableTest, ATakenNameAndALostConnectionAreReported) {
    test_support::PrivateBus privateBus;
    if (!privateBus.started()) {
        GTEST_SKIP() << privateBus.error();
    }
    ScopedEnvironment environment;
    environment.set("DBUS_SESSION_BUS_ADDRESS", privateBus.address());
    linux_test::ProcessReaper reaper;
    // Each child answers by its exit status which reason it was given, or 0 for none.
    auto child = [&](const char* identifier) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            LinuxApplication application([](int status) { ::_exit(status); });
            SessionBus bus(application, std::string(identifier));
            bus.whenUnreachable = [](const std::string& reason) {
                ::_exit(reason == "Lost the connection to the session bus"              ? 10
                        : reason.find("(another process owns it)") != std::string::npos ? 11
                                                                                        : 12);
            };
            bus.acquireName();
            application.runUntil([] { return false; }, 20);
            ::_exit(0);
        }
        reaper.add(pid);
        return pid;
    };
    auto exitStatus = [](pid_t pid) {
        return waitForExitOrKill(pid, std::chrono::seconds(10)).value_or(-1);
    };
    LinuxApplication observer([](int) {});
    SessionBus observing(observer, std::nullopt);
    const pid_t owner = child("com.example.Taken");
    ASSERT_TRUE(observer.runUntil([&] { return observing.nameHasOwner("com.example.Taken"); }, 5));
    EXPECT_EQ(exitStatus(child("com.example.Taken")), 11);

    ::kill(privateBus.daemon(), SIGTERM);
    EXPECT_EQ(exitStatus(owner), 10);
}

struct Received {
    std::string name;
    std::vector<std::string> object;
    std::map<std::string, std::string> userInfo;
    int count = 0;
};

int onNotification(sd_bus_message* message, void* userdata, sd_bus_error*) {
    auto* received = static_cast<Received*>(userdata);
    received->object.clear();
    received->userInfo.clear();
    const char* name = nullptr;
    sd_bus_message_read(message, "s", &name);
    received->name = name;
    sd_bus_message_enter_container(message, 'a', "s");
    const char* object = nullptr;
    while (sd_bus_message_read(message, "s", &object) > 0) {
        received->object.emplace_back(object);
    }
    sd_bus_message_exit_container(message);
    sd_bus_message_enter_container(message, 'a', "{ss}");
    const char* key = nullptr;
    const char* value = nullptr;
    while (sd_bus_message_read(message, "{ss}", &key, &value) > 0) {
        received->userInfo[key] = value;
    }
    ++received->count;
    return 0;
}

TEST_F(BusTest, DistributedNotificationsReachEveryObserverOfTheSession) {
    Received received;
    sd_bus_slot* slot = nullptr;
    ASSERT_GE(sd_bus_match_signal(bus.connection(), &slot, nullptr,
                                  platform::linux_platform::kNotificationObjectPath,
                                  platform::linux_platform::kNotificationInterface,
                                  platform::linux_platform::kNotificationSignal, onNotification,
                                  &received),
              0);
    startReceiver(kReceiver);
    ASSERT_TRUE(waitForName(kReceiver));
    AppleEventDescriptor post = event(kReceiver, "post");
    post.setParamDescriptor(AppleEventDescriptor::descriptorWithString(
                                "PendraMacSandboxHelperDidFailDueToMissingPermissionsNotification"),
                            platform::keyDirectObject);
    ASSERT_EQ(events.AESendMessage(post, nullptr, platform::kAENoReply, 0), platform::noErr);
    ASSERT_TRUE(sender.runUntil([&] { return received.count == 1; }, 5));
    EXPECT_EQ(received.name, "PendraMacSandboxHelperDidFailDueToMissingPermissionsNotification");
    EXPECT_TRUE(received.object.empty());
    EXPECT_EQ(received.userInfo, (std::map<std::string, std::string>{{"ApplicationName", "Mail"}}));

    // One of our own, with an object, seen by our own connection too.
    LinuxDistributedNotificationCenter center(bus);
    center.postNotificationName("PendraMacSandboxHelperDidLaunchNotification",
                                std::string("object"));
    ASSERT_TRUE(sender.runUntil([&] { return received.count == 2; }, 5));
    EXPECT_EQ(received.name, "PendraMacSandboxHelperDidLaunchNotification");
    EXPECT_EQ(received.object, std::vector<std::string>{"object"});
    EXPECT_TRUE(received.userInfo.empty());
    sd_bus_slot_unref(slot);
}

class RecordingProvider : public platform::ServicesProvider {
  public:
    explicit RecordingProvider(std::string path) : path_(std::move(path)) {}
    bool performService(const std::string& message, const platform::Pasteboard& pasteboard,
                        const std::string& userData, std::string* error) override {
        if (message != "quickEntryWithAutofill" && message != "failing") {
            return false;
        }
        appendFile(path_, message + "|" + userData + "|" +
                              pasteboard.stringForType(platform::NSStringPboardType).value_or("-") +
                              "\n");
        if (message == "failing") {
            *error = "Could not do it";
        }
        return true;
    }

  private:
    std::string path_;
};

platform::PropertyList servicesInfo(std::initializer_list<const char*> messages) {
    platform::PropertyList::Array services;
    for (const char* message : messages) {
        services.push_back(platform::PropertyList::Dictionary{
            {"NSMessage", message}, {"NSMenuItem", platform::PropertyList::Dictionary{}}});
    }
    return platform::PropertyList::Dictionary{{"NSServices", services}};
}

TEST(ServicesRequestTest, OnlyDeclaredMessagesReachTheProvider) {
    TemporaryFolder folder;
    RecordingProvider provider(folder / "calls");
    platform::Pasteboard pasteboard{{platform::NSStringPboardType},
                                    {{platform::NSStringPboardType, "selected text"}}};
    const auto info = servicesInfo({"quickEntryWithAutofill", "failing", "undeclaredInCode"});
    using platform::linux_platform::performServiceRequest;

    EXPECT_EQ(performServiceRequest(&provider, info, "quickEntryWithAutofill", "ud", pasteboard),
              std::nullopt);
    EXPECT_EQ(performServiceRequest(&provider, info, "failing", "", pasteboard), "Could not do it");
    EXPECT_TRUE(performServiceRequest(&provider, info, "undeclaredInCode", "", pasteboard));
    EXPECT_TRUE(performServiceRequest(&provider, servicesInfo({}), "quickEntryWithAutofill", "",
                                      pasteboard));
    EXPECT_TRUE(performServiceRequest(nullptr, info, "quickEntryWithAutofill", "", pasteboard));
    EXPECT_EQ(readFile(folder / "calls"),
              "quickEntryWithAutofill|ud|selected text\nfailing||selected text\n");
}

TEST_F(BusTest, ServicesRequestsTravelWithTheirPasteboard) {
    TemporaryFolder folder;
    startReceiver(kReceiver, [&](LinuxAppleEventManager&, SessionBus& receiverBus) {
        static RecordingProvider provider(folder / "calls");
        receiverBus.serviceReceiver = [](const std::string& message, const std::string& userData,
                                         const platform::Pasteboard& pasteboard) {
            return platform::linux_platform::performServiceRequest(
                &provider, servicesInfo({"quickEntryWithAutofill"}), message, userData, pasteboard);
        };
    });
    ASSERT_TRUE(waitForName(kReceiver));
    platform::Pasteboard pasteboard{{platform::NSStringPboardType, "public.html"},
                                    {{platform::NSStringPboardType, "a selection"}}};
    std::string error = "unchanged";
    EXPECT_EQ(platform::linux_platform::sendServicesRequest(
                  bus, kReceiver, "quickEntryWithAutofill", "data", pasteboard, &error),
              platform::noErr);
    EXPECT_EQ(error, "");
    EXPECT_EQ(platform::linux_platform::sendServicesRequest(bus, kReceiver, "somethingElse", "",
                                                            pasteboard, &error),
              platform::paramErr);
    EXPECT_NE(error.find("somethingElse"), std::string::npos);
    EXPECT_EQ(platform::linux_platform::sendServicesRequest(
                  bus, "com.example.nobody", "quickEntryWithAutofill", "", pasteboard, &error),
              platform::procNotFound);
    EXPECT_EQ(readFile(folder / "calls"), "quickEntryWithAutofill|data|a selection\n");
}

TEST_F(BusTest, OpeningAURLLaunchesTheApplicationOfItsSchemeAndDeliversGetURL) {
    TemporaryFolder applications;
    TemporaryFolder folder;
    const std::string bundle = linux_test::makeBundle(
        applications.path(), "URL Receiver",
        {{"CFBundleIdentifier", "com.example.urlreceiver"},
         {"CFBundleExecutable", "URLReceiver"},
         {"CFBundleURLTypes",
          platform::PropertyList::Array{platform::PropertyList::Dictionary{
              {"CFBundleURLSchemes", platform::PropertyList::Array{"pendratest"}}}}}},
        std::filesystem::canonical("/proc/self/exe").string());
    runReceiversFrom(applications, folder);

    platform::linux_platform::LinuxWorkspace workspace([] {});
    platform::linux_platform::URLOpener opener(sender, workspace, events, bus);
    linux_test::ProcessReaper reaper;
    EXPECT_EQ(platform::linux_platform::applicationForURLScheme(workspace, "PendraTest"), bundle);
    EXPECT_FALSE(platform::linux_platform::applicationForURLScheme(workspace, "unknown"));

    const auto first = *platform::URL::URLWithString("pendratest://quickentry?title=A%20B");
    EXPECT_TRUE(opener.openURL(first));
    EXPECT_FALSE(std::filesystem::exists(folder / "urls"));  // nothing happens before the loop runs
    const std::string me = std::to_string(::getpid());
    const bool delivered = sender.runUntil([&] { return !readFile(folder / "urls").empty(); }, 20);
    auto running = workspace.runningApplicationsWithBundleIdentifier("com.example.urlreceiver");
    for (const auto& application : running) {
        reaper.add(application.processIdentifier);
    }
    ASSERT_TRUE(delivered);
    EXPECT_EQ(readFile(folder / "urls"), first.absoluteString() + " " + me + "\n");
    ASSERT_EQ(running.size(), 1u);
    // Found from the owner of its bus name as from the list of processes; the name of a bundle
    // nobody runs is owned by nobody.
    workspace.setNameOwnerResolver([&](const std::string& bundleIdentifier) {
        return bus.processOwningName(
            platform::linux_platform::busNameForBundleIdentifier(bundleIdentifier));
    });
    EXPECT_EQ(workspace.runningApplicationWithBundleIdentifier("com.example.urlreceiver"),
              running.front());
    EXPECT_FALSE(workspace.runningApplicationWithBundleIdentifier("com.example.nobody"));

    // A second URL goes to the running copy.
    const auto second = *platform::URL::URLWithString("PENDRATEST://again");
    opener.openURL(second);
    ASSERT_TRUE(sender.runUntil(
        [&] { return readFile(folder / "urls").find("again") != std::string::npos; }, 10));
    EXPECT_EQ(readFile(folder / "urls"),
              first.absoluteString() + " " + me + "\n" + second.absoluteString() + " " + me + "\n");
    EXPECT_EQ(workspace.runningApplicationsWithBundleIdentifier("com.example.urlreceiver").size(),
              1u);
}

// The running application that events for an identifier reach is the owner of its bus name: a
// copy that runs without owning it (still starting, or never listening) is no such application,
// although it is counted among the running copies.
TEST_F(BusTest, AnApplicationCountsAsReachableOnlyWhileItOwnsItsBusName) {
    TemporaryFolder applications;
    TemporaryFolder folder;
    const std::string identifier = "com.example.variant";
    const std::string silent =
        linux_test::makeBundle(applications.path(), "Silent", {{"CFBundleIdentifier", identifier}});
    const std::string listening = linux_test::makeBundle(
        applications.path(), "Listening",
        {{"CFBundleIdentifier", identifier}, {"CFBundleExecutable", "Listening"}},
        std::filesystem::canonical("/proc/self/exe").string());
    runReceiversFrom(applications, folder);

    platform::linux_platform::LinuxWorkspace workspace([] {});
    workspace.setNameOwnerResolver([&](const std::string& bundleIdentifier) {
        return bus.processOwningName(busNameForBundleIdentifier(bundleIdentifier));
    });
    linux_test::ProcessReaper reaper;
    const auto launch = [&](const std::string& bundle, std::vector<std::string> arguments) {
        auto running = workspace.launchApplicationAtURL(
            platform::URL::fileURLWithPath(bundle),
            platform::NSWorkspaceLaunchNewInstance | platform::NSWorkspaceLaunchWithoutActivation,
            {std::move(arguments)}, nullptr);
        if (running) {
            reaper.add(running->processIdentifier);
        }
        return running;
    };
    const auto reachable = [&] {
        return workspace.runningApplicationWithBundleIdentifier(identifier);
    };

    const auto silentCopy = launch(silent, {"30"});
    ASSERT_TRUE(silentCopy);
    EXPECT_EQ(workspace.runningApplicationsWithBundleIdentifier(identifier).size(), 1u);
    // Given a moment, it still owns nothing: it runs, yet no event would reach it.
    sender.runUntil([] { return false; }, 0.5);
    EXPECT_FALSE(reachable());

    const auto listeningCopy = launch(listening, {});
    ASSERT_TRUE(listeningCopy);
    ASSERT_TRUE(sender.runUntil([&] { return reachable().has_value(); }, 20));
    EXPECT_EQ(reachable()->processIdentifier, listeningCopy->processIdentifier);
    EXPECT_EQ(workspace.runningApplicationsWithBundleIdentifier(identifier).size(), 2u);

    // Once the owner has gone, the copy that never listened does not take its place.
    ::kill(listeningCopy->processIdentifier, SIGKILL);
    EXPECT_TRUE(sender.runUntil([&] { return !reachable().has_value(); }, 20));
    EXPECT_EQ(workspace.runningApplicationsWithBundleIdentifier(identifier).size(), 1u);
}

// Processes are seen machine-wide: an application of another session that declares the scheme
// gives way to one that can be reached, and to an installed one.
TEST(URLSchemeTest, ARunningApplicationOutsideTheSessionGivesWay) {
    TemporaryFolder applications;
    TemporaryFolder elsewhere;
    const platform::PropertyList::Array types{platform::PropertyList::Dictionary{
        {"CFBundleURLSchemes", platform::PropertyList::Array{"pendraboth"}}}};
    const std::string installed = linux_test::makeBundle(
        applications.path(), "Here",
        {{"CFBundleIdentifier", "com.example.here"}, {"CFBundleURLTypes", types}});
    const std::string other = linux_test::makeBundle(
        elsewhere.path(), "Elsewhere",
        {{"CFBundleIdentifier", "com.example.elsewhere"}, {"CFBundleURLTypes", types}});
    ScopedEnvironment environment;
    environment.set("PENDRA_APPLICATIONS_PATH", applications.path());

    linux_test::ProcessReaper reaper;
    const pid_t running = ::fork();
    if (running == 0) {
        const std::string program = other + "/Contents/MacOS/Elsewhere";
        ::execl(program.c_str(), program.c_str(), "30", nullptr);
        ::_exit(127);
    }
    reaper.add(running);
    platform::linux_platform::LinuxWorkspace workspace([] {});
    ASSERT_TRUE(eventually(
        [&] {
            return !workspace.runningApplicationsWithBundleIdentifier("com.example.elsewhere")
                        .empty();
        },
        std::chrono::seconds(5)));

    using platform::linux_platform::applicationForURLScheme;
    EXPECT_EQ(applicationForURLScheme(workspace, "pendraboth"), other);
    EXPECT_EQ(
        applicationForURLScheme(workspace, "pendraboth",
                                [](const std::string& id) { return id == "com.example.here"; }),
        installed);
    EXPECT_EQ(applicationForURLScheme(
                  workspace, "pendraboth",
                  [](const std::string& id) { return id == "com.example.elsewhere"; }),
              other);
    EXPECT_FALSE(
        applicationForURLScheme(workspace, "pendranone", [](const std::string&) { return true; }));
}

}  // namespace
