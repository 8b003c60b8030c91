// The simulator's core: the operations' recording and fault hooks, the
// virtual clock, handles, the heap and the reset of the whole machine.

#include "platform/benign.h"
#include "platform/sim/impl.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <type_traits>

namespace nimbrel::sim {

Machine& M() {
    static Machine machine;
    return machine;
}

namespace {

constexpr std::uint64_t kFileTimePerMs = 10000;
constexpr std::uint64_t kFileTimePerSecond = 10000000;
constexpr std::uint64_t kUnixEpochAsFileTime = 116444736000000000ULL;

const char* const kOpNames[] = {
#define NIMBREL_SIM_NAME(ret, name, ...) #name,
    NIMBREL_PLATFORM_OPS(NIMBREL_SIM_NAME, NIMBREL_SIM_NAME)
#undef NIMBREL_SIM_NAME
};

const bool kInjectable[] = {
#define NIMBREL_SIM_YES(...) true,
#define NIMBREL_SIM_NO(...) false,
    NIMBREL_PLATFORM_OPS(NIMBREL_SIM_YES, NIMBREL_SIM_NO)
#undef NIMBREL_SIM_YES
#undef NIMBREL_SIM_NO
};

const DWORD kRealisticErrors[] = {
#define NIMBREL_SIM_ERROR(ret, name, params, args, failValue, failError) failError,
#define NIMBREL_SIM_NOERROR(...) 0,
    NIMBREL_PLATFORM_OPS(NIMBREL_SIM_ERROR, NIMBREL_SIM_NOERROR)
#undef NIMBREL_SIM_ERROR
#undef NIMBREL_SIM_NOERROR
};

[[noreturn]] void Abort(const char* why) {
    std::fprintf(stderr, "simulated Windows: %s (virtual time %llu ms)\n", why,
                 static_cast<unsigned long long>(M().elapsedMs));
    std::abort();
}

std::wstring HandleName(const void* handle) {
    if (handle == nullptr) {
        return L"null";
    }
    if (handle == INVALID_HANDLE_VALUE) {
        return L"invalid";
    }
    auto value = reinterpret_cast<std::uintptr_t>(handle);
    if (M().handles.count(value) != 0) {
        return L"h" + std::to_wstring((value - 0x1000) / 4 + 1);
    }
    return L"ptr";
}

// Argument descriptions for the call record. Output buffers are never read:
// they may hold nothing yet.
std::wstring DescribeArg(const WCHAR* text) {
    return text ? std::wstring(text) : L"null";
}
std::wstring DescribeArg(WCHAR* buffer) {
    return buffer ? L"buffer" : L"null";
}
std::wstring DescribeArg(const WCHAR** strings) {
    return strings ? L"strings" : L"null";
}
std::wstring DescribeArg(HKEY key) {
    return key == HKEY_LOCAL_MACHINE ? L"HKLM" : HandleName(key);
}
template <typename T>
std::wstring DescribeArg(T value) {
    if constexpr (std::is_integral_v<T>) {
        return std::to_wstring(value);
    } else if constexpr (std::is_pointer_v<T> && std::is_function_v<std::remove_pointer_t<T>>) {
        return value ? L"fn" : L"null";
    } else {
        return HandleName(reinterpret_cast<const void*>(value));
    }
}

template <typename... A>
std::vector<std::wstring> DescribeArgs(A... args) {
    return {DescribeArg(args)...};
}

void Record(Op op, std::vector<std::wstring> args) {
    if (M().recording) {
        M().calls.push_back({op, std::move(args)});
    }
}

// The benign marks open on this thread: a simulated thread, like a real one,
// is inside the marks of its own calls only.
thread_local unsigned BenignDepth = 0;

// Decides whether this call of `op` fails, and with which error.
DWORD TakeFault(Op op) {
    Machine& m = M();
    unsigned count = ++m.opCalls[op];
    ++m.injectableCalls;
    DWORD error = 0;
    if (m.nthCall != 0 && m.injectableCalls == m.nthCall) {
        error = m.nthError ? m.nthError : RealisticError(op);
    }
    auto rules = m.faults.find(op);
    if (error == 0 && rules != m.faults.end()) {
        for (const FaultRule& rule : rules->second) {
            if (count == rule.nth || (rule.persistent && count > rule.nth)) {
                error = rule.error ? rule.error : RealisticError(op);
                break;
            }
        }
    }
    if (error != 0) {
        ++m.faultsFired;
        m.lastFaultOp = op;
        m.lastFaultBenign = BenignDepth > 0;
    }
    return error;
}

} // namespace

void MoveClock(std::uint64_t ms) {
    Machine& m = M();
    m.elapsedMs += ms;
    m.tick = static_cast<DWORD>(m.tick + ms);
    m.utc += ms * kFileTimePerMs;
    if (m.elapsedMs > m.timeLimitMs) {
        Abort("the run passed its time limit; is a loop waiting for a stop that never comes?");
    }
}

// Runs the earliest action due at or before `until`; false when there is none.
bool RunNextAction(std::uint64_t until) {
    Machine& m = M();
    auto next = std::min_element(m.actions.begin(), m.actions.end(),
                                 [](const ScheduledAction& a, const ScheduledAction& b) {
                                     return a.due != b.due ? a.due < b.due : a.order < b.order;
                                 });
    if (next == m.actions.end() || next->due > until) {
        return false;
    }
    std::function<void()> action = std::move(next->action);
    std::uint64_t due = next->due;
    m.actions.erase(next);
    if (due > m.elapsedMs) {
        MoveClock(due - m.elapsedMs);
    }
    action();
    return true;
}

const char* OpName(Op op) {
    return kOpNames[static_cast<int>(op)];
}

bool IsInjectable(Op op) {
    return kInjectable[static_cast<int>(op)];
}

DWORD RealisticError(Op op) {
    return kRealisticErrors[static_cast<int>(op)];
}

// ---- Clock ------------------------------------------------------------------

std::uint64_t ElapsedMs() {
    return M().elapsedMs;
}
DWORD Tick() {
    return M().tick;
}
void SetTick(DWORD tick) {
    M().tick = tick;
}
std::uint64_t UtcNow() {
    return M().utc;
}

void SetUtc(int year, int month, int day, int hour, int minute, int second) {
    SYSTEMTIME t{};
    t.wYear = static_cast<WORD>(year);
    t.wMonth = static_cast<WORD>(month);
    t.wDay = static_cast<WORD>(day);
    t.wHour = static_cast<WORD>(hour);
    t.wMinute = static_cast<WORD>(minute);
    t.wSecond = static_cast<WORD>(second);
    M().utc = ToFileTime(t);
}

void SetUtcNow(std::uint64_t fileTime) {
    M().utc = fileTime;
}

void SetLocalOffsetMinutes(int minutes) {
    M().localOffset = static_cast<std::int64_t>(minutes) * 60 * 10000000;
}

void JumpWallClock(std::int64_t seconds) {
    M().utc = static_cast<std::uint64_t>(static_cast<std::int64_t>(M().utc) +
                                         seconds * static_cast<std::int64_t>(kFileTimePerSecond));
}

// The calling thread sleeps: the others, and the actions on the way, run.
void AdvanceMs(std::uint64_t ms) {
    WaitUntil([] { return false; }, ms);
}

void At(std::uint64_t elapsedMs, std::function<void()> action) {
    Machine& m = M();
    m.actions.push_back({std::max(elapsedMs, m.elapsedMs), m.actionOrder++, std::move(action)});
}

void After(std::uint64_t ms, std::function<void()> action) {
    At(M().elapsedMs + ms, std::move(action));
}

void SetTimeLimitMs(std::uint64_t elapsedMs) {
    M().timeLimitMs = elapsedMs;
}

std::size_t PendingActions() {
    return M().actions.size();
}

void ForgetHistory() {
    Machine& m = M();
    m.calls.clear();
    m.events.clear();
    m.reports.clear();
    m.reportTimes.clear();
    m.launches.clear();
    m.deleted.clear();
    m.moves.clear();
    std::set<DWORD> held;
    for (const auto& [value, entry] : m.handles) {
        if (entry.kind == HandleKind::Process) {
            held.insert(entry.pid);
        }
    }
    for (auto it = m.processes.begin(); it != m.processes.end();) {
        it = !it->second.running && held.count(it->first) == 0 ? m.processes.erase(it) : ++it;
    }
}

// Days from 1601-01-01 for a proleptic Gregorian date.
static std::int64_t DaysFrom1601(int year, int month, int day) {
    std::int64_t y = year - (month <= 2 ? 1 : 0);
    std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    std::int64_t yoe = y - era * 400;
    std::int64_t mp = (month + 9) % 12;
    std::int64_t doy = (153 * mp + 2) / 5 + day - 1;
    std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    std::int64_t daysFrom1970 = era * 146097 + doe - 719468;
    return daysFrom1970 + 134774; // 1601-01-01 to 1970-01-01
}

static bool IsLeap(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

std::uint64_t ToFileTime(const SYSTEMTIME& t) {
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (t.wYear < 1601 || t.wYear > 30827 || t.wMonth < 1 || t.wMonth > 12 || t.wDay < 1 ||
        t.wHour > 23 || t.wMinute > 59 || t.wSecond > 59 || t.wMilliseconds > 999) {
        return 0;
    }
    int days = kDays[t.wMonth - 1] + (t.wMonth == 2 && IsLeap(t.wYear) ? 1 : 0);
    if (t.wDay > days) {
        return 0;
    }
    std::uint64_t d = static_cast<std::uint64_t>(DaysFrom1601(t.wYear, t.wMonth, t.wDay));
    std::uint64_t seconds = d * 86400 + t.wHour * 3600u + t.wMinute * 60u + t.wSecond;
    return seconds * kFileTimePerSecond + t.wMilliseconds * kFileTimePerMs;
}

SYSTEMTIME FromFileTime(std::uint64_t fileTime) {
    std::uint64_t ms = fileTime / kFileTimePerMs;
    std::int64_t days = static_cast<std::int64_t>(ms / 86400000) - 134774; // from 1970
    std::uint64_t msOfDay = ms % 86400000;
    std::int64_t z = days + 719468;
    std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    std::int64_t doe = z - era * 146097;
    std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    std::int64_t mp = (5 * doy + 2) / 153;
    std::int64_t day = doy - (153 * mp + 2) / 5 + 1;
    std::int64_t month = mp < 10 ? mp + 3 : mp - 9;
    std::int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    SYSTEMTIME t{};
    t.wYear = static_cast<WORD>(year);
    t.wMonth = static_cast<WORD>(month);
    t.wDay = static_cast<WORD>(day);
    // 1970-01-01 was a Thursday (4).
    t.wDayOfWeek = static_cast<WORD>(((days % 7) + 7 + 4) % 7);
    t.wHour = static_cast<WORD>(msOfDay / 3600000);
    t.wMinute = static_cast<WORD>(msOfDay / 60000 % 60);
    t.wSecond = static_cast<WORD>(msOfDay / 1000 % 60);
    t.wMilliseconds = static_cast<WORD>(msOfDay % 1000);
    return t;
}

SYSTEMTIME UtcSystemTime(std::int64_t secondsAgo) {
    return FromFileTime(M().utc - static_cast<std::uint64_t>(secondsAgo) * kFileTimePerSecond);
}

// ---- Faults and calls -----------------------------------------------------------

void FailCall(Op op, DWORD error, unsigned nth, bool persistent) {
    Machine& m = M();
    m.faults[op].push_back({m.opCalls[op] + nth, persistent, error});
}

void FailNthCall(unsigned k, DWORD error) {
    M().nthCall = M().injectableCalls + k;
    M().nthError = error;
}

void ClearFaults() {
    Machine& m = M();
    m.faults.clear();
    m.nthCall = 0;
    m.nthError = 0;
}

unsigned InjectableCalls() {
    return M().injectableCalls;
}
unsigned FaultsFired() {
    return M().faultsFired;
}
std::optional<Op> LastFaultOp() {
    return M().lastFaultOp;
}
bool LastFaultBenign() {
    return M().lastFaultBenign;
}

void SetRecording(bool on) {
    M().recording = on;
}
const std::vector<Call>& Calls() {
    return M().calls;
}
std::vector<Call> CallsOf(Op op) {
    std::vector<Call> result;
    for (const Call& call : M().calls) {
        if (call.op == op) {
            result.push_back(call);
        }
    }
    return result;
}
unsigned CountCalls(Op op) {
    return static_cast<unsigned>(CallsOf(op).size());
}
void ClearCalls() {
    M().calls.clear();
}

std::wstring Describe(const Call& call) {
    const char* name = OpName(call.op);
    std::wstring text(name, name + std::char_traits<char>::length(name));
    text += L"(";
    for (std::size_t i = 0; i < call.args.size(); ++i) {
        text += (i ? L", " : L"") + call.args[i];
    }
    return text + L")";
}

// ---- Handles and heap -----------------------------------------------------------

std::wstring Upper(const std::wstring& text) {
    std::wstring result = text;
    for (WCHAR& c : result) {
        if (c >= L'a' && c <= L'z') {
            c = static_cast<WCHAR>(c - L'a' + L'A');
        }
    }
    return result;
}

HANDLE NewHandle(HandleEntry entry) {
    Machine& m = M();
    std::uintptr_t value = m.nextHandle;
    m.nextHandle += 4;
    m.handles.emplace(value, std::move(entry));
    return reinterpret_cast<HANDLE>(value);
}

HandleEntry* Lookup(const void* handle, HandleKind kind) {
    auto it = M().handles.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == M().handles.end() || it->second.kind != kind) {
        return nullptr;
    }
    return &it->second;
}

void Misuse(const std::string& what) {
    M().misuses.push_back(what);
}

bool Release(const void* handle, HandleKind kind, const char* operation) {
    if (Lookup(handle, kind) == nullptr) {
        Misuse(std::string(operation) + " of a handle that is not open or of another kind");
        Fail(ERROR_INVALID_HANDLE);
        return false;
    }
    M().handles.erase(reinterpret_cast<std::uintptr_t>(handle));
    return true;
}

void Fail(DWORD error) {
    M().lastError = error;
}

unsigned OpenHandles() {
    return static_cast<unsigned>(M().handles.size());
}

unsigned OpenHandles(HandleKind kind) {
    return static_cast<unsigned>(
        std::count_if(M().handles.begin(), M().handles.end(),
                      [kind](const auto& h) { return h.second.kind == kind; }));
}

std::wstring DescribeOpenHandles() {
    static const wchar_t* const kKinds[] = {
        L"manager",  L"service", L"printer", L"process", L"thread", L"snapshot", L"search",
        L"eventsrc", L"event",   L"regkey",  L"file",    L"token",  L"job"};
    std::wstring text;
    for (const auto& [value, entry] : M().handles) {
        text += HandleName(reinterpret_cast<void*>(value)) + L":" +
                kKinds[static_cast<int>(entry.kind)] + L"(" + entry.name + L") ";
    }
    return text;
}

unsigned LiveHeapBlocks() {
    return static_cast<unsigned>(M().heapBlocks.size());
}
std::uint64_t HeapAllocations() {
    return M().heapAllocations;
}
const std::vector<std::string>& Misuses() {
    return M().misuses;
}
void ClearMisuses() {
    M().misuses.clear();
}

HANDLE Sim_GetProcessHeap() {
    return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(0x0fe0));
}

LPVOID Sim_HeapAlloc(HANDLE heap, DWORD, SIZE_T bytes) {
    if (heap != Sim_GetProcessHeap()) {
        Misuse("HeapAlloc on an unknown heap");
        return nullptr;
    }
    void* block = std::malloc(bytes ? bytes : 1);
    M().heapBlocks.insert(block);
    ++M().heapAllocations;
    return block;
}

BOOL Sim_HeapFree(HANDLE heap, DWORD, LPVOID block) {
    if (block == nullptr) {
        return TRUE;
    }
    if (heap != Sim_GetProcessHeap() || M().heapBlocks.erase(block) == 0) {
        Misuse("HeapFree of a block that is not allocated");
        return FALSE;
    }
    std::free(block);
    return TRUE;
}

DWORD Sim_GetLastError() {
    return M().lastError;
}

void Sim_SetLastError(DWORD error) {
    M().lastError = error;
}

// ---- Time -------------------------------------------------------------------------

DWORD Sim_GetTickCount() {
    return M().tick;
}

void Sim_GetSystemTimeAsFileTime(FILETIME* now) {
    now->dwLowDateTime = static_cast<DWORD>(M().utc);
    now->dwHighDateTime = static_cast<DWORD>(M().utc >> 32);
}

BOOL Sim_SystemTimeToFileTime(const SYSTEMTIME* time, FILETIME* result) {
    std::uint64_t value = ToFileTime(*time);
    if (value == 0) {
        Fail(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    result->dwLowDateTime = static_cast<DWORD>(value);
    result->dwHighDateTime = static_cast<DWORD>(value >> 32);
    return TRUE;
}

void Sim_GetLocalTime(SYSTEMTIME* now) {
    *now = FromFileTime(
        static_cast<std::uint64_t>(static_cast<std::int64_t>(M().utc) + M().localOffset));
}

std::int64_t Sim__time64(std::int64_t* now) {
    std::int64_t seconds = static_cast<std::int64_t>(M().utc / kFileTimePerSecond) -
                           static_cast<std::int64_t>(kUnixEpochAsFileTime / kFileTimePerSecond);
    if (now) {
        *now = seconds;
    }
    return seconds;
}

void Sim_Sleep(DWORD milliseconds) {
    if (milliseconds == INFINITE) {
        Abort("Sleep(INFINITE) never returns");
    }
    AdvanceMs(milliseconds);
}

// ---- Reset ---------------------------------------------------------------------------

void Reset() {
    EndThreads();
    Machine& m = M();
    for (void* block : m.heapBlocks) {
        std::free(block);
    }
    m = Machine{};
    m.tick = 1000000;
    SetUtc(2026, 12, 7, 10, 0, 0);
    m.modulePath = L"C:\\Program Files\\Nimbrel\\Nimbrel.exe";
    m.systemDirectory = L"C:\\Windows\\system32";
    m.timeLimitMs = 400ull * 24 * 3600 * 1000;
    ResetServices();
    ResetRegistryAndEnvironment();
    AddFolder(L"C:\\Windows\\system32\\spool\\PRINTERS");
}

} // namespace nimbrel::sim

// ---- The operations of the seam ---------------------------------------------------------

namespace nimbrel {

using sim::NotifyFailure;
using sim::ProfileStringDefault;
using sim::RegistryFailure;

#define NIMBREL_SIM_OP(ret, name, params, args, failValue, failError)                              \
    ret name params {                                                                              \
        if (sim::M().recording) { /* describing the arguments is most of a call's cost */          \
            sim::Record(sim::Op::name, sim::DescribeArgs args);                                    \
        }                                                                                          \
        if (DWORD injected = sim::TakeFault(sim::Op::name)) {                                      \
            sim::M().lastError = injected;                                                         \
            return failValue;                                                                      \
        }                                                                                          \
        return sim::Sim_##name args;                                                               \
    }
#define NIMBREL_SIM_OP_NOFAIL(ret, name, params, args)                                             \
    ret name params {                                                                              \
        if (sim::M().recording) { /* describing the arguments is most of a call's cost */          \
            sim::Record(sim::Op::name, sim::DescribeArgs args);                                    \
        }                                                                                          \
        return sim::Sim_##name args;                                                               \
    }

NIMBREL_PLATFORM_OPS(NIMBREL_SIM_OP, NIMBREL_SIM_OP_NOFAIL)

void BeginBenignFailures() {
    ++sim::BenignDepth;
}
void EndBenignFailures() {
    --sim::BenignDepth;
}

} // namespace nimbrel
