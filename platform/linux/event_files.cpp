#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "linux_application.h"
#include "linux_bus.h"
#include "linux_event_files.h"

namespace platform::linux_platform {
namespace {

constexpr int kRequiredSeals = F_SEAL_SHRINK | F_SEAL_GROW;
constexpr std::size_t kFileGranule = 64 * 1024;

}  // namespace

std::unique_ptr<EventFile> EventFile::withRoomFor(std::size_t size) {
    // An eighth to spare, so that the next event, a little larger, still fits.
    const std::size_t capacity = (size + size / 8 + kFileGranule - 1) / kFileGranule * kFileGranule;
    const int file = ::memfd_create("apple-event", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (file < 0) {
        return nullptr;
    }
    // Sealed once the sender's own mapping is made: from then on nobody else can write the
    // file, resize it or change its seals, while the sender writes through that mapping.
    void* bytes = MAP_FAILED;
    if (::ftruncate(file, static_cast<off_t>(capacity)) == 0) {
        // Populated at once: one fault for the whole file instead of one a page.
        bytes =
            ::mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, file, 0);
    }
    if (bytes != MAP_FAILED &&
        ::fcntl(file, F_ADD_SEALS, kRequiredSeals | F_SEAL_FUTURE_WRITE | F_SEAL_SEAL) < 0) {
        ::munmap(bytes, capacity);
        bytes = MAP_FAILED;
    }
    if (bytes == MAP_FAILED) {
        ::close(file);
        return nullptr;
    }
    return std::unique_ptr<EventFile>(
        new EventFile(file, static_cast<std::uint8_t*>(bytes), capacity));
}

EventFile::~EventFile() {
    ::munmap(bytes_, capacity_);
    ::close(file_);
}

std::unique_ptr<EventFile> EventFiles::take(const std::string& receiver, std::size_t size) {
    if (const auto found = kept_.find(receiver); found != kept_.end()) {
        std::unique_ptr<EventFile> file = std::move(found->second.file);
        kept_.erase(found);
        if (file->capacity() >= size) {
            return file;
        }
    }
    return EventFile::withRoomFor(size);
}

void EventFiles::keep(const std::string& receiver, std::unique_ptr<EventFile> file) {
    // Without a loop nothing would let the file go again.
    if (receiver.empty() || !file || application_.event() == nullptr) {
        return;
    }
    file->heldBy_ = receiver;
    Kept& kept = kept_[receiver];
    // Two events in flight to one receiver come back as two files: the larger one stays.
    if (!kept.file || kept.file->capacity() <= file->capacity()) {
        kept.file = std::move(file);
    }
    kept.since = usedNow();
    // Many receivers must not hold the sender's memory: beyond the bound the file used longest
    // ago goes first (the one just kept is the newest, and one file always fits).
    std::size_t total = 0;
    for (const auto& [name, each] : kept_) {
        total += each.file->capacity();
    }
    while (total > kKeptBytes) {
        const auto oldest = std::ranges::min_element(
            kept_, {}, [](const auto& entry) { return entry.second.since; });
        total -= oldest->second.file->capacity();
        kept_.erase(oldest);
    }
}

std::variant<std::shared_ptr<const std::uint8_t[]>, std::string> EventFiles::copyOfEvent(
    int fd, std::uint64_t size) {
    // The size is read after the seals: read before, it could still shrink in between.
    const int seals = ::fcntl(fd, F_GET_SEALS);
    if (seals < 0 || (seals & kRequiredSeals) != kRequiredSeals) {
        return std::string("a file that is not sealed against shrinking and growing");
    }
    struct stat status {};
    if (::fstat(fd, &status) < 0 || !S_ISREG(status.st_mode)) {
        return std::string("not a file");
    }
    if (size == 0 || size > kMaximumEventBytes) {
        return "an event of " + std::to_string(size) + " bytes, where an event takes 1 to " +
               std::to_string(kMaximumEventBytes);
    }
    if (static_cast<std::uint64_t>(status.st_size) < size) {
        return "a file of " + std::to_string(status.st_size) + " bytes, short of the event's " +
               std::to_string(size);
    }
    const void* mapped = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
    if (mapped == MAP_FAILED) {
        return std::string("a file that cannot be mapped: ") + std::strerror(errno);
    }
    // The last event's memory serves again once no descriptor holds it.
    std::shared_ptr<std::uint8_t[]> bytes = std::move(received_);
    if (!bytes || bytes.use_count() > 1 || receivedCapacity_ < size) {
        receivedCapacity_ = size + size / 8;
        bytes = std::make_shared_for_overwrite<std::uint8_t[]>(receivedCapacity_);
    }
    std::memcpy(bytes.get(), mapped, size);
    ::munmap(const_cast<void*>(mapped), size);
    if (application_.event() != nullptr) {
        received_ = bytes;
        receivedSince_ = usedNow();
    }
    return std::shared_ptr<const std::uint8_t[]>(std::move(bytes));
}

std::chrono::steady_clock::time_point EventFiles::usedNow() {
    if (!sweepScheduled_) {
        letGoOfUnusedAfter(kKeepSeconds);
    }
    return std::chrono::steady_clock::now();
}

void EventFiles::letGoOfUnusedAfter(double seconds) {
    sweepScheduled_ = true;
    application_.performAfterDelay(seconds, [weak = weak_from_this()] {
        if (const auto files = weak.lock()) {
            files->letGoOfUnused();
        }
    });
}

void EventFiles::letGoOfUnused() {
    sweepScheduled_ = false;
    const auto now = std::chrono::steady_clock::now();
    const auto keep = std::chrono::duration<double>(kKeepSeconds);
    auto oldest = now;
    const auto stillUsed = [&](std::chrono::steady_clock::time_point since) {
        if (now - since >= keep) {
            return false;
        }
        oldest = std::min(oldest, since);
        return true;
    };
    for (auto it = kept_.begin(); it != kept_.end();) {
        it = stillUsed(it->second.since) ? std::next(it) : kept_.erase(it);
    }
    if (received_ && !stillUsed(receivedSince_)) {
        received_.reset();
        receivedCapacity_ = 0;
    }
    if (!kept_.empty() || received_) {
        letGoOfUnusedAfter(std::chrono::duration<double>(keep - (now - oldest)).count());
    }
}

}  // namespace platform::linux_platform
