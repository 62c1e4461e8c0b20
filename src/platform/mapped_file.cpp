#include "platform/mapped_file.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdint>
#include <mutex>

namespace platform {
namespace {

// What the fault handler knows of each mapping. Written by the thread that maps and unmaps,
// read by the handler, which runs on the thread that faulted.
struct Slot {
    std::atomic<bool> taken{false};
    std::atomic<std::uintptr_t> begin{0};
    std::atomic<std::uintptr_t> end{0};
    std::atomic<bool> cut{false};
};

Slot g_slots[MappedFile::kMostAtOnce];
std::uintptr_t g_pageSize = 4096;
struct sigaction g_previous {};

void OnBusError(int signal, siginfo_t* info, void* context) {
    const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
    for (Slot& slot : g_slots) {
        if (address >= slot.begin.load(std::memory_order_acquire) &&
            address < slot.end.load(std::memory_order_acquire)) {
            // A zero page over the one past the file's end: the read that faulted is retried
            // and reads zeros; the reader sees the mapping cut.
            void* page = reinterpret_cast<void*>(address & ~(g_pageSize - 1));
            if (::mmap(page, g_pageSize, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1,
                       0) != MAP_FAILED) {
                slot.cut.store(true, std::memory_order_release);
                return;
            }
        }
    }
    // Not a mapping of ours: what would have happened without this handler.
    if ((g_previous.sa_flags & SA_SIGINFO) != 0 && g_previous.sa_sigaction != nullptr) {
        g_previous.sa_sigaction(signal, info, context);
        return;
    }
    if (g_previous.sa_handler != SIG_DFL && g_previous.sa_handler != SIG_IGN) {
        g_previous.sa_handler(signal);
        return;
    }
    ::signal(SIGBUS, SIG_DFL);  // the fault repeats on return, now with the default action
}

void InstallHandler() {
    static std::once_flag once;
    std::call_once(once, [] {
        g_pageSize = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
        struct sigaction action {};
        action.sa_sigaction = OnBusError;
        action.sa_flags = SA_SIGINFO | SA_NODEFER;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGBUS, &action, &g_previous);
    });
}

}  // namespace

std::shared_ptr<const MappedFile> MappedFile::Map(int fd) {
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size <= 0) {
        return nullptr;
    }
    InstallHandler();
    std::size_t slot = 0;
    for (bool expected = false; slot < kMostAtOnce; ++slot, expected = false) {
        if (g_slots[slot].taken.compare_exchange_strong(expected, true)) {
            break;
        }
    }
    if (slot == kMostAtOnce) {
        return nullptr;
    }
    const auto size = static_cast<std::size_t>(status.st_size);
    void* data = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
    if (data == MAP_FAILED) {
        g_slots[slot].taken.store(false);
        return nullptr;
    }
    ::madvise(data, size, MADV_SEQUENTIAL);
    Slot& entry = g_slots[slot];
    entry.cut.store(false);
    entry.begin.store(reinterpret_cast<std::uintptr_t>(data), std::memory_order_release);
    entry.end.store(reinterpret_cast<std::uintptr_t>(data) + size, std::memory_order_release);
    return std::shared_ptr<const MappedFile>(
        new MappedFile(static_cast<const char*>(data), size, slot));
}

MappedFile::~MappedFile() {
    // The end first: a slot being emptied never covers more than its mapping.
    Slot& entry = g_slots[slot_];
    entry.end.store(0, std::memory_order_release);
    entry.begin.store(0, std::memory_order_release);
    ::munmap(const_cast<char*>(data_), size_);
    entry.taken.store(false, std::memory_order_release);
}

void MappedFile::ReleaseBefore(std::size_t offset) const {
    const std::size_t end = std::min(offset, size_) & ~(static_cast<std::size_t>(g_pageSize) - 1);
    if (end > released_) {
        ::madvise(const_cast<char*>(data_) + released_, end - released_, MADV_DONTNEED);
        released_ = end;
    }
}

bool MappedFile::Cut() const {
    return g_slots[slot_].cut.load(std::memory_order_acquire);
}

}  // namespace platform
