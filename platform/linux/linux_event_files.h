// Memory files that carry large events across the bus, so that the bus daemon relays a handle
// instead of the bytes.
//
// Fresh pages of a memory file cost far more than copying into pages already there, so a
// sender keeps the file of its last large event to each receiving connection and writes the
// next event to that connection into it, once that connection has answered the event before;
// a kept file is sent to the connection's unique name, never to whoever owns a well-known name
// by then. The file is sealed against writing by anyone but the sender, and against shrinking
// and growing; the receiver checks the latter two, which keep its reading from faulting, and
// copies the event out before it reads it, since the sender writes the file again later.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <variant>

namespace platform::linux_platform {

class LinuxApplication;

// A memory file of fixed size, sealed against shrinking, growing, further seals and writing by
// anyone else, with the sender's mapping open for writing.
class EventFile {
  public:
    // A file with room for `size` bytes and some to spare; null when none can be made.
    static std::unique_ptr<EventFile> withRoomFor(std::size_t size);
    ~EventFile();
    EventFile(const EventFile&) = delete;
    EventFile& operator=(const EventFile&) = delete;

    int descriptor() const { return file_; }
    // The unique name of the connection that has held the file already; empty for a new file.
    const std::string& heldBy() const { return heldBy_; }
    std::size_t capacity() const { return capacity_; }
    std::uint8_t* bytes() const { return bytes_; }

  private:
    friend class EventFiles;
    EventFile(int file, std::uint8_t* bytes, std::size_t capacity)
        : file_(file), bytes_(bytes), capacity_(capacity) {}
    int file_;
    std::uint8_t* bytes_;
    std::size_t capacity_;
    std::string heldBy_;
};

// The memory large events travel in, kept while events come: the files this process sends in,
// one for each receiving connection, and the memory it copies a received event into. What goes
// unused for kKeepSeconds is let go, and the kept files take at most kKeptBytes together, the
// one used longest ago let go first. A file is kept by the receiver's unique name, never by a
// well-known name: the receiver may keep the descriptor and read the file later, so the file
// may carry the next event only to that same connection.
class EventFiles : public std::enable_shared_from_this<EventFiles> {
  public:
    static constexpr double kKeepSeconds = 10;
    static constexpr std::size_t kKeptBytes = 64 * 1024 * 1024;

    explicit EventFiles(LinuxApplication& application) : application_(application) {}
    // A file for an event of `size` bytes to `receiver`: the one kept for it when it has the
    // room, else a new one (also for an empty `receiver`, which is not kept). Null when no file
    // can be made.
    std::unique_ptr<EventFile> take(const std::string& receiver, std::size_t size);
    // Keeps the file of an event that `receiver` has answered, for its next one.
    void keep(const std::string& receiver, std::unique_ptr<EventFile> file);
    // The `size` bytes of an event at the start of a received memory file, copied out (into the
    // last event's memory when no descriptor holds that any more); a reason when the file is not
    // a memory file sealed against shrinking and growing that holds them, or `size` is not an
    // event's.
    std::variant<std::shared_ptr<const std::uint8_t[]>, std::string> copyOfEvent(
        int fd, std::uint64_t size);

  private:
    struct Kept {
        std::unique_ptr<EventFile> file;
        std::chrono::steady_clock::time_point since;
    };
    // Now, with the letting go of unused memory scheduled.
    std::chrono::steady_clock::time_point usedNow();
    void letGoOfUnused();
    void letGoOfUnusedAfter(double seconds);

    LinuxApplication& application_;
    std::map<std::string, Kept> kept_;
    std::shared_ptr<std::uint8_t[]> received_;
    std::size_t receivedCapacity_ = 0;
    std::chrono::steady_clock::time_point receivedSince_;
    bool sweepScheduled_ = false;
};

}  // namespace platform::linux_platform
