// Simulated threads: real threads that take turns.
//
// Each thread made by CreateThread is a real thread, so a call that never
// returns holds only its own thread, as on Windows. Only one of them runs at
// a time, though: the one holding the baton. A thread gives the baton up
// only where it blocks (a wait, a sleep, a held spooler call) or ends; the
// next to run is the first, in order of creation, whose wait is over. When
// no thread can run, the virtual clock moves on to the next scheduled action
// or the nearest time-out. So a run is as deterministic as one thread was,
// and nothing of the machine is ever touched by two threads at once.

#include "platform/sim/impl.h"

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

struct SimThread {
    unsigned id = 0;
    std::thread os;
    bool blocked = false;
    bool finished = false;
    bool unwinding = false;
    std::function<bool()> done;
    std::uint64_t deadline = kNever;
};

struct Scheduler {
    std::mutex mutex;
    std::condition_variable turn;
    unsigned current = 0; // the thread holding the baton
    // 0 is the thread the tests run on; the others in order of creation.
    std::map<unsigned, std::unique_ptr<SimThread>> threads;
    unsigned nextId = 1;
    bool inAction = false;
};

// Never destroyed: a thread that a crashed test left behind must not make
// the exit itself fail.
Scheduler& S() {
    static Scheduler* scheduler = [] {
        auto* created = new Scheduler;
        created->threads[0] = std::make_unique<SimThread>();
        return created;
    }();
    return *scheduler;
}

thread_local SimThread* tlsSelf = nullptr;

SimThread& Self() {
    return tlsSelf != nullptr ? *tlsSelf : *S().threads[0];
}

[[noreturn]] void Abort(const char* why) {
    std::fprintf(stderr, "simulated Windows: %s (virtual time %llu ms)\n", why,
                 static_cast<unsigned long long>(M().elapsedMs));
    std::abort();
}

bool Ready(const SimThread& thread) {
    if (thread.finished) {
        return false;
    }
    if (thread.unwinding || !thread.blocked) {
        return true;
    }
    return M().elapsedMs >= thread.deadline || thread.done();
}

SimThread* NextReady() {
    for (auto& [id, thread] : S().threads) {
        if (Ready(*thread)) {
            return thread.get();
        }
    }
    return nullptr;
}

// Nobody can run: the clock moves to the next scheduled action (and runs
// it) or to the nearest time-out of a blocked thread.
void MoveOn() {
    std::uint64_t nearest = kNever;
    for (auto& [id, thread] : S().threads) {
        if (!thread->finished && thread->blocked && thread->deadline < nearest) {
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

void WaitForBaton(const SimThread& me) {
    std::unique_lock<std::mutex> lock(S().mutex);
    S().turn.wait(lock, [&me] { return S().current == me.id; });
}

void HandOver(const SimThread& next) {
    std::lock_guard<std::mutex> lock(S().mutex);
    S().current = next.id;
    S().turn.notify_all();
}

// Called by the baton holder once it has blocked or ended: lets the others
// and the clock run until `me` may go on. An ended thread hands the baton
// on and returns at once, to end.
void Yield(SimThread& me) {
    for (;;) {
        SimThread* next = NextReady();
        if (next == &me) {
            return;
        }
        if (next != nullptr) {
            HandOver(*next);
            if (!me.finished) {
                WaitForBaton(me);
            }
            return;
        }
        MoveOn();
    }
}

void RunThread(SimThread* me, LPTHREAD_START_ROUTINE start, LPVOID parameter) {
    tlsSelf = me;
    WaitForBaton(*me);
    if (!me->unwinding) {
        try {
            start(parameter);
        } catch (const Unwind&) {
            // Reset ended the thread where it was blocked.
        }
    }
    me->finished = true;
    me->blocked = false;
    me->done = nullptr;
    Yield(*me);
}

// Joins the threads that have ended, so that a run of many threads holds
// only the live ones.
void JoinEnded() {
    auto& threads = S().threads;
    for (auto it = threads.begin(); it != threads.end();) {
        if (it->first != 0 && it->second->finished) {
            it->second->os.join();
            it = threads.erase(it);
        } else {
            ++it;
        }
    }
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
    SimThread& me = Self();
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
    ++M().threadsCreated;
    JoinEnded();
    auto thread = std::make_unique<SimThread>();
    thread->id = S().nextId++;
    SimThread* raw = thread.get();
    S().threads[raw->id] = std::move(thread);
    // It starts running only once the baton comes to it.
    raw->os = std::thread(RunThread, raw, start, parameter);
    if (threadId != nullptr) {
        *threadId = 0x500 + raw->id;
    }
    HandleEntry entry{HandleKind::Thread};
    entry.name = L"thread";
    entry.thread = raw->id;
    return NewHandle(entry);
}

bool ThreadEnded(unsigned id) {
    auto it = S().threads.find(id);
    return it == S().threads.end() || it->second->finished;
}

unsigned LiveThreads() {
    unsigned live = 0;
    for (auto& [id, thread] : S().threads) {
        live += id != 0 && !thread->finished ? 1 : 0;
    }
    return live;
}

// Ends every thread but the tests' own: each is unwound from where it
// blocked (or never starts), and all are joined.
void EndThreads() {
    Scheduler& s = S();
    if (tlsSelf != nullptr) {
        Abort("Reset called on a simulated thread");
    }
    for (auto& [id, thread] : s.threads) {
        thread->unwinding = id != 0 && !thread->finished;
    }
    if (LiveThreads() != 0) {
        WaitUntil([] { return LiveThreads() == 0; }, kNever);
    }
    JoinEnded();
    s.nextId = 1;
}

} // namespace nimbrel::sim
