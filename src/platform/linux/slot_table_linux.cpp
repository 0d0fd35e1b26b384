// The slot table shared by every process whose runtime directory R is the
// same: the file R/slot-table, mapped MAP_SHARED, with POSIX record locks on
// that file to track who has the library loaded.
//
// Lock bytes of R/slot-table (the locks are advisory and independent of the
// content):
//   byte 0  "holders": every process with the library loaded holds a read
//           lock here from load until unload or death;
//   byte 1  "init":    held exclusively while a process attaches, so that
//           attaching processes take turns;
//   byte 2  "claim":   the cross-process half of lock_slot_table.
// A process that, under the init lock, can take a write lock on byte 0 is
// the only one with the library loaded: it resets the table to its initial
// content and then turns its lock into a read lock.  The kernel drops a dead
// process's locks, so a table whose last holder died is reset by the next
// process that loads the library, while a process killed with a slot claimed
// leaves that claim for the others that still have the library loaded.
//
// POSIX record locks belong to the process and are all dropped when any
// descriptor of the file is closed, so this file keeps exactly one.  They are
// not inherited across fork: a child takes its own read lock.

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <string>

#include "driver_protocol.h"
#include "platform/platform.h"

namespace tavlib::platform {

namespace {

constexpr off_t kHoldersByte = 0;
constexpr off_t kInitByte = 1;
constexpr off_t kClaimByte = 2;
constexpr const char* kTableFileName = "slot-table";

bool set_lock(int fd, short type, off_t byte, bool wait) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = byte;
    lock.l_len = 1;
    for (;;) {
        if (::fcntl(fd, wait ? F_SETLKW : F_SETLK, &lock) == 0) return true;
        if (errno != EINTR) return false;
    }
}

void write_initial_content(SlotTable& table) {
    for (auto& owner : table.ownerProcessId) owner = 0;
    for (auto& handle : table.deviceHandle) handle = ~SlotHandleWord{0};
}

struct Shared {
    std::mutex attachMutex;  // guards the fields below
    std::mutex claimMutex;   // the in-process half of lock_slot_table
    int fd = -1;
    SlotTable* table = nullptr;
    bool retried = false;
    SlotTable privateTable{};  // when R cannot hold the shared table
};

Shared& shared() {
    static Shared* s = new Shared;  // never destroyed: threads may run at exit
    return *s;
}

// Maps R/slot-table and takes this process's holder lock, resetting the
// table if no other process holds it.  Caller holds attachMutex.
bool attach(Shared& s) {
    if (driver_protocol::ensure_interface_folder().empty()) return false;
    const std::string path = driver_protocol::runtime_directory() + "/" + kTableFileName;
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return false;

    // Any failure closes fd, which also drops every lock taken on it.
    const auto give_up = [fd] {
        ::close(fd);
        return false;
    };
    if (!set_lock(fd, F_WRLCK, kInitByte, true)) return give_up();
    const bool first = set_lock(fd, F_WRLCK, kHoldersByte, false);
    if (first) {
        if (::ftruncate(fd, sizeof(SlotTable)) != 0) return give_up();
    } else {
        struct stat st {};
        if (::fstat(fd, &st) != 0 || st.st_size < static_cast<off_t>(sizeof(SlotTable)))
            return give_up();
    }
    void* memory = ::mmap(nullptr, sizeof(SlotTable), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (memory == MAP_FAILED) return give_up();
    auto* table = static_cast<SlotTable*>(memory);
    if (first) write_initial_content(*table);
    // Turns the first process's write lock into a read lock; for the others
    // nobody can hold a write lock here while they hold the init lock.
    if (!set_lock(fd, F_RDLCK, kHoldersByte, false)) {
        ::munmap(memory, sizeof(SlotTable));
        return give_up();
    }
    set_lock(fd, F_UNLCK, kInitByte, false);
    s.fd = fd;
    s.table = table;
    return true;
}

// The table, attaching on first use if attaching at load failed; a private
// table if R is unusable even then.  Caller holds attachMutex.
SlotTable& attached_table(Shared& s) {
    if (s.table == nullptr && !s.retried) {
        s.retried = true;
        if (!attach(s)) write_initial_content(s.privateTable);
    }
    return s.table != nullptr ? *s.table : s.privateTable;
}

void before_fork() {
    Shared& s = shared();
    s.claimMutex.lock();
    s.attachMutex.lock();
}

void after_fork_in_parent() {
    Shared& s = shared();
    s.attachMutex.unlock();
    s.claimMutex.unlock();
}

// The child shares the mapping but not the parent's locks: it becomes a
// holder of its own.  No process can hold a write lock on the holders byte
// while the parent holds its read lock there.
void after_fork_in_child() {
    Shared& s = shared();
    if (s.fd >= 0 && !set_lock(s.fd, F_RDLCK, kHoldersByte, false)) {
        ::close(s.fd);
        s.fd = -1;
    }
    s.attachMutex.unlock();
    s.claimMutex.unlock();
}

__attribute__((constructor)) void attach_at_load() {
    Shared& s = shared();
    {
        std::lock_guard lock(s.attachMutex);
        attach(s);
    }
    // Registered after the backend's own fork handlers (platform_linux.cpp),
    // so that at fork this lock is taken before the backend's state mutex.
    ::pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);
}

// Unload (or exit): give up the holder lock.  The mapping stays until the
// process ends, in case a thread still uses the table.
__attribute__((destructor)) void detach_at_unload() {
    Shared& s = shared();
    std::lock_guard claim(s.claimMutex);
    std::lock_guard lock(s.attachMutex);
    if (s.fd >= 0) ::close(s.fd);
    s.fd = -1;
}

}  // namespace

SlotTable& shared_slot_table() {
    Shared& s = shared();
    std::lock_guard lock(s.attachMutex);
    return attached_table(s);
}

bool lock_slot_table() {
    Shared& s = shared();
    s.claimMutex.lock();
    int fd = -1;
    {
        std::lock_guard lock(s.attachMutex);
        attached_table(s);
        fd = s.fd;
    }
    // Blocks while another process holds the claim lock; the descriptor stays
    // open meanwhile because closing it also needs claimMutex.
    if (fd >= 0) set_lock(fd, F_WRLCK, kClaimByte, true);
    return true;
}

void unlock_slot_table() {
    Shared& s = shared();
    {
        std::lock_guard lock(s.attachMutex);
        if (s.fd >= 0) set_lock(s.fd, F_UNLCK, kClaimByte, false);
    }
    s.claimMutex.unlock();
}

}  // namespace tavlib::platform
