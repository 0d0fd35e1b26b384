// A process that has the backend's slot table loaded, driven line by line on
// stdin by the slot-table tests; one line of answer per command on stdout.
//
//   show                 the four slots, "owner handle" each, ';'-separated
//   claim <n> <hex>      under the table lock: claim slot n if it is free;
//                        answers "claimed" or "busy"
//   contend <n> <hex>    like claim, but first answers "trying" just before
//                        taking the lock
//   put <n> <hex>        write slot n without taking the lock; "ok"
//   lock / unlock        lock_slot_table / unlock_slot_table
//   fork                 fork a child that only sleeps; answers its pid once
//                        the child runs
//   race <threads> <k>   each thread adds 1 to slot 3's owner word k times
//                        under the lock; answers the final word
//   fork-race <k>        forks; parent and child each add 1 to slot 3's owner
//                        word k times under the lock; answers the final word
//                        once the child has ended
//   fork-while-locked    forks while another thread holds the table lock and,
//                        once the forking thread sleeps, creates an event;
//                        answers "forked"
// The helper says "ready" once it runs (the table is loaded by then); end of
// input ends it normally.

#include <fcntl.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"

namespace pf = tavlib::platform;

namespace {

std::string show(const pf::SlotTable& table) {
    std::ostringstream out;
    for (int n = 0; n < 4; ++n)
        out << (n ? ";" : "") << table.ownerProcessId[n] << ' ' << std::hex
            << table.deviceHandle[n] << std::dec;
    return out.str();
}

// Whether thread `tid` of this process sleeps in the kernel.
bool asleep(pid_t tid) {
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    const std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto end = text.rfind(')');
    return end != std::string::npos && text.compare(end, 3, ") S") == 0;
}

[[noreturn]] void sleep_forever(int readyPipe) {
    ::close(readyPipe);  // tells the parent that the child runs
    const int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, 0);
    ::dup2(null, 1);
    for (;;) ::pause();
}

}  // namespace

int main() {
    std::cout << "ready" << std::endl;
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::string command;
        in >> command;
        pf::SlotTable& table = pf::shared_slot_table();
        if (command == "show") {
            std::cout << show(table);
        } else if (command == "claim" || command == "contend" || command == "put") {
            unsigned n = 0;
            pf::SlotHandleWord handle = 0;
            in >> n >> std::hex >> handle;
            if (command == "put") {
                table.ownerProcessId[n] = pf::GetCurrentProcessId();
                table.deviceHandle[n] = handle;
                std::cout << "ok";
            } else {
                if (command == "contend") std::cout << "trying" << std::endl;
                pf::SlotTableLock lock;
                const bool free = table.deviceHandle[n] == ~pf::SlotHandleWord{0};
                if (free) {
                    table.ownerProcessId[n] = pf::GetCurrentProcessId();
                    table.deviceHandle[n] = handle;
                }
                std::cout << (free ? "claimed" : "busy");
            }
        } else if (command == "lock") {
            pf::lock_slot_table();
            std::cout << "locked";
        } else if (command == "unlock") {
            pf::unlock_slot_table();
            std::cout << "unlocked";
        } else if (command == "fork") {
            std::cout.flush();
            int ready[2];
            if (::pipe(ready) != 0) return 1;
            const pid_t child = ::fork();
            if (child == 0) {
                ::close(ready[0]);
                sleep_forever(ready[1]);
            }
            ::close(ready[1]);
            char ignored;
            while (::read(ready[0], &ignored, 1) > 0) {
            }
            ::close(ready[0]);
            std::cout << child;
        } else if (command == "fork-while-locked") {
            pf::CloseHandle(pf::CreateEventA(nullptr, true, false, nullptr));  // in use
            const pid_t forker = ::gettid();
            std::atomic<bool> locked{false};
            std::thread holder([&] {
                pf::SlotTableLock lock;
                locked = true;
                while (!asleep(forker)) std::this_thread::yield();
                pf::CloseHandle(pf::CreateEventA(nullptr, true, false, nullptr));
            });
            while (!locked) std::this_thread::yield();
            const pid_t child = ::fork();
            if (child == 0) ::_exit(0);
            ::waitpid(child, nullptr, 0);
            holder.join();
            std::cout << "forked";
        } else if (command == "fork-race") {
            int rounds = 0;
            in >> rounds;
            std::cout.flush();
            const auto add = [&table](int k) {
                for (int i = 0; i < k; ++i) {
                    pf::SlotTableLock lock;
                    const pf::Word seen = table.ownerProcessId[3];
                    ::sched_yield();
                    table.ownerProcessId[3] = seen + 1;
                }
            };
            const pid_t child = ::fork();
            if (child == 0) {
                add(rounds);
                ::_exit(0);
            }
            add(rounds);
            ::waitpid(child, nullptr, 0);
            std::cout << table.ownerProcessId[3];
        } else if (command == "race") {
            int threads = 0, rounds = 0;
            in >> threads >> rounds;
            std::vector<std::thread> racers;
            for (int t = 0; t < threads; ++t) {
                racers.emplace_back([&table, rounds] {
                    for (int k = 0; k < rounds; ++k) {
                        pf::SlotTableLock lock;
                        const pf::Word seen = table.ownerProcessId[3];
                        ::sched_yield();
                        table.ownerProcessId[3] = seen + 1;
                    }
                });
            }
            for (auto& racer : racers) racer.join();
            std::cout << table.ownerProcessId[3];
        } else {
            std::cout << "unknown command";
        }
        std::cout << std::endl;
    }
    return 0;
}
