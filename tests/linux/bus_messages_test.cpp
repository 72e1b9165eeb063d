// The bus writer and reader over a real connection: a peer on a socket pair echoes every call's
// arguments back, or leaves a call unanswered, so that what the writer builds is read back by
// the reader after crossing the wire.
#include "bus_messages.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <variant>

namespace {

using namespace platform::linux_platform;

constexpr const char* kPath = "/test";
constexpr const char* kInterface = "com.orvano.Pendra.Test";

// Two ends of a private connection; the server end runs on a thread of its own and answers
// "Echo" with the call's own arguments, "Late" the same after half a second, and never answers
// "Ignore".
class PeerBus {
  public:
    PeerBus() {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) < 0) {
            return;
        }
        sd_id128_t id;
        sd_id128_randomize(&id);
        sd_bus_new(server_.out());
        sd_bus_set_fd(server_.get(), fds[0], fds[0]);
        sd_bus_set_server(server_.get(), 1, id);
        sd_bus_add_filter(server_.get(), nullptr, &PeerBus::answer, nullptr);
        sd_bus_new(client_.out());
        sd_bus_set_fd(client_.get(), fds[1], fds[1]);
        if (sd_bus_start(server_.get()) < 0 || sd_bus_start(client_.get()) < 0) {
            return;
        }
        serving_ = std::thread([this] {
            while (!stop_) {
                if (sd_bus_process(server_.get(), nullptr) == 0) {
                    sd_bus_wait(server_.get(), 50'000);
                }
            }
        });
    }
    ~PeerBus() {
        stop_ = true;
        if (serving_.joinable()) {
            serving_.join();
        }
    }
    sd_bus* client() const { return client_.get(); }
    BusWriter call(const char* member) const {
        return BusWriter::methodCall(client(), "peer.Echo", kPath, kInterface, member);
    }

  private:
    static int answer(sd_bus_message* message, void*, sd_bus_error*) {
        const bool late = sd_bus_message_is_method_call(message, kInterface, "Late") > 0;
        if (late) {
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
        }
        if (late || sd_bus_message_is_method_call(message, kInterface, "Echo") > 0) {
            BusMessage reply;
            sd_bus_message_new_method_return(message, reply.out());
            sd_bus_message_copy(reply.get(), message, 1);
            sd_bus_send(nullptr, reply.get(), nullptr);
        }
        return 1;  // nothing else answers, "Ignore" included
    }

    BusConnection server_;
    BusConnection client_;
    std::atomic<bool> stop_ = false;
    std::thread serving_;
};

// The next message that comes to the client unasked for (a late answer), within 20 seconds.
BusMessage nextUnreadMessage(sd_bus* client) {
    BusMessage answer;
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!answer && std::chrono::steady_clock::now() < giveUp) {
        if (sd_bus_process(client, answer.out()) <= 0) {
            sd_bus_wait(client, 100'000);
        }
    }
    return answer;
}

using Value = std::variant<std::string, bool, std::int32_t, std::uint32_t, std::uint64_t,
                           std::vector<std::string>, std::map<std::string, std::string>>;

TEST(BusMessagesTest, WhatTheWriterBuildsTheReaderReadsBackAcrossTheWire) {
    const std::vector<Value> values = {
        std::string("plain"),
        std::string(),
        std::string("ünïcödé ✓"),
        true,
        false,
        std::int32_t{-7},
        std::uint32_t{0xffff'ffff},
        std::uint64_t{1} << 63,
        std::vector<std::string>{},
        std::vector<std::string>{"one", "", "three"},
        std::map<std::string, std::string>{},
        std::map<std::string, std::string>{{"key", "value"}, {"", "an empty key"}},
    };
    std::vector<std::uint8_t> large(200'000);
    for (std::size_t i = 0; i < large.size(); ++i) {
        large[i] = static_cast<std::uint8_t>(i * 7);
    }
    const std::uint8_t small[] = {0, 1, 255};
    int pipe[2];
    ASSERT_EQ(::pipe2(pipe, O_CLOEXEC), 0);

    PeerBus peer;
    BusWriter call = peer.call("Echo");
    for (const Value& value : values) {
        std::visit([&](const auto& each) { call << each; }, value);
    }
    call.bytes(large.size(),
               [&](std::uint8_t* room) { std::copy(large.begin(), large.end(), room); });
    call << std::span<const std::uint8_t>(small) << std::span<const std::uint8_t>()
         << UnixFd{pipe[0]};
    call.open('v', "s") << "in a variant";
    call.close().open('v', "b") << true;
    call.close();
    ASSERT_TRUE(call) << call.result();
    ASSERT_GE(sd_bus_message_append(call.message(), "a(so)", 2, ":1.5", "/a", ":1.6", "/b/c"), 0);

    const BusReply reply = callMethod(std::move(call), 10'000'000);
    ASSERT_TRUE(reply) << reply.error.text();
    BusReader reader = reply.read();
    for (const Value& expected : values) {
        std::visit(
            [&](const auto& each) {
                std::decay_t<decltype(each)> read{};
                EXPECT_TRUE(reader >> read);
                EXPECT_EQ(read, each);
            },
            expected);
    }
    std::span<const std::uint8_t> readLarge, readSmall, readEmpty;
    UnixFd file;
    std::string text;
    bool truth = false;
    std::vector<BusObject> objects;
    ASSERT_TRUE(reader >> readLarge >> readSmall >> readEmpty >> file >> inVariant(text) >>
                inVariant(truth) >> objects)
        << reader.result();
    EXPECT_TRUE(std::equal(readLarge.begin(), readLarge.end(), large.begin(), large.end()));
    EXPECT_TRUE(std::equal(readSmall.begin(), readSmall.end(), std::begin(small), std::end(small)));
    EXPECT_TRUE(readEmpty.empty());
    struct stat sent {
    }, received{};
    ASSERT_EQ(::fstat(pipe[0], &sent), 0);
    ASSERT_EQ(::fstat(file.fd, &received), 0);
    EXPECT_EQ(sent.st_ino, received.st_ino);  // the same pipe, through another descriptor
    EXPECT_EQ(text, "in a variant");
    EXPECT_TRUE(truth);
    EXPECT_EQ(objects, (std::vector<BusObject>{{":1.5", "/a"}, {":1.6", "/b/c"}}));
    std::string beyond;
    EXPECT_FALSE(reader >> beyond);
    EXPECT_EQ(reader.result(), -ENXIO);
    ::close(pipe[0]);
    ::close(pipe[1]);
}

TEST(BusMessagesTest, TheFirstFailureStopsAWriterOrReaderAndIsWhatItReports) {
    PeerBus peer;
    // Text that is not UTF-8 cannot go on the bus; what follows is not written, nor sent.
    BusWriter broken = peer.call("Echo");
    broken << "\xff\xfe" << std::uint32_t{1} << std::vector<std::string>{"after"};
    EXPECT_FALSE(broken);
    EXPECT_EQ(broken.result(), -EINVAL);
    const BusReply notSent = callMethod(std::move(broken), 10'000'000);
    EXPECT_FALSE(notSent);
    EXPECT_EQ(notSent.result, -EINVAL);
    EXPECT_EQ(notSent.message.get(), nullptr);
    EXPECT_FALSE(notSent.read());
    // No connection: nothing is built.
    EXPECT_EQ(BusWriter::methodCall(nullptr, "a.b", kPath, kInterface, "Echo").result(), -ENOTCONN);

    // A value of another type than the one asked for stops the reading there.
    BusWriter call = peer.call("Echo");
    call << "text" << std::uint32_t{5};
    const BusReply reply = callMethod(std::move(call), 10'000'000);
    ASSERT_TRUE(reply) << reply.error.text();
    BusReader reader = reply.read();
    std::uint32_t number = 42;
    std::string text = "untouched";
    EXPECT_FALSE(reader >> number >> text);
    EXPECT_LT(reader.result(), 0);
    EXPECT_EQ(number, 42u);
    EXPECT_EQ(text, "untouched");
    EXPECT_EQ(BusReader(nullptr).result(), -ENOMSG);
}

TEST(BusMessagesTest, BoundedCallsEndAtTheDeadlineOrTheCallLimitAndNoteIt) {
    PeerBus peer;
    BoundedCalls calls;
    // Before the deadline an answered call goes through.
    calls.setDeadline(BoundedCalls::Clock::now() + std::chrono::minutes(1));
    EXPECT_TRUE(calls.call(peer.call("Echo")));
    EXPECT_FALSE(calls.timedOut());

    // A call nobody answers ends at the per-call limit, well before the deadline.
    calls.setCallLimit(std::chrono::milliseconds(200));
    const auto start = std::chrono::steady_clock::now();
    const BusReply unanswered = calls.call(peer.call("Ignore"));
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(unanswered.result, -ETIMEDOUT);
    EXPECT_TRUE(calls.timedOut());
    EXPECT_GE(waited, std::chrono::milliseconds(150));
    EXPECT_LT(waited, std::chrono::seconds(20));

    // A new deadline starts afresh; once it has passed, no call is made at all.
    calls.setDeadline(BoundedCalls::Clock::now() - std::chrono::milliseconds(1));
    EXPECT_FALSE(calls.timedOut());
    const BusReply late = calls.call(peer.call("Echo"));
    EXPECT_EQ(late.result, -ETIMEDOUT);
    EXPECT_EQ(late.message.get(), nullptr);
    EXPECT_TRUE(calls.timedOut());
}

TEST(BusMessagesTest, ACallThatRanOutOfTimeIsKnownByItsLateAnswerAlone) {
    PeerBus peer;
    BoundedCalls calls;
    calls.setDeadline(BoundedCalls::Clock::now() + std::chrono::minutes(1));
    calls.setCallLimit(std::chrono::milliseconds(100));
    EXPECT_FALSE(calls.awaitsLateAnswerFrom("peer.Echo"));
    const BusReply gaveUp = calls.call(peer.call("Late"));
    ASSERT_EQ(gaveUp.result, -ETIMEDOUT);
    EXPECT_NE(gaveUp.cookie, 0u);
    EXPECT_TRUE(calls.awaitsLateAnswerFrom("peer.Echo"));
    EXPECT_FALSE(calls.awaitsLateAnswerFrom("peer.Other"));

    // The answer to another call is not the late one (it comes after it, on the same wire).
    calls.setCallLimit(std::chrono::seconds(20));
    const BusReply echo = calls.call(peer.call("Echo"));
    ASSERT_TRUE(echo);
    EXPECT_FALSE(calls.takeLateCall(echo.message.get()));

    // The late answer waits unread on the connection; it names the connection it came from
    // once, and is forgotten then.
    const BusMessage answer = nextUnreadMessage(peer.client());
    ASSERT_TRUE(answer);
    EXPECT_EQ(calls.takeLateCall(answer.get()), std::optional<std::string>("peer.Echo"));
    EXPECT_FALSE(calls.takeLateCall(answer.get()));
    EXPECT_FALSE(calls.awaitsLateAnswerFrom("peer.Echo"));
}

}  // namespace

TEST(BusMessagesTest, CallsSentTogetherAreAnsweredInTheirOrderInOneRoundTrip) {
    PeerBus peer;
    BoundedCalls calls;
    calls.setDeadline(BoundedCalls::Clock::now() + std::chrono::minutes(1));
    calls.setCallLimit(std::chrono::milliseconds(300));
    EXPECT_TRUE(calls.callAll({}).empty());
    EXPECT_EQ(calls.roundTrips(), 0u);

    std::vector<BusWriter> batch;
    batch.push_back(std::move(peer.call("Echo") << "first"));
    batch.push_back(peer.call("Ignore"));
    batch.push_back(std::move(peer.call("Echo") << std::int32_t{42}));
    batch.push_back(peer.call("Late"));
    const auto replies = calls.callAll(batch);
    ASSERT_EQ(replies.size(), 4u);
    EXPECT_EQ(calls.roundTrips(), 1u);
    std::string text;
    EXPECT_TRUE(replies[0].read() >> text);
    EXPECT_EQ(text, "first");
    std::int32_t number = 0;
    EXPECT_TRUE(replies[2].read() >> number);
    EXPECT_EQ(number, 42);
    // Those not answered within the limit are noted like a single call's, and the late one is
    // known by its answer when that comes.
    EXPECT_EQ(replies[1].result, -ETIMEDOUT);
    EXPECT_EQ(replies[3].result, -ETIMEDOUT);
    EXPECT_TRUE(calls.timedOut());
    EXPECT_TRUE(calls.awaitsLateAnswerFrom("peer.Echo"));
    const BusMessage answer = nextUnreadMessage(peer.client());
    ASSERT_TRUE(answer);
    EXPECT_EQ(calls.takeLateCall(answer.get()), std::optional<std::string>("peer.Echo"));

    // Past the deadline nothing is sent.
    calls.setDeadline(BoundedCalls::Clock::now() - std::chrono::milliseconds(1));
    std::vector<BusWriter> tooLate;
    tooLate.push_back(peer.call("Echo"));
    const auto none = calls.callAll(tooLate);
    ASSERT_EQ(none.size(), 1u);
    EXPECT_EQ(none[0].result, -ETIMEDOUT);
    EXPECT_EQ(calls.roundTrips(), 1u);
}
