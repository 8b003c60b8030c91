// The simulated machine's state, shared by the files that implement it.
#pragma once

#include "platform/sim/sim.h"

#include <deque>
#include <set>

namespace nimbrel::sim {

struct ScheduledAction {
    std::uint64_t due;
    std::uint64_t order; // keeps actions due at the same time in scheduling order
    std::function<void()> action;
};

struct HandleEntry {
    explicit HandleEntry(HandleKind k) : kind(k) {}
    HandleKind kind;
    DWORD access = 0;
    std::wstring name; // service, printer, event source
    DWORD pid = 0;     // process
    std::vector<PROCESSENTRY32W> snapshot;
    std::size_t cursor = 0;
    std::vector<WIN32_FIND_DATAW> found;
    bool signalled = false; // event, or the thread of a launched process
    bool manualReset = true;
    bool killOnClose = false; // job: closing its last handle ends its processes
    unsigned thread = 0;      // a simulated thread's number; 0 for none
};

struct FaultRule {
    unsigned nth;
    bool persistent;
    DWORD error;
};

struct Machine {
    // Clock
    std::uint64_t elapsedMs = 0;
    DWORD tick = 0;
    std::uint64_t utc = 0;
    std::int64_t localOffset = 0; // 100-ns units
    std::uint64_t timeLimitMs = kNever;
    std::vector<ScheduledAction> actions;
    std::uint64_t actionOrder = 0;

    // Faults and calls
    std::map<Op, std::vector<FaultRule>> faults;
    std::map<Op, unsigned> opCalls; // calls per operation since the rules were set
    unsigned nthCall = 0;
    DWORD nthError = 0;
    unsigned injectableCalls = 0;
    unsigned faultsFired = 0;
    std::optional<Op> lastFaultOp;
    bool lastFaultBenign = false; // it failed inside a BenignFailures mark
    bool recording = true;
    std::vector<Call> calls;
    DWORD lastError = 0;

    // Handles and heap
    std::map<std::uintptr_t, HandleEntry> handles;
    std::uintptr_t nextHandle = 0x1000;
    std::set<void*> heapBlocks;
    std::uint64_t heapAllocations = 0;
    std::vector<std::string> misuses;

    // Services and processes
    std::map<std::wstring, Service> services; // keyed by the upper-cased name
    bool managerAccessDenied = false;
    DWORD managerRightsDenied = 0;
    std::map<DWORD, Process> processes;
    bool debugPrivilegeHeld = false;
    bool debugPrivilegeEnabled = false;
    DWORD nextPid = 1000;
    std::map<std::wstring, Program> programs;
    std::map<std::wstring, std::wstring> programChildren; // parent's command line to child's
    std::vector<Launch> launches;

    // Printers
    std::deque<Printer> printers;
    std::vector<DWORD> namelessPrinters;
    DWORD hungSpoolerPid = 0; // the spooler process that does not answer
    unsigned heldCalls = 0;

    // Files
    std::wstring modulePath;
    std::wstring systemDirectory;
    std::map<std::wstring, File> files; // keyed by the upper-cased path
    std::vector<std::wstring> deleted;
    std::vector<std::wstring> moves;

    // Registry (below HKEY_LOCAL_MACHINE) and environment, keyed by the
    // upper-cased key path and variable name
    std::map<std::wstring, RegistryKey> registry;
    std::map<std::wstring, std::pair<std::wstring, std::wstring>> environment;

    // Event log
    std::vector<Event> events;
    bool eventLogAvailable = true;

    // Service host
    bool startedByScm = false;
    std::vector<SERVICE_STATUS> reports;
    std::vector<std::uint64_t> reportTimes; // ElapsedMs of each report
    std::wstring dispatchedName;
    std::wstring handlerName;
    LPHANDLER_FUNCTION_EX handler = nullptr;
    LPVOID handlerContext = nullptr;
    std::vector<DWORD> controlResults; // what the handler returned, control by control
    unsigned threadsCreated = 0;
    std::function<void(HANDLE, DWORD)> waitObserver;

    // Status-change notifications armed and not yet delivered, and those due
    // and waiting for an alertable wait (one queue: only one thread arms them).
    struct Notification {
        std::uintptr_t handle;
        std::wstring service;
        DWORD mask;
        SERVICE_NOTIFYW* notify;
    };
    std::vector<Notification> notifications;
    std::vector<Notification> apcs;

    // Console
    bool consoleAttached = false;
    bool stdoutBroken = false;
    std::string stdoutBytes;
    std::wstring consoleText;
};

Machine& M();

std::wstring Upper(const std::wstring& text);
HANDLE NewHandle(HandleEntry entry);
HandleEntry* Lookup(const void* handle, HandleKind kind);
bool Release(const void* handle, HandleKind kind, const char* operation);
void Misuse(const std::string& what);
void Fail(DWORD error);

// Blocks the calling simulated thread until `done` holds or `timeoutMs` has
// passed, letting the other threads run and the clock advance (running the
// actions that fall due on the way). Returns whether `done` held.
bool WaitUntil(const std::function<bool()>& done, std::uint64_t timeoutMs);

// The clock, for the scheduler: moves it on, or runs the earliest action due
// at or before `until` (false when there is none).
void MoveClock(std::uint64_t ms);
bool RunNextAction(std::uint64_t until);

// Threads (threads.cpp).
bool ThreadEnded(unsigned thread);
void EndThreads(); // unwinds and joins every thread but the tests' own

void ServiceProcessEnded(DWORD pid);

// Parts of Reset, one per file.
void ResetServices();
void ResetRegistryAndEnvironment();

} // namespace nimbrel::sim
