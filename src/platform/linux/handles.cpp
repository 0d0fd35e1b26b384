// The handle table of the Linux backend and what happens to it at fork: the
// process-wide State, the handle values it hands out, and the runtime
// directory fixed when the library loads.

#include <pthread.h>
#include <sys/random.h>
#include <unistd.h>

#include <mutex>

#include "backend.h"
#include "tavlib/runtime_dir.h"

namespace tavlib::platform {

namespace linux_backend {

namespace {

State* g_state = nullptr;
// States a forked child left behind; kept reachable, never used again.
std::vector<State*>* g_abandoned = nullptr;

void before_fork() { g_state->mutex.lock(); }
void after_fork_in_parent() { g_state->mutex.unlock(); }

// The child has copies of the parent's connections, but the threads that
// were using them do not exist here, and the handles are the parent's.  Start
// afresh and close the copied sockets so that a driver sees only the
// parent's connections.  The old state's mutex, taken by before_fork in the
// thread that is now the child's only one, is let go: the old state is never
// used again, and a mutex left held forever would look to a race detector
// like one this thread holds around every later lock.
void after_fork_in_child() {
    State* old = g_state;
    old->mutex.unlock();
    for (auto& [value, object] : old->objects) {
        if (auto* c = std::get_if<std::shared_ptr<Connection>>(&object)) {
            if ((*c)->fd >= 0) ::close((*c)->fd);
            (*c)->fd = -1;
        }
    }
    if (g_abandoned == nullptr) g_abandoned = new std::vector<State*>;
    g_abandoned->push_back(old);
    g_state = new State;
}

}  // namespace

Connection::Connection(int socket) : fd(socket) {}

Connection::~Connection() {
    if (fd >= 0) ::close(fd);
}

const std::string& runtime_directory() {
    static const std::string* dir = new std::string(runtime_dir::from_environment());
    return *dir;
}

State& state() {
    // Made once (a forked child replaces it); every backend call asks, so
    // the check is a static's guard, not a call_once.
    static const bool made = [] {
        g_state = new State;  // never destroyed: threads may still run at exit
        ::pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);
        return true;
    }();
    static_cast<void>(made);
    return *g_state;
}

namespace {
// Fork handlers run their "before" parts in the reverse order of
// registration.  A thread holding the slot-table lock may be waiting for the
// state mutex, so the state's handlers register first (this constructor runs
// before the slot table's default-priority one), and at fork the slot-table
// lock is taken before the state mutex, in the same order as everywhere else.
__attribute__((constructor(101))) void register_fork_handlers_at_load() {
    state();
    runtime_directory();  // R is fixed, as an absolute path, when the library loads
}
}  // namespace

std::uintptr_t first_handle_value() noexcept {
    std::uint32_t random = 0;
    if (::getrandom(&random, sizeof random, GRND_NONBLOCK) != sizeof random)
        random = static_cast<std::uint32_t>(Clock::now().time_since_epoch().count()) ^
                 static_cast<std::uint32_t>(::getpid());
    return 0x100 + 4 * std::uintptr_t{random % (1u << 28)};
}

namespace {

std::uintptr_t next_handle_value(State& s) {
    // Values stay below 2^32 - 4, so that a 32-bit slot-table word records
    // any of them, and wrap around after that, passing over values in use.
    constexpr std::uintptr_t kFirstHandle = 0x100;
    constexpr std::uintptr_t kLastHandle = 0xFFFFFFF8u;
    std::uintptr_t value = 0;
    do {
        value = s.nextHandle;
        s.nextHandle = value >= kLastHandle ? kFirstHandle : value + 4;
    } while (s.objects.count(value) != 0);
    return value;
}

// Closed events kept for reuse, table entry and object together.
constexpr std::size_t kSpareEvents = 4;

}  // namespace

Handle add_object(State& s, Object object) {
    const std::uintptr_t value = next_handle_value(s);
    s.objects.emplace(value, std::move(object));
    return reinterpret_cast<Handle>(value);
}

Handle add_event(State& s, bool manualReset, bool initialState) {
    if (s.spareEvents.empty())
        return add_object(s, std::make_shared<Event>(manualReset, initialState));
    State::ObjectNode node = std::move(s.spareEvents.back());
    s.spareEvents.pop_back();
    node.key() = next_handle_value(s);
    Event& e = *std::get<std::shared_ptr<Event>>(node.mapped());
    e.manualReset = manualReset;
    e.signaled = initialState;
    e.sources.clear();
    const Handle handle = reinterpret_cast<Handle>(node.key());
    s.objects.insert(std::move(node));
    return handle;
}

void keep_for_reuse(State& s, State::ObjectNode node) {
    const auto* e = std::get_if<std::shared_ptr<Event>>(&node.mapped());
    if (e != nullptr && e->use_count() == 1 && s.spareEvents.size() < kSpareEvents)
        s.spareEvents.push_back(std::move(node));
}

}  // namespace linux_backend

Word GetCurrentProcessId() { return static_cast<Word>(::getpid()); }

}  // namespace tavlib::platform
