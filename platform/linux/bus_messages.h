// One way to speak to a bus: a writer that builds a message, a reader that takes one apart, and
// a call that waits for its reply within bounds. Each remembers its first failure and does
// nothing after it, so that a message is built or read in one chain and checked once:
//   auto call = BusWriter::methodCall(bus, name, path, interface, "PerformService");
//   call << message << userData << pasteboard.types << pasteboard.strings;
//   BusReply reply = callMethod(call, timeout);
//   if (!(reply.read() >> result)) ...
#pragma once

#include <sys/types.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "sd_bus_handles.h"

namespace platform::linux_platform {

// A file descriptor in a message ('h'). One read belongs to the message: it is valid while the
// message is, and closes with it.
struct UnixFd {
    int fd = -1;
};

// A value inside a variant ('v'), as property reads answer it; strings and booleans.
template <typename T>
struct InVariant {
    T& value;
};
template <typename T>
InVariant<T> inVariant(T& value) {
    return {value};
}

// One object on a bus ('(so)'): the bus name of the connection that holds it, and its path.
struct BusObject {
    std::string bus;
    std::string path;
    bool operator==(const BusObject&) const = default;
};

class BusWriter {
  public:
    // A method call that never starts a service that is not running.
    static BusWriter methodCall(sd_bus* bus, const char* destination, const char* path,
                                const char* interface, const char* member);
    static BusWriter signal(sd_bus* bus, const char* path, const char* interface,
                            const char* member);
    // The reply to a method call.
    static BusWriter methodReturn(sd_bus_message* call);

    BusWriter& operator<<(const char* text);  // 's'
    BusWriter& operator<<(const std::string& text) { return *this << text.c_str(); }
    BusWriter& operator<<(bool value);                                     // 'b'
    BusWriter& operator<<(std::int32_t value);                             // 'i'
    BusWriter& operator<<(std::uint32_t value);                            // 'u'
    BusWriter& operator<<(std::uint64_t value);                            // 't'
    BusWriter& operator<<(UnixFd file);                                    // 'h'
    BusWriter& operator<<(std::span<const std::uint8_t> bytes);            // 'ay'
    BusWriter& operator<<(std::span<const std::int32_t> numbers);          // 'ai'
    BusWriter& operator<<(const std::vector<std::string>& texts);          // 'as'
    BusWriter& operator<<(const std::map<std::string, std::string>& map);  // 'a{ss}'
    // An array of `size` bytes that `fill(std::uint8_t*)` writes straight into the message.
    template <typename Fill>
    BusWriter& bytes(std::size_t size, Fill&& fill) {
        if (std::uint8_t* room = arraySpace(size)) {
            std::forward<Fill>(fill)(room);
        }
        return *this;
    }
    // A container ('r' for a structure, 'a', 'v') of the given contents, ended by close().
    BusWriter& open(char type, const char* contents);
    BusWriter& close();

    explicit operator bool() const { return result_ >= 0; }
    // The first failure (a negative errno), or 0.
    int result() const { return result_; }
    sd_bus_message* message() const { return message_.get(); }

    // Sends the message without waiting (1); a method call sent this way asks for no reply.
    // Fails with the first failure of the writing.
    int send();

  private:
    BusWriter() = default;
    std::uint8_t* arraySpace(std::size_t size);
    BusWriter& note(int result) {
        if (result_ >= 0 && result < 0) {
            result_ = result;
        }
        return *this;
    }

    BusMessage message_;
    int result_ = 0;
};

class BusReader {
  public:
    // Reads `message` from where its reading stands; a null message fails at once.
    explicit BusReader(sd_bus_message* message);

    // A value that is not there (the message or container ended) is a failure, -ENXIO.
    BusReader& operator>>(std::string& text);  // 's' or 'o'
    BusReader& operator>>(bool& value);
    BusReader& operator>>(std::int32_t& value);
    BusReader& operator>>(std::uint32_t& value);
    BusReader& operator>>(std::uint64_t& value);
    BusReader& operator>>(UnixFd& file);
    // The bytes stay in the message: the span is valid while the message is.
    BusReader& operator>>(std::span<const std::uint8_t>& bytes);
    BusReader& operator>>(std::vector<std::uint32_t>& numbers);                   // 'au'
    BusReader& operator>>(std::vector<std::string>& texts);                       // 'as'
    BusReader& operator>>(std::map<std::string, std::string>& map);               // 'a{ss}'
    BusReader& operator>>(std::vector<BusObject>& objects);                       // 'a(so)'
    BusReader& operator>>(std::map<std::string, std::vector<std::string>>& map);  // 'a{sas}'
    BusReader& operator>>(InVariant<std::string> value);
    BusReader& operator>>(InVariant<bool> value);
    BusReader& operator>>(InVariant<std::map<std::string, std::vector<std::string>>> value);

    explicit operator bool() const { return result_ >= 0; }
    int result() const { return result_; }

  private:
    // Reads one basic value of type `type` into `place`.
    BusReader& basic(char type, void* place);
    BusReader& note(int result) {
        if (result_ >= 0 && result <= 0) {
            result_ = result < 0 ? result : -ENXIO;
        }
        return *this;
    }

    sd_bus_message* message_;
    int result_ = 0;
};

// What a method call came to: its reply, or the error it ended with.
struct BusReply {
    // >= 0 when the reply came; else a negative errno (the writing's own failure, if any).
    int result = -ENOTCONN;
    BusMessage message;
    BusError error;
    std::uint64_t cookie = 0;  // of the call once sent, to know its answer should it come late

    explicit operator bool() const { return result >= 0; }
    // The reply's arguments; fails at once when there is no reply.
    BusReader read() const { return BusReader(message.get()); }
    // The unique name of the connection that answered; null without a reply.
    const char* sender() const;
};

// Whether a call failed because nothing owns the name it went to.
inline bool isNoOwnerError(const sd_bus_error& error) {
    return sd_bus_error_has_name(&error, SD_BUS_ERROR_SERVICE_UNKNOWN) ||
           sd_bus_error_has_name(&error, SD_BUS_ERROR_NAME_HAS_NO_OWNER);
}

// Sends a method call and waits at most `timeoutUsec` for its reply (0: sd-bus's own default).
// A call whose writing failed is not sent. The call may be written in the same expression:
//   callMethod(BusWriter::methodCall(bus, name, path, interface, "Get") << a << b, timeout)
BusReply callMethod(const BusWriter& call, std::uint64_t timeoutUsec = 0);

// Dispatches the messages that wait unread on a client's connection, at most 1024 of them. On a
// connection whose only handler is its filter (which notes the answers of calls that ran out of
// time), each is dropped once the filter has seen it: an answer given up on has no one waiting
// for it, and signals not subscribed to would otherwise pile up for as long as the client runs.
void dispatchUnread(sd_bus* bus);

// The calls of a client that asks many questions for one answer: each call waits at most the
// per-call limit, and none goes beyond the deadline of the whole question. A call made after
// the deadline is not sent, and it and any call that ran out of time are noted. A call that ran
// out of time is remembered until its answer comes, should it come late, so that the client can
// tell that whoever it asked is no longer busy with it.
class BoundedCalls {
  public:
    using Clock = std::chrono::steady_clock;

    // Every call from now on ends by this moment at the latest.
    void setDeadline(Clock::time_point deadline) {
        deadline_ = deadline;
        timedOut_ = false;
    }
    void setCallLimit(std::chrono::milliseconds limit) { callLimit_ = limit; }
    // True when a call since the last deadline was set ran out of time.
    bool timedOut() const { return timedOut_; }
    // How many times so far a call, or a batch of calls, was sent and its answers awaited:
    // the round trips that a client's questions cost, one after the other.
    std::uint64_t roundTrips() const { return roundTrips_; }
    // True (and noted) once the deadline has passed.
    bool expired();

    // Deadline passed (then -ETIMEDOUT) → call with the time left → note the outcome; the
    // caller reads the reply.
    BusReply call(const BusWriter& call);
    // The calls sent at once, on the one connection they were written for, and their replies
    // awaited together, in the calls' order: one round trip where one after the other would
    // take as many. Each call is bounded as above; one not answered in time is noted like
    // the one of call().
    std::vector<BusReply> callAll(std::span<const BusWriter> calls);

    // When `message` answers a call that had run out of time: the connection that call went
    // to, and the call is forgotten. The connection's filter shows every message here.
    std::optional<std::string> takeLateCall(sd_bus_message* message);
    // Whether a call to that connection ran out of time and its answer has not come.
    bool awaitsLateAnswerFrom(const std::string& connection) const;

  private:
    // The time a call may wait now: the per-call limit, or what is left before the deadline.
    std::chrono::milliseconds limitNow() const;
    // Notes a call that ran out of time, so that its answer is known should it come late.
    void noteTimedOut(const BusWriter& call, const BusReply& reply);

    Clock::time_point deadline_ = Clock::time_point::max();
    std::chrono::milliseconds callLimit_{1000};
    bool timedOut_ = false;
    std::uint64_t roundTrips_ = 0;
    std::map<std::uint64_t, std::string> lateCalls_;  // cookie -> the connection asked
};

// The process of a connection on the bus, asked of the bus daemon through `calls`; absent when
// it did not say.
std::optional<pid_t> processOfConnection(BoundedCalls& calls, sd_bus* bus,
                                         const std::string& connection);

}  // namespace platform::linux_platform
