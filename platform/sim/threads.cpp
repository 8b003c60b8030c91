// Simulated threads: real threads that take turns.
//
// Each thread made by CreateThread runs on a real thread of its own, so a
// call that never returns holds only that thread, as on Windows. Only one of
// them runs at a time, though: the one holding the baton. A thread gives the
// baton up only where it blocks (a wait, a sleep, a held spooler call) or
// ends; the next to run is the first, in order of creation, whose wait is
// over. When no thread can run, the virtual clock moves on to the next
// scheduled action or the nearest time-out. So a run is as repeatable as one
// on a single thread, and nothing of the machine is touched by two threads
// at once.
//
// The real threads ("carriers") are kept and reused once their thread has
// ended: a service that starts a worker every cycle would otherwise spend
// most of a long simulated run creating threads, above all under Wine.

#include "platform/sim/impl.h"

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace nimbrel::sim {
namespace {

// Thrown at the blocking point of a thread that Reset ends: it unwinds the
// thread's stack back to its start.
struct Unwind {};

struct Carrier {
    std::thread os;
    bool quit = false;
    // The simulated thread it carries now.
    unsigned id = 0;
    LPTHREAD_START_ROUTINE start = nullptr;
    LPVOID parameter = nullptr;
    bool blocked = false;
    bool unwinding = false;
    std::function<bool()> done;
    std::uint64_t deadline = kNever;
};

struct Scheduler {
    std::mutex mutex;
    std::condition_variable turn;
    std::atomic<Carrier*> current{nullptr}; // the one holding the baton
    Carrier main;                           // the thread the tests run on
    std::vector<std::unique_ptr<Carrier>> carriers;
    std::vector<Carrier*> idle;
    // The simulated threads not yet ended, by number: the order of creation.
    std::map<unsigned, Carrier*> live;
    unsigned nextId = 1;
    bool inAction = false;
};

void QuitIdleCarriers();

// Never destroyed: the exit must not depend on what a test left behind.
Scheduler& S() {
    static Scheduler* scheduler = [] {
        auto* created = new Scheduler;
        created->current = &created->main;
        created->live[0] = &created->main;
        std::atexit(QuitIdleCarriers);
        return created;
    }();
    return *scheduler;
}

thread_local Carrier* tlsSelf = nullptr;

Carrier& Self() {
    return tlsSelf != nullptr ? *tlsSelf : S().main;
}

[[noreturn]] void Abort(const char* why) {
    std::fprintf(stderr, "simulated Windows: %s (virtual time %llu ms)\n", why,
                 static_cast<unsigned long long>(M().elapsedMs));
    std::abort();
}

bool Ready(const Carrier& thread) {
    if (thread.unwinding || !thread.blocked) {
        return true;
    }
    return M().elapsedMs >= thread.deadline || thread.done();
}

Carrier* NextReady() {
    for (auto& [id, thread] : S().live) {
        if (Ready(*thread)) {
            return thread;
        }
    }
    return nullptr;
}

// Nobody can run: the clock moves to the next scheduled action (and runs
// it) or to the nearest time-out of a blocked thread.
void MoveOn() {
    std::uint64_t nearest = kNever;
    for (auto& [id, thread] : S().live) {
        if (thread->blocked && thread->deadline < nearest) {
            nearest = thread->deadline;
        }
    }
    S().inAction = true;
    const bool ran = RunNextAction(nearest);
    S().inAction = false;
    if (ran) {
        return;
    }
    if (nearest == kNever) {
        Abort("a wait without time-out can never end: nothing is scheduled to end it");
    }
    MoveClock(nearest - M().elapsedMs);
}

// The baton usually comes back within moments (a worker answers, its caller
// goes on), so a waiter looks for it a while before it sleeps: a sleep and
// a wake-up cost far more, under Wine above all.
void WaitForBaton(const Carrier& me) {
    constexpr int kLooks = 20000;
    for (int i = 0; i < kLooks; ++i) {
        if (S().current.load(std::memory_order_acquire) == &me) {
            return;
        }
        std::this_thread::yield();
    }
    std::unique_lock<std::mutex> lock(S().mutex);
    S().turn.wait(lock, [&me] { return S().current.load(std::memory_order_acquire) == &me; });
}

void HandOver(Carrier& next) {
    {
        std::lock_guard<std::mutex> lock(S().mutex);
        S().current.store(&next, std::memory_order_release);
    }
    S().turn.notify_all();
}

// Called by the baton holder once it has blocked: lets the others and the
// clock run until `me` may go on.
void Yield(Carrier& me) {
    for (;;) {
        Carrier* next = NextReady();
        if (next == &me) {
            return;
        }
        if (next != nullptr) {
            HandOver(*next);
            WaitForBaton(me);
            return;
        }
        MoveOn();
    }
}

// The thread carried by `me` has ended: the baton goes to the next thread
// that can run. Returns true when that is a thread given to `me` meanwhile
// (by an action the clock ran), which `me` then runs at once.
bool PassOn(Carrier& me) {
    for (;;) {
        Carrier* next = NextReady();
        if (next == &me) {
            return true;
        }
        if (next != nullptr) {
            HandOver(*next);
            return false;
        }
        MoveOn();
    }
}

void Carry(Carrier* me) {
    tlsSelf = me;
    WaitForBaton(*me);
    for (;;) {
        if (me->quit) {
            return;
        }
        if (!me->unwinding) {
            try {
                me->start(me->parameter);
            } catch (const Unwind&) {
                // Reset ended the thread where it was blocked.
            }
        }
        S().live.erase(me->id);
        me->unwinding = false;
        me->done = nullptr;
        S().idle.push_back(me);
        if (!PassOn(*me)) {
            WaitForBaton(*me);
        }
    }
}

// At the exit: the carriers that carry nothing end, so that the process
// ends with its threads joined.
void QuitIdleCarriers() {
    Scheduler& s = S();
    for (Carrier* carrier : s.idle) {
        carrier->quit = true;
        HandOver(*carrier);
        carrier->os.join();
        s.current.store(&s.main, std::memory_order_release);
    }
    s.idle.clear();
}

} // namespace

bool WaitUntil(const std::function<bool()>& done, std::uint64_t timeoutMs) {
    if (done()) {
        return true;
    }
    if (timeoutMs == 0) {
        return false;
    }
    if (S().inAction) {
        Abort("a scheduled action waited; actions must not block");
    }
    Carrier& me = Self();
    me.done = done;
    me.deadline = timeoutMs == kNever ? kNever : M().elapsedMs + timeoutMs;
    me.blocked = true;
    Yield(me);
    me.blocked = false;
    me.done = nullptr;
    if (me.unwinding) {
        throw Unwind{};
    }
    return done();
}

HANDLE Sim_CreateThread(LPVOID, SIZE_T, LPTHREAD_START_ROUTINE start, LPVOID parameter,
                        DWORD creationFlags, LPDWORD threadId) {
    if (start == nullptr || creationFlags != 0) {
        Fail(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    Scheduler& s = S();
    ++M().threadsCreated;
    Carrier* carrier = nullptr;
    if (!s.idle.empty()) {
        carrier = s.idle.back();
        s.idle.pop_back();
    } else {
        s.carriers.push_back(std::make_unique<Carrier>());
        carrier = s.carriers.back().get();
        carrier->os = std::thread(Carry, carrier);
    }
    // It starts running only once the baton comes to it.
    carrier->id = s.nextId++;
    carrier->start = start;
    carrier->parameter = parameter;
    carrier->blocked = false;
    s.live[carrier->id] = carrier;
    if (threadId != nullptr) {
        *threadId = 0x500 + carrier->id;
    }
    HandleEntry entry{HandleKind::Thread};
    entry.name = L"thread";
    entry.thread = carrier->id;
    return NewHandle(entry);
}

bool ThreadEnded(unsigned id) {
    return S().live.count(id) == 0;
}

unsigned LiveThreads() {
    return static_cast<unsigned>(S().live.size() - 1);
}

// Ends every thread but the tests' own, each from where it is blocked (or
// before it starts).
void EndThreads() {
    if (tlsSelf != nullptr) {
        Abort("Reset called on a simulated thread");
    }
    if (LiveThreads() == 0) {
        return;
    }
    for (auto& [id, thread] : S().live) {
        thread->unwinding = id != 0;
    }
    WaitUntil([] { return LiveThreads() == 0; }, kNever);
}

} // namespace nimbrel::sim
