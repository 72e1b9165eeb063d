#include <cstring>
#include <memory>
#include <span>
#include <variant>

#include "bus_messages.h"
#include "linux_bus.h"
#include "linux_event_files.h"
#include "linux_event_transport.h"
#include "linux_support.h"

namespace platform::linux_platform {
namespace {

// Keeps a message, and the bytes read from it, for as long as a descriptor shares them.
std::shared_ptr<const void> keptAlive(sd_bus_message* message) {
    return std::shared_ptr<const void>(sd_bus_message_ref(message), [](const void* kept) {
        sd_bus_message_unref(static_cast<sd_bus_message*>(const_cast<void*>(kept)));
    });
}

BusWriter eventCall(sd_bus* bus, const std::string& destination, bool inMemoryFile) {
    return BusWriter::methodCall(
        bus, destination.c_str(), kApplicationObjectPath, kApplicationInterface,
        inMemoryFile ? kHandleEventInSharedMemoryMethod : kHandleEventMethod);
}

// The event's byte form, written once, straight into the message.
BusWriter callWithBytes(sd_bus* bus, const std::string& name, const AppleEventDescriptor& event) {
    BusWriter call = eventCall(bus, name, false);
    call.bytes(event.flattenedSize(), [&](std::uint8_t* room) { event.flattenInto(room); });
    return call;
}

// A large event on its way, in a memory file.
//
// Files are kept for a receiver's unique name, never for the well-known name it owns: a receiver
// may keep the descriptor and read the file later, so a file that has carried an event to one
// connection may carry the next event only to that same connection. Written for whoever owns
// the name by then, it would show that one's event to the connection that held it before.
struct EventInFile {
    std::string name;      // the bus name the event is meant for
    std::string receiver;  // the connection that owned it when asked, for which the file is kept
    std::unique_ptr<EventFile> file;
    std::size_t size = 0;
    std::weak_ptr<EventFiles> files;

    // A kept file goes to the connection that holds it already.
    const std::string& destination() const {
        return file->heldBy().empty() ? name : file->heldBy();
    }
    // Keeps the file for the receiver's next event, once that very connection has answered.
    void keepIfAnsweredBy(const char* answeredBy) {
        const auto kept = files.lock();
        if (kept && answeredBy != nullptr && receiver == answeredBy) {
            kept->keep(receiver, std::move(file));
        }
    }
    // Whether the event goes again, as bytes, to its name: a receiver that takes no memory
    // files takes the bytes, and so does the name's owner when the connection that held a kept
    // file is gone.
    bool resendAsBytes(const sd_bus_error& error) const {
        return sd_bus_error_has_name(&error, SD_BUS_ERROR_UNKNOWN_METHOD) ||
               (!file->heldBy().empty() && isNoOwnerError(error));
    }
};

// The answer to an event in a file sent without waiting: awaited on the loop all the same, so
// that a receiver that does not know memory files still gets the bytes, and so that the file is
// kept for the next event once the receiver is done with it.
int whenEventInFileAnswered(sd_bus_message* answer, void* userdata, sd_bus_error* /*error*/) {
    auto* sent = static_cast<EventInFile*>(userdata);
    const sd_bus_error* error = sd_bus_message_get_error(answer);
    if (error == nullptr) {
        sent->keepIfAnsweredBy(sd_bus_message_get_sender(answer));
    } else if (sent->resendAsBytes(*error)) {
        BusWriter call = eventCall(sd_bus_message_get_bus(answer), sent->name, false);
        call << std::span<const std::uint8_t>(sent->file->bytes(), sent->size);
        if (const int r = call.send(); r < 0) {
            logLine("An event that " + sent->name +
                    " took only as bytes could not be sent again: " + std::strerror(-r));
        }
    }
    return 0;
}

int sendAwaitingAnswer(std::unique_ptr<EventInFile> sent, const BusWriter& call) {
    sd_bus_message* message = call.message();
    sd_bus_slot* slot = nullptr;
    const int r = sd_bus_call_async(sd_bus_message_get_bus(message), &slot, message,
                                    whenEventInFileAnswered, sent.get(), 0);
    if (r < 0) {
        return r;
    }
    // The slot goes with the answer (or the connection) and takes the file with it.
    sd_bus_slot_set_destroy_callback(
        slot, [](void* userdata) { delete static_cast<EventInFile*>(userdata); });
    sent.release();
    sd_bus_slot_set_floating(slot, 1);
    sd_bus_slot_unref(slot);
    return r;
}

OSStatus statusOfFailedCall(const BusReply& reply, const std::string& name) {
    if (isNoOwnerError(reply.error.error)) {
        return procNotFound;
    }
    // A program that owns the name without our interface (an application of the desktop that
    // is not in front) does not understand the event.
    if (reply.error.has(SD_BUS_ERROR_UNKNOWN_METHOD) ||
        reply.error.has(SD_BUS_ERROR_UNKNOWN_OBJECT) ||
        reply.error.has(SD_BUS_ERROR_UNKNOWN_INTERFACE)) {
        return errAEEventNotHandled;
    }
    if (reply.result == -ETIMEDOUT || reply.error.has(SD_BUS_ERROR_NO_REPLY) ||
        reply.error.has(SD_BUS_ERROR_TIMEOUT)) {
        return errAETimeout;
    }
    logLine("Sending an Apple Event to " + name + " failed: " + reply.error.text());
    return errOSASystemError;
}

// Answers an event, its bytes held by `owner`, with a reply when the sender expects one.
int answerEvent(sd_bus_message* message, SessionBus* bus, std::span<const std::uint8_t> bytes,
                std::shared_ptr<const void> owner) {
    // The sender is who the bus says it is, never what the event claims. Its process id is
    // asked for only when a handler reads it; a connection without a unique name (a direct
    // one) tells its process at once.
    auto sender = SessionBus::serialNumberOfConnection(sd_bus_message_get_sender(message));
    if (!sender) {
        pid_t pid = 0;
        BusCredentials creds;
        if (sd_bus_query_sender_creds(message, SD_BUS_CREDS_PID, creds.out()) >= 0) {
            sd_bus_creds_get_pid(creds.get(), &pid);
        }
        sender = ProcessSerialNumber{0, static_cast<std::uint32_t>(pid)};
    }
    if (!bus->eventReceiver) {
        return -ENOSYS;
    }
    const AppleEventDescriptor answer = bus->eventReceiver(bytes, std::move(owner), *sender);
    if (sd_bus_message_get_expect_reply(message) == 0) {
        return 1;
    }
    BusWriter reply = BusWriter::methodReturn(message);
    reply.bytes(answer.flattenedSize(), [&](std::uint8_t* room) { answer.flattenInto(room); });
    const int r = reply.send();
    return r < 0 ? r : 1;
}

}  // namespace

OSStatus sendEvent(SessionBus& bus, const std::string& name, const AppleEventDescriptor& event,
                   std::optional<std::uint64_t> replyTimeoutUsec,
                   std::optional<AppleEventDescriptor>& answer) {
    sd_bus* connection = bus.connection();
    if (connection == nullptr) {
        return procNotFound;
    }
    const std::size_t size = event.flattenedSize();
    if (size > kMaximumEventBytes) {
        logLine("Not sending " + fourCharCodeString(event.eventClass()) + "/" +
                fourCharCodeString(event.eventID()) + " to " + name + ": it takes " +
                std::to_string(size) + " bytes, more than the " +
                std::to_string(kMaximumEventBytes) + " one message may carry");
        return errAEEventFailed;
    }
    // A large event goes in a memory file: the one kept for its receiver when there is one.
    EventInFile inFile{name, {}, nullptr, size, bus.eventFiles().weak_from_this()};
    if (size >= kEventInMemoryFileBytes && sd_bus_can_send(connection, SD_BUS_TYPE_UNIX_FD) > 0) {
        inFile.receiver = bus.ownerOfName(name);
        if ((inFile.file = bus.eventFiles().take(inFile.receiver, size))) {
            event.flattenInto(inFile.file->bytes());
        }
    }
    BusWriter call = inFile.file ? eventCall(connection, inFile.destination(), true)
                                 : callWithBytes(connection, name, event);
    if (inFile.file) {
        call << UnixFd{inFile.file->descriptor()} << static_cast<std::uint64_t>(size);
    }
    if (call.message() == nullptr && call.result() == -EINVAL) {
        return procNotFound;  // not a name the bus could have
    }
    if (!call) {
        return errOSASystemError;
    }

    if (!replyTimeoutUsec) {
        if (!bus.nameHasOwner(name)) {
            return procNotFound;
        }
        const int r =
            inFile.file ? sendAwaitingAnswer(std::make_unique<EventInFile>(std::move(inFile)), call)
                        : call.send();
        return r < 0 || sd_bus_flush(connection) < 0 ? errOSASystemError : noErr;
    }

    BusReply reply = callMethod(std::move(call), *replyTimeoutUsec);
    if (!reply && inFile.file && inFile.resendAsBytes(reply.error.error)) {
        reply = callMethod(callWithBytes(connection, name, event), *replyTimeoutUsec);
    }
    if (!reply) {
        return statusOfFailedCall(reply, name);
    }
    if (inFile.file) {
        inFile.keepIfAnsweredBy(reply.sender());
    }
    std::span<const std::uint8_t> bytes;
    if (!(reply.read() >> bytes)) {
        return errAENotAEDesc;
    }
    answer = AppleEventDescriptor::unflatten(bytes, keptAlive(reply.message.get()));
    return answer ? noErr : errAENotAEDesc;
}

int handleEventMethod(sd_bus_message* message, void* userdata, sd_bus_error* /*error*/) {
    std::span<const std::uint8_t> bytes;
    if (BusReader reader(message); !(reader >> bytes)) {
        return reader.result();
    }
    return answerEvent(message, static_cast<SessionBus*>(userdata), bytes, keptAlive(message));
}

int handleEventInSharedMemoryMethod(sd_bus_message* message, void* userdata, sd_bus_error* error) {
    UnixFd file;
    std::uint64_t size = 0;
    if (BusReader reader(message); !(reader >> file >> size)) {
        return reader.result();
    }
    auto* bus = static_cast<SessionBus*>(userdata);
    auto copied = bus->eventFiles().copyOfEvent(file.fd, size);
    if (const auto* refusal = std::get_if<std::string>(&copied)) {
        const char* sender = sd_bus_message_get_sender(message);
        logLine(std::string("Refusing an event from ") + (sender != nullptr ? sender : "a peer") +
                " in " + *refusal);
        return sd_bus_error_set(error, SD_BUS_ERROR_INVALID_ARGS, refusal->c_str());
    }
    auto& bytes = std::get<0>(copied);
    const std::span<const std::uint8_t> event(bytes.get(), static_cast<std::size_t>(size));
    return answerEvent(message, bus, event, std::move(bytes));
}

}  // namespace platform::linux_platform
