// Simulated processes, threads, events and waits.

#include "platform/sim/impl.h"

#include <cstring>

namespace nimbrel::sim {
namespace {

constexpr DWORD kStillActive = 259;

void EndProcess(DWORD pid, DWORD exitCode) {
    Process* process = FindProcess(pid);
    if (process == nullptr || !process->running) {
        return;
    }
    process->running = false;
    process->exitCode = exitCode;
    ServiceProcessEnded(pid);
}

// A launched process starts its program: it ends after the program's run
// time, and starts the program's child, in its own job, at once.
void RunProgram(DWORD pid) {
    Process* process = FindProcess(pid);
    auto program = M().programs.find(process->commandLine);
    if (program == M().programs.end()) {
        return;
    }
    Program behaviour = program->second;
    if (behaviour.runMs != kNever) {
        After(behaviour.runMs, [pid, behaviour] { EndProcess(pid, behaviour.exitCode); });
    }
    auto started = M().programChildren.find(process->commandLine);
    if (started != M().programChildren.end()) {
        const std::uintptr_t job = process->job;
        DWORD child = AddProcess(started->second);
        FindProcess(child)->commandLine = started->second;
        FindProcess(child)->job = job;
        FindProcess(child)->parent = pid;
        RunProgram(child);
    }
}

// Ends every running process of a job.
void EndJob(std::uintptr_t job, DWORD exitCode) {
    std::vector<DWORD> members;
    for (const auto& [pid, process] : M().processes) {
        if (process.running && process.job == job) {
            members.push_back(pid);
        }
    }
    for (DWORD pid : members) {
        EndProcess(pid, exitCode);
    }
}

bool EqualsNoCase(const std::wstring& a, const std::wstring& b) {
    return Upper(a) == Upper(b);
}

} // namespace

DWORD AddProcess(const std::wstring& image, bool canTerminate, bool canOpen) {
    Machine& m = M();
    DWORD pid = m.nextPid;
    m.nextPid += 4;
    Process process;
    process.pid = pid;
    process.image = image;
    process.canTerminate = canTerminate;
    process.canOpen = canOpen;
    process.exitCode = kStillActive;
    m.processes[pid] = process;
    return pid;
}

Process* FindProcess(DWORD pid) {
    auto it = M().processes.find(pid);
    return it == M().processes.end() ? nullptr : &it->second;
}

std::vector<Process> Processes() {
    std::vector<Process> result;
    for (const auto& [pid, process] : M().processes) {
        result.push_back(process);
    }
    return result;
}

unsigned RunningProcesses(const std::wstring& image) {
    unsigned count = 0;
    for (const auto& [pid, process] : M().processes) {
        count += process.running && EqualsNoCase(process.image, image) ? 1 : 0;
    }
    return count;
}

void AddProgram(const std::wstring& commandLine, Program program) {
    M().programs[commandLine] = program;
}

void AddChildProgram(const std::wstring& parent, const std::wstring& child) {
    M().programChildren[parent] = child;
}

const std::vector<Launch>& Launches() {
    return M().launches;
}

unsigned ThreadsCreated() {
    return M().threadsCreated;
}

bool EventSignalled(HANDLE event) {
    HandleEntry* entry = Lookup(event, HandleKind::Event);
    return entry != nullptr && entry->signalled;
}

// ---- Tool help ----------------------------------------------------------------------

HANDLE Sim_CreateToolhelp32Snapshot(DWORD flags, DWORD) {
    if ((flags & TH32CS_SNAPPROCESS) == 0) {
        Fail(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    HandleEntry entry{HandleKind::Snapshot};
    for (const auto& [pid, process] : M().processes) {
        if (!process.running) {
            continue;
        }
        PROCESSENTRY32W record{};
        record.dwSize = sizeof record;
        record.th32ProcessID = pid;
        record.cntThreads = 1;
        std::wstring image = process.image.substr(0, MAX_PATH - 1);
        image.copy(record.szExeFile, image.size());
        entry.snapshot.push_back(record);
    }
    return NewHandle(entry);
}

static BOOL NextProcessEntry(HANDLE snapshot, PROCESSENTRY32W* entry, bool first) {
    HandleEntry* handle = Lookup(snapshot, HandleKind::Snapshot);
    if (handle == nullptr) {
        Fail(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (entry == nullptr || entry->dwSize < sizeof(PROCESSENTRY32W)) {
        Fail(ERROR_BAD_LENGTH);
        return FALSE;
    }
    if (first) {
        handle->cursor = 0;
    }
    if (handle->cursor >= handle->snapshot.size()) {
        Fail(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    *entry = handle->snapshot[handle->cursor++];
    return TRUE;
}

BOOL Sim_Process32FirstW(HANDLE snapshot, PROCESSENTRY32W* entry) {
    return NextProcessEntry(snapshot, entry, true);
}

BOOL Sim_Process32NextW(HANDLE snapshot, PROCESSENTRY32W* entry) {
    return NextProcessEntry(snapshot, entry, false);
}

// ---- Processes ---------------------------------------------------------------------

HANDLE Sim_OpenProcess(DWORD access, BOOL inherit, DWORD processId) {
    Process* process = FindProcess(processId);
    if (process == nullptr || !process->running) {
        Fail(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (!process->canOpen || (process->needsDebugPrivilege && !M().debugPrivilegeEnabled)) {
        Fail(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    if (inherit) {
        Misuse("OpenProcess asked for an inheritable handle");
    }
    HandleEntry entry{HandleKind::Process};
    entry.access = access;
    entry.pid = processId;
    entry.name = process->image;
    return NewHandle(entry);
}

BOOL Sim_TerminateProcess(HANDLE handle, UINT exitCode) {
    HandleEntry* entry = Lookup(handle, HandleKind::Process);
    if (entry == nullptr) {
        Fail(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    Process* process = FindProcess(entry->pid);
    if ((entry->access & PROCESS_TERMINATE) == 0 || process == nullptr || !process->canTerminate) {
        Fail(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    ++process->terminations;
    EndProcess(entry->pid, exitCode);
    return TRUE;
}

HANDLE Sim_CreateJobObjectW(LPVOID, LPCWSTR name) {
    if (name != nullptr) {
        Misuse("CreateJobObjectW given a name: another process could open the job");
    }
    return NewHandle(HandleEntry{HandleKind::Job});
}

BOOL Sim_SetInformationJobObject(HANDLE job, DWORD infoClass, LPVOID info, DWORD size) {
    HandleEntry* entry = Lookup(job, HandleKind::Job);
    if (entry == nullptr) {
        Fail(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (infoClass != JobObjectExtendedLimitInformation || info == nullptr ||
        size != sizeof(JOBOBJECT_EXTENDED_LIMIT_INFORMATION)) {
        Fail(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const auto* limits = static_cast<const JOBOBJECT_EXTENDED_LIMIT_INFORMATION*>(info);
    entry->killOnClose =
        (limits->BasicLimitInformation.LimitFlags & JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE) != 0;
    return TRUE;
}

BOOL Sim_AssignProcessToJobObject(HANDLE job, HANDLE process) {
    HandleEntry* jobEntry = Lookup(job, HandleKind::Job);
    HandleEntry* processEntry = Lookup(process, HandleKind::Process);
    Process* target = processEntry ? FindProcess(processEntry->pid) : nullptr;
    if (jobEntry == nullptr || target == nullptr) {
        Fail(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (target->job != 0) {
        Fail(ERROR_ACCESS_DENIED); // as Windows 7, which nests no jobs
        return FALSE;
    }
    target->job = reinterpret_cast<std::uintptr_t>(job);
    return TRUE;
}

BOOL Sim_TerminateJobObject(HANDLE job, UINT exitCode) {
    if (Lookup(job, HandleKind::Job) == nullptr) {
        Fail(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    EndJob(reinterpret_cast<std::uintptr_t>(job), exitCode);
    return TRUE;
}

// Resumes the main thread of a process created suspended: its program runs.
DWORD Sim_ResumeThread(HANDLE thread) {
    HandleEntry* entry = Lookup(thread, HandleKind::Thread);
    Process* process = entry ? FindProcess(entry->pid) : nullptr;
    if (process == nullptr) {
        Fail(ERROR_INVALID_HANDLE);
        return static_cast<DWORD>(-1);
    }
    if (!process->suspended) {
        return 0;
    }
    process->suspended = false;
    if (process->running) {
        RunProgram(process->pid);
    }
    return 1;
}

BOOL Sim_GetExitCodeProcess(HANDLE handle, LPDWORD exitCode) {
    HandleEntry* entry = Lookup(handle, HandleKind::Process);
    Process* process = entry ? FindProcess(entry->pid) : nullptr;
    if (process == nullptr || exitCode == nullptr) {
        Fail(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *exitCode = process->running ? kStillActive : process->exitCode;
    return TRUE;
}

BOOL Sim_CreateProcessW(LPCWSTR application, LPWSTR commandLine, LPVOID, LPVOID,
                        BOOL inheritHandles, DWORD creationFlags, LPVOID environment,
                        LPCWSTR currentDirectory, STARTUPINFOW* startupInfo,
                        PROCESS_INFORMATION* processInfo) {
    Launch launch;
    launch.commandLine = commandLine ? commandLine : L"";
    if (application != nullptr) {
        launch.applicationName = application;
    }
    launch.inheritHandles = inheritHandles;
    launch.creationFlags = creationFlags;
    launch.environmentGiven = environment != nullptr;
    launch.currentDirectoryGiven = currentDirectory != nullptr;
    if (startupInfo != nullptr) {
        launch.startup = *startupInfo;
    }
    auto program = M().programs.find(launch.commandLine);
    if (startupInfo == nullptr || processInfo == nullptr ||
        startupInfo->cb != sizeof(STARTUPINFOW)) {
        M().launches.push_back(launch);
        Fail(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (program == M().programs.end()) {
        M().launches.push_back(launch);
        Fail(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    DWORD pid = AddProcess(launch.commandLine);
    FindProcess(pid)->commandLine = launch.commandLine;
    if ((creationFlags & CREATE_SUSPENDED) != 0) {
        FindProcess(pid)->suspended = true;
    } else {
        RunProgram(pid);
    }
    HandleEntry processEntry{HandleKind::Process};
    processEntry.access = 0xFFFFFFFFu;
    processEntry.pid = pid;
    processEntry.name = L"launched";
    HandleEntry threadEntry{HandleKind::Thread};
    threadEntry.name = L"launched";
    threadEntry.pid = pid;
    threadEntry.signalled = false;
    processInfo->hProcess = NewHandle(processEntry);
    processInfo->hThread = NewHandle(threadEntry);
    processInfo->dwProcessId = pid;
    processInfo->dwThreadId = pid + 1;
    launch.succeeded = true;
    launch.pid = pid;
    M().launches.push_back(launch);
    return TRUE;
}

// ---- Threads and events --------------------------------------------------------------

HANDLE Sim_CreateEventW(LPVOID, BOOL manualReset, BOOL initialState, LPCWSTR name) {
    HandleEntry entry{HandleKind::Event};
    entry.manualReset = manualReset != FALSE;
    entry.signalled = initialState != FALSE;
    entry.name = name ? name : L"";
    return NewHandle(entry);
}

BOOL Sim_SetEvent(HANDLE event) {
    HandleEntry* entry = Lookup(event, HandleKind::Event);
    if (entry == nullptr) {
        Fail(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    entry->signalled = true;
    return TRUE;
}

void SetWaitObserver(std::function<void(HANDLE, DWORD)> observer) {
    M().waitObserver = std::move(observer);
}

namespace {

// What makes a waitable object signalled; empty for an object that cannot be
// waited on. A handle closed while waited on never signals.
std::function<bool()> SignalTest(std::uintptr_t raw) {
    auto it = M().handles.find(raw);
    if (it == M().handles.end()) {
        return {};
    }
    const HandleEntry& entry = it->second;
    if (entry.kind == HandleKind::Process) {
        DWORD pid = entry.pid;
        return [pid] { return !FindProcess(pid)->running; };
    }
    if (entry.kind == HandleKind::Thread && entry.thread != 0) {
        const unsigned thread = entry.thread;
        return [thread] { return ThreadEnded(thread); };
    }
    if (entry.kind == HandleKind::Event || entry.kind == HandleKind::Thread) {
        return [raw] {
            auto found = M().handles.find(raw);
            return found != M().handles.end() && found->second.signalled;
        };
    }
    return {};
}

// An auto-reset event is taken by the one waiter it releases.
void TakeSignal(std::uintptr_t raw) {
    HandleEntry& entry = M().handles.at(raw);
    if (entry.kind == HandleKind::Event && !entry.manualReset) {
        entry.signalled = false;
    }
}

} // namespace

// An alertable wait also ends for the callbacks of notifications due, which
// it runs, as Windows runs queued asynchronous procedure calls.
DWORD Sim_WaitForSingleObjectEx(HANDLE object, DWORD milliseconds, BOOL alertable) {
    if (M().waitObserver) {
        M().waitObserver(object, milliseconds);
    }
    auto raw = reinterpret_cast<std::uintptr_t>(object);
    std::function<bool()> signalled = SignalTest(raw);
    if (!signalled) {
        Fail(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    auto callbacks = [alertable] { return alertable && !M().apcs.empty(); };
    const bool ended = WaitUntil([&] { return callbacks() || signalled(); },
                                 milliseconds == INFINITE ? kNever : milliseconds);
    if (callbacks()) {
        std::vector<Machine::Notification> due;
        due.swap(M().apcs);
        for (const Machine::Notification& call : due) {
            call.notify->pfnNotifyCallback(call.notify);
        }
        return WAIT_IO_COMPLETION;
    }
    if (!ended) {
        return WAIT_TIMEOUT;
    }
    TakeSignal(raw);
    return WAIT_OBJECT_0;
}

// Not alertable, the wait above is the plain one.
DWORD Sim_WaitForSingleObject(HANDLE object, DWORD milliseconds) {
    return Sim_WaitForSingleObjectEx(object, milliseconds, FALSE);
}

unsigned ArmedNotifications() {
    return static_cast<unsigned>(M().notifications.size());
}

unsigned QueuedNotifications() {
    return static_cast<unsigned>(M().apcs.size());
}

// Waits for any one of the objects; the lowest index among those signalled
// is the one reported, as on Windows.
DWORD Sim_WaitForMultipleObjects(DWORD count, const HANDLE* objects, BOOL waitAll,
                                 DWORD milliseconds) {
    if (M().waitObserver && count != 0 && objects != nullptr) {
        M().waitObserver(objects[0], milliseconds);
    }
    if (count == 0 || count > 64 || objects == nullptr || waitAll) {
        Misuse("WaitForMultipleObjects given no objects, too many, or asked to wait for all");
        Fail(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    std::vector<std::function<bool()>> tests;
    for (DWORD i = 0; i < count; ++i) {
        tests.push_back(SignalTest(reinterpret_cast<std::uintptr_t>(objects[i])));
        if (!tests.back()) {
            Fail(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
    }
    auto first = [&tests]() -> DWORD {
        for (DWORD i = 0; i < tests.size(); ++i) {
            if (tests[i]()) {
                return i;
            }
        }
        return WAIT_TIMEOUT;
    };
    if (!WaitUntil([&first] { return first() != WAIT_TIMEOUT; },
                   milliseconds == INFINITE ? kNever : milliseconds)) {
        return WAIT_TIMEOUT;
    }
    const DWORD index = first();
    TakeSignal(reinterpret_cast<std::uintptr_t>(objects[index]));
    return WAIT_OBJECT_0 + index;
}

// Nothing else runs while a thread holds the lock, unless it blocks; a lock
// taken twice is a deadlock on Windows.
void Sim_AcquireSRWLockExclusive(SRWLOCK* lock) {
    if (lock->Ptr != nullptr) {
        Misuse("AcquireSRWLockExclusive of a lock already held: a deadlock");
    }
    lock->Ptr = lock;
}

void Sim_ReleaseSRWLockExclusive(SRWLOCK* lock) {
    if (lock->Ptr == nullptr) {
        Misuse("ReleaseSRWLockExclusive of a lock not held");
    }
    lock->Ptr = nullptr;
}

BOOL Sim_CloseHandle(HANDLE object) {
    auto it = M().handles.find(reinterpret_cast<std::uintptr_t>(object));
    if (it == M().handles.end()) {
        Misuse("CloseHandle of a handle that is not open");
        Fail(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    switch (it->second.kind) {
    case HandleKind::Process:
    case HandleKind::Thread:
    case HandleKind::Snapshot:
    case HandleKind::Event:
    case HandleKind::File:
    case HandleKind::Token:
        M().handles.erase(it);
        return TRUE;
    case HandleKind::Job: {
        const bool kill = it->second.killOnClose;
        const std::uintptr_t job = it->first;
        M().handles.erase(it);
        if (kill) {
            EndJob(job, 0);
        }
        return TRUE;
    }
    default:
        Misuse("CloseHandle of a handle that needs its own release");
        Fail(ERROR_INVALID_HANDLE);
        return FALSE;
    }
}

} // namespace nimbrel::sim
