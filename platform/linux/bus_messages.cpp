#include "bus_messages.h"

#include <algorithm>

namespace platform::linux_platform {

BusWriter BusWriter::methodCall(sd_bus* bus, const char* destination, const char* path,
                                const char* interface, const char* member) {
    BusWriter writer;
    if (bus == nullptr) {
        writer.note(-ENOTCONN);
        return writer;
    }
    writer.note(sd_bus_message_new_method_call(bus, writer.message_.out(), destination, path,
                                               interface, member));
    if (writer) {
        writer.note(sd_bus_message_set_auto_start(writer.message(), 0));
    }
    return writer;
}

BusWriter BusWriter::signal(sd_bus* bus, const char* path, const char* interface,
                            const char* member) {
    BusWriter writer;
    if (bus == nullptr) {
        writer.note(-ENOTCONN);
        return writer;
    }
    writer.note(sd_bus_message_new_signal(bus, writer.message_.out(), path, interface, member));
    return writer;
}

BusWriter BusWriter::methodReturn(sd_bus_message* call) {
    BusWriter writer;
    writer.note(sd_bus_message_new_method_return(call, writer.message_.out()));
    return writer;
}

BusWriter& BusWriter::operator<<(const char* text) {
    return *this ? note(sd_bus_message_append_basic(message(), 's', text)) : *this;
}

BusWriter& BusWriter::operator<<(bool value) {
    const int truth = value ? 1 : 0;
    return *this ? note(sd_bus_message_append_basic(message(), 'b', &truth)) : *this;
}

BusWriter& BusWriter::operator<<(std::int32_t value) {
    return *this ? note(sd_bus_message_append_basic(message(), 'i', &value)) : *this;
}

BusWriter& BusWriter::operator<<(std::uint32_t value) {
    return *this ? note(sd_bus_message_append_basic(message(), 'u', &value)) : *this;
}

BusWriter& BusWriter::operator<<(std::uint64_t value) {
    return *this ? note(sd_bus_message_append_basic(message(), 't', &value)) : *this;
}

BusWriter& BusWriter::operator<<(UnixFd file) {
    return *this ? note(sd_bus_message_append_basic(message(), 'h', &file.fd)) : *this;
}

BusWriter& BusWriter::operator<<(std::span<const std::uint8_t> bytes) {
    return *this ? note(sd_bus_message_append_array(message(), 'y', bytes.data(), bytes.size()))
                 : *this;
}

BusWriter& BusWriter::operator<<(std::span<const std::int32_t> numbers) {
    return *this ? note(sd_bus_message_append_array(message(), 'i', numbers.data(),
                                                    numbers.size_bytes()))
                 : *this;
}

BusWriter& BusWriter::operator<<(const std::vector<std::string>& texts) {
    open('a', "s");
    for (const std::string& text : texts) {
        *this << text;
    }
    return close();
}

BusWriter& BusWriter::operator<<(const std::map<std::string, std::string>& map) {
    open('a', "{ss}");
    for (auto entry = map.begin(); *this && entry != map.end(); ++entry) {
        note(sd_bus_message_append(message(), "{ss}", entry->first.c_str(), entry->second.c_str()));
    }
    return close();
}

std::uint8_t* BusWriter::arraySpace(std::size_t size) {
    void* room = nullptr;
    if (*this) {
        note(sd_bus_message_append_array_space(message(), 'y', size, &room));
    }
    return *this ? static_cast<std::uint8_t*>(room) : nullptr;
}

BusWriter& BusWriter::open(char type, const char* contents) {
    return *this ? note(sd_bus_message_open_container(message(), type, contents)) : *this;
}

BusWriter& BusWriter::close() {
    return *this ? note(sd_bus_message_close_container(message())) : *this;
}

int BusWriter::send() {
    if (!*this) {
        return result_;
    }
    if (sd_bus_message_is_method_call(message(), nullptr, nullptr) > 0) {
        note(sd_bus_message_set_expect_reply(message(), 0));
    }
    if (*this) {
        note(sd_bus_send(nullptr, message(), nullptr));
    }
    return *this ? 1 : result_;
}

BusReader::BusReader(sd_bus_message* message) : message_(message) {
    if (message_ == nullptr) {
        result_ = -ENOMSG;
    }
}

BusReader& BusReader::basic(char type, void* place) {
    return *this ? note(sd_bus_message_read_basic(message_, type, place)) : *this;
}

BusReader& BusReader::operator>>(std::string& text) {
    char next = 0;
    const bool path =
        *this && sd_bus_message_peek_type(message_, &next, nullptr) > 0 && next == 'o';
    const char* read = nullptr;
    if (basic(path ? 'o' : 's', &read)) {
        text = read;
    }
    return *this;
}

BusReader& BusReader::operator>>(bool& value) {
    int truth = 0;
    if (basic('b', &truth)) {
        value = truth != 0;
    }
    return *this;
}

BusReader& BusReader::operator>>(std::int32_t& value) {
    return basic('i', &value);
}

BusReader& BusReader::operator>>(std::uint32_t& value) {
    return basic('u', &value);
}

BusReader& BusReader::operator>>(std::uint64_t& value) {
    return basic('t', &value);
}

BusReader& BusReader::operator>>(UnixFd& file) {
    return basic('h', &file.fd);
}

BusReader& BusReader::operator>>(std::span<const std::uint8_t>& bytes) {
    const void* data = nullptr;
    std::size_t size = 0;
    if (*this && note(sd_bus_message_read_array(message_, 'y', &data, &size))) {
        bytes = std::span<const std::uint8_t>(static_cast<const std::uint8_t*>(data), size);
    }
    return *this;
}

BusReader& BusReader::operator>>(std::vector<std::uint32_t>& numbers) {
    const void* data = nullptr;
    std::size_t size = 0;
    if (*this && note(sd_bus_message_read_array(message_, 'u', &data, &size))) {
        const auto* first = static_cast<const std::uint32_t*>(data);
        numbers.assign(first, first + size / sizeof(std::uint32_t));
    }
    return *this;
}

namespace {

// Reads the elements of an array with `readOne` until it ends; `readOne` answers what
// sd_bus_message_read does (> 0 read, 0 at the end, < 0 failed).
template <typename ReadOne>
int readArray(sd_bus_message* message, const char* contents, ReadOne&& readOne) {
    int r = sd_bus_message_enter_container(message, 'a', contents);
    if (r <= 0) {
        return r;
    }
    while ((r = readOne()) > 0) {
    }
    return r < 0 ? r : sd_bus_message_exit_container(message);
}

}  // namespace

BusReader& BusReader::operator>>(std::vector<std::string>& texts) {
    if (*this) {
        texts.clear();
        note(readArray(message_, "s", [&] {
            const char* text = nullptr;
            const int r = sd_bus_message_read_basic(message_, 's', &text);
            if (r > 0) {
                texts.emplace_back(text);
            }
            return r;
        }));
    }
    return *this;
}

BusReader& BusReader::operator>>(std::map<std::string, std::string>& map) {
    if (*this) {
        map.clear();
        note(readArray(message_, "{ss}", [&] {
            const char* key = nullptr;
            const char* value = nullptr;
            const int r = sd_bus_message_read(message_, "{ss}", &key, &value);
            if (r > 0) {
                map[key] = value;
            }
            return r;
        }));
    }
    return *this;
}

BusReader& BusReader::operator>>(std::vector<BusObject>& objects) {
    if (*this) {
        objects.clear();
        note(readArray(message_, "(so)", [&] {
            const char* name = nullptr;
            const char* path = nullptr;
            const int r = sd_bus_message_read(message_, "(so)", &name, &path);
            if (r > 0) {
                objects.push_back({name, path});
            }
            return r;
        }));
    }
    return *this;
}

BusReader& BusReader::operator>>(std::map<std::string, std::vector<std::string>>& map) {
    if (*this) {
        map.clear();
        note(readArray(message_, "{sas}", [&] {
            int r = sd_bus_message_enter_container(message_, 'e', "sas");
            if (r <= 0) {
                return r;
            }
            const char* key = nullptr;
            if ((r = sd_bus_message_read_basic(message_, 's', &key)) <= 0) {
                return r < 0 ? r : -EBADMSG;
            }
            std::vector<std::string> values;
            if (!(*this >> values)) {
                return result_;
            }
            map[key] = std::move(values);
            r = sd_bus_message_exit_container(message_);
            return r < 0 ? r : 1;
        }));
    }
    return *this;
}

BusReader& BusReader::operator>>(InVariant<std::string> value) {
    const char* text = nullptr;
    if (*this && note(sd_bus_message_read(message_, "v", "s", &text))) {
        value.value = text;
    }
    return *this;
}

BusReader& BusReader::operator>>(InVariant<bool> value) {
    int truth = 0;
    if (*this && note(sd_bus_message_read(message_, "v", "b", &truth))) {
        value.value = truth != 0;
    }
    return *this;
}

BusReader& BusReader::operator>>(InVariant<std::map<std::string, std::vector<std::string>>> value) {
    if (*this && note(sd_bus_message_enter_container(message_, 'v', "a{sas}"))) {
        *this >> value.value;
        if (*this) {
            note(sd_bus_message_exit_container(message_));
        }
    }
    return *this;
}

const char* BusReply::sender() const {
    return message ? sd_bus_message_get_sender(message.get()) : nullptr;
}

BusReply callMethod(const BusWriter& call, std::uint64_t timeoutUsec) {
    BusReply reply;
    reply.result = call.result();
    if (call) {
        reply.result = sd_bus_call(sd_bus_message_get_bus(call.message()), call.message(),
                                   timeoutUsec, &reply.error.error, reply.message.out());
        // Left 0 when the call was never sent (nor sealed).
        sd_bus_message_get_cookie(call.message(), &reply.cookie);
    }
    return reply;
}

void dispatchUnread(sd_bus* bus) {
    for (int message = 0; message < 1024 && sd_bus_process(bus, nullptr) > 0; ++message) {
    }
}

bool BoundedCalls::expired() {
    if (Clock::now() < deadline_) {
        return false;
    }
    timedOut_ = true;
    return true;
}

std::chrono::milliseconds BoundedCalls::limitNow() const {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now());
    return std::max(std::min(left, callLimit_), std::chrono::milliseconds(1));
}

void BoundedCalls::noteTimedOut(const BusWriter& call, const BusReply& reply) {
    timedOut_ = true;
    const char* destination = sd_bus_message_get_destination(call.message());
    if (reply.cookie != 0 && destination != nullptr) {
        lateCalls_[reply.cookie] = destination;
        // Cookies grow; the oldest calls go first, their answers long given up.
        while (lateCalls_.size() > 64) {
            lateCalls_.erase(lateCalls_.begin());
        }
    }
}

BusReply BoundedCalls::call(const BusWriter& call) {
    if (expired()) {
        BusReply reply;
        reply.result = -ETIMEDOUT;
        return reply;
    }
    const auto limit = limitNow();
    ++roundTrips_;
    BusReply reply = callMethod(call, static_cast<std::uint64_t>(limit.count()) * 1000U);
    if (reply.result == -ETIMEDOUT) {
        noteTimedOut(call, reply);
    }
    return reply;
}

namespace {

// Keeps the answer of one call sent without waiting: the reply, or the error it ended with
// (sd-bus answers a call that ran out of its time with an error of its own, ETIMEDOUT).
int keepReply(sd_bus_message* message, void* userdata, sd_bus_error*) {
    auto* reply = static_cast<BusReply*>(userdata);
    if (const sd_bus_error* error = sd_bus_message_get_error(message)) {
        sd_bus_error_copy(&reply->error.error, error);
        reply->result = -sd_bus_message_get_errno(message);
        if (reply->result >= 0) {
            reply->result = -EIO;
        }
    } else {
        reply->message.reset(sd_bus_message_ref(message));
        reply->result = 1;
    }
    return 1;
}

// A reply that has not come yet.
constexpr int kAwaited = 1'000'000;

}  // namespace

std::vector<BusReply> BoundedCalls::callAll(std::span<const BusWriter> calls) {
    std::vector<BusReply> replies(calls.size());
    if (expired()) {
        for (auto& reply : replies) {
            reply.result = -ETIMEDOUT;
        }
        return replies;
    }
    const auto limit = limitNow();
    const auto until = Clock::now() + limit;
    std::vector<BusSlot> slots(calls.size());
    sd_bus* bus = nullptr;
    for (std::size_t index = 0; index < calls.size(); ++index) {
        BusReply& reply = replies[index];
        reply.result = calls[index].result();
        if (!calls[index]) {
            continue;
        }
        bus = sd_bus_message_get_bus(calls[index].message());
        reply.result = kAwaited;
        const int sent =
            sd_bus_call_async(bus, slots[index].out(), calls[index].message(), keepReply, &reply,
                              static_cast<std::uint64_t>(limit.count()) * 1000U);
        if (sent < 0) {
            reply.result = sent;
        }
        sd_bus_message_get_cookie(calls[index].message(), &reply.cookie);
    }
    auto awaited = [&replies] {
        return std::any_of(replies.begin(), replies.end(),
                           [](const BusReply& reply) { return reply.result == kAwaited; });
    };
    if (bus != nullptr) {
        ++roundTrips_;
    }
    // Every message that comes meanwhile is dispatched: the replies to these calls, and
    // whatever else the connection's filter is there to see.
    while (bus != nullptr && awaited()) {
        const int processed = sd_bus_process(bus, nullptr);
        if (processed < 0) {
            break;
        }
        if (processed > 0) {
            continue;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::microseconds>(until - Clock::now());
        if (left.count() <= 0) {
            break;
        }
        sd_bus_wait(bus, static_cast<std::uint64_t>(left.count()));
    }
    for (std::size_t index = 0; index < calls.size(); ++index) {
        BusReply& reply = replies[index];
        if (reply.result == kAwaited) {
            // No longer awaited: its reply, should it come, goes to the connection's filter.
            slots[index].reset();
            reply.result = sd_bus_is_open(bus) > 0 ? -ETIMEDOUT : -ENOTCONN;
        }
        if (reply.result == -ETIMEDOUT) {
            noteTimedOut(calls[index], reply);
        }
    }
    return replies;
}

std::optional<pid_t> processOfConnection(BoundedCalls& calls, sd_bus* bus,
                                         const std::string& connection) {
    std::uint32_t pid = 0;
    if (!(calls
              .call(BusWriter::methodCall(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                          "org.freedesktop.DBus", "GetConnectionUnixProcessID")
                    << connection)
              .read() >>
          pid)) {
        return std::nullopt;
    }
    return static_cast<pid_t>(pid);
}

bool BoundedCalls::awaitsLateAnswerFrom(const std::string& connection) const {
    return std::any_of(lateCalls_.begin(), lateCalls_.end(),
                       [&connection](const auto& call) { return call.second == connection; });
}

std::optional<std::string> BoundedCalls::takeLateCall(sd_bus_message* message) {
    std::uint64_t cookie = 0;
    if (lateCalls_.empty() || sd_bus_message_get_reply_cookie(message, &cookie) < 0) {
        return std::nullopt;
    }
    const auto call = lateCalls_.find(cookie);
    if (call == lateCalls_.end()) {
        return std::nullopt;
    }
    std::string destination = std::move(call->second);
    lateCalls_.erase(call);
    return destination;
}

}  // namespace platform::linux_platform
