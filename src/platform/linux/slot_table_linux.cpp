// The slot table shared by every process whose runtime directory R is the
// same: the file R/slot-table, mapped MAP_SHARED, with open-file-description
// (OFD) record locks on that file to track who has the library loaded.
//
// Lock bytes of R/slot-table (the locks are advisory and independent of the
// content):
//   byte 0  "holders": every loaded copy of the library holds a read lock
//           here from load until unload or death;
//   byte 1  "init":    held exclusively while a copy attaches, so that
//           attaching copies take turns;
//   byte 2  "claim":   the cross-process half of lock_slot_table.
// A copy that, under the init lock, can take a write lock on byte 0 is the
// only one with the library loaded: it resets the table to its initial
// content and then turns its lock into a read lock.  The kernel drops a dead
// process's locks, so a table whose last holder died is reset by the next
// process that loads the library, while a process killed with a slot claimed
// leaves that claim for the others that still have the library loaded.
//
// OFD locks belong to the open file, not to the process.  Two copies of the
// library in one process (another soname, a static copy in a plugin) each
// open the file, and so exclude each other like two processes do; closing
// one copy's descriptor leaves the other's locks alone.  A forked child would
// share its parent's open file, and with it the parent's locks, so it opens
// the file again for locks of its own.
//
// R and the file must be private to the caller (see
// runtime_dir::private_path_problem):
// a table planted by another user is never used, and nothing is written to a
// directory that fails the check.

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <string>

#include "backend.h"
#include "platform/platform.h"
#include "platform/win32_errors.h"
#include "tavlib/runtime_dir.h"
#include "tavlib/unique_fd.h"

namespace tavlib::platform {

namespace lb = linux_backend;

namespace {

constexpr off_t kHoldersByte = 0;
constexpr off_t kInitByte = 1;
constexpr off_t kClaimByte = 2;

bool set_lock(int fd, short type, off_t byte, bool wait) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = byte;
    lock.l_len = 1;
    lock.l_pid = 0;  // required for OFD locks
    for (;;) {
        if (::fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &lock) == 0) return true;
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
    std::string path;        // R/slot-table, fixed at load
    int fd = -1;
    SlotTable* table = nullptr;
    Word attachError = 0;  // why the last attach failed
};

Shared& shared() {
    static Shared* s = new Shared;  // never destroyed: threads may run at exit
    return *s;
}

// Opens the table file without following a link and checks that it is a
// private regular file.  No descriptor, with the Win32 code in `error`,
// otherwise.
UniqueFd open_table_file(const std::string& path, Word& error) {
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd) {
        // ELOOP: the name is a symbolic link, which is never followed.
        error = errno == ELOOP ? win32_error::kAccessDenied : lb::win32_from_errno(errno);
        return fd;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() ||
        (st.st_mode & 077) != 0) {
        error = win32_error::kAccessDenied;
        return {};
    }
    return fd;
}

// Maps R/slot-table and takes this copy's holder lock, resetting the table
// if no other copy holds it.  Caller holds attachMutex.  0 or the Win32
// code of the failure.
Word attach(Shared& s) {
    if (runtime_dir::ensure_interface_folder(lb::runtime_directory()).empty())
        return errno == EACCES ? win32_error::kAccessDenied : lb::win32_from_errno(errno);
    Word error = 0;
    UniqueFd file = open_table_file(s.path, error);
    if (!file) return error;
    const int fd = file.get();

    // Any failure closes the file, which also drops every lock taken on it.
    const auto give_up = [&file] {
        const Word code = lb::win32_from_errno(errno);
        file.reset();
        return code == 0 ? win32_error::kGenFailure : code;
    };
    if (!set_lock(fd, F_WRLCK, kInitByte, true)) return give_up();
    const bool first = set_lock(fd, F_WRLCK, kHoldersByte, false);
    if (first) {
        if (::ftruncate(fd, sizeof(SlotTable)) != 0) return give_up();
    } else {
        struct stat st {};
        if (::fstat(fd, &st) != 0) return give_up();
        if (st.st_size != static_cast<off_t>(sizeof(SlotTable))) {
            errno = EINVAL;  // another layout: not a table of this library
            return give_up();
        }
    }
    void* memory = ::mmap(nullptr, sizeof(SlotTable), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (memory == MAP_FAILED) return give_up();
    auto* table = static_cast<SlotTable*>(memory);
    if (first) write_initial_content(*table);
    // Turns the first copy's write lock into a read lock; for the others
    // nobody can hold a write lock here while they hold the init lock.
    if (!set_lock(fd, F_RDLCK, kHoldersByte, false)) {
        ::munmap(memory, sizeof(SlotTable));
        return give_up();
    }
    set_lock(fd, F_UNLCK, kInitByte, false);
    // The descriptor lives as long as the mapping: closed at unload and in
    // the fork handlers, which may only make async-signal-safe calls.
    s.fd = file.release();
    s.table = table;
    return 0;
}

// Attaches if not attached yet (R may have been unusable at load and
// repaired since).  Caller holds attachMutex.
bool ensure_attached(Shared& s) {
    if (s.table != nullptr) return true;
    s.attachError = attach(s);
    return s.attachError == 0;
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

// The child shares the mapping.  It opens the file again, so that its locks
// are its own, and becomes a holder; its copy of the parent's descriptor is
// closed, which leaves the parent's locks in place.  Only async-signal-safe
// calls here.  Should the file not open, the child keeps the shared
// descriptor: it then counts as its parent for the locks.
void after_fork_in_child() {
    Shared& s = shared();
    if (s.fd >= 0) {
        const int own = ::open(s.path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
        if (own >= 0 && set_lock(own, F_RDLCK, kHoldersByte, false)) {
            ::close(s.fd);
            s.fd = own;
        } else if (own >= 0) {
            ::close(own);
        }
    }
    s.attachMutex.unlock();
    s.claimMutex.unlock();
}

__attribute__((constructor)) void attach_at_load() {
    Shared& s = shared();
    {
        std::lock_guard lock(s.attachMutex);
        s.path = runtime_dir::slot_table_file(lb::runtime_directory());
        ensure_attached(s);
    }
    // Registered after the backend's own fork handlers (handles.cpp),
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
    if (s.table != nullptr) return *s.table;
    // Only a caller that skipped the lock gets here: it sees a table of
    // free slots that nobody shares.
    static SlotTable* unshared = [] {
        auto* table = new SlotTable;
        write_initial_content(*table);
        return table;
    }();
    return *unshared;
}

bool lock_slot_table() {
    Shared& s = shared();
    s.claimMutex.lock();
    int fd = -1;
    {
        std::lock_guard lock(s.attachMutex);
        if (!ensure_attached(s)) {
            s.claimMutex.unlock();
            return lb::fail(s.attachError);
        }
        fd = s.fd;
    }
    // Blocks while another process holds the claim lock; the descriptor stays
    // open meanwhile because closing it also needs claimMutex.  A descriptor
    // closed at unload leaves the in-process half only.
    if (fd >= 0 && !set_lock(fd, F_WRLCK, kClaimByte, true)) {
        const Word code = lb::win32_from_errno(errno);
        s.claimMutex.unlock();
        return lb::fail(code);
    }
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
