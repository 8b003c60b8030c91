// A small Windows of our own, for the tests.
//
// It implements every operation of the seam over an in-memory machine:
// services with states and scripted transitions, processes, printers and
// their jobs, files and folders, profile (INI) files, an event log, a service
// dispatcher, events and threads, a console, a heap, and a virtual clock.
// Nothing here sleeps on the wall clock: Sleep and waits move the virtual
// clock and run the actions scheduled on it. Threads are real but take
// turns, so a run is as repeatable as one on a single thread.
//
// Every call is recorded with its arguments, every handle and heap block is
// counted until it is released, and any call can be made to fail with a
// chosen error, once or from the Nth call on.
#pragma once

#include "platform/platform.h"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace nimbrel::sim {

enum class Op {
#define NIMBREL_SIM_ENUM(ret, name, ...) name,
    NIMBREL_PLATFORM_OPS(NIMBREL_SIM_ENUM, NIMBREL_SIM_ENUM)
#undef NIMBREL_SIM_ENUM
        Count
};

const char* OpName(Op op);
bool IsInjectable(Op op);
DWORD RealisticError(Op op);

// A fresh machine: the clock at Monday 2026-12-07 10:00:00 UTC (local time
// the same), tick count 1000000, the "Spooler" service running as
// "spoolsv.exe" and starting automatically, no printers, no files but the
// empty spool folder C:\Windows\system32\spool\PRINTERS (the spooler's
// DefaultSpoolDirectory), an empty event log, a console process that the
// service manager did not start.
void Reset();

// ---- Virtual clock ----------------------------------------------------------

constexpr std::uint64_t kNever = ~std::uint64_t{0};

std::uint64_t ElapsedMs(); // monotonic virtual time since Reset
DWORD Tick();
void SetTick(DWORD tick);
std::uint64_t UtcNow(); // 100-ns units since 1601, as a FILETIME counts
void SetUtc(int year, int month, int day, int hour, int minute, int second);
void SetUtcNow(std::uint64_t fileTime);   // to the 100-ns unit, finer than SYSTEMTIME holds
void SetLocalOffsetMinutes(int minutes);  // local time = UTC + offset
void JumpWallClock(std::int64_t seconds); // the clock is set back or forward; ticks go on
void AdvanceMs(std::uint64_t ms);         // runs the actions that fall due on the way
void At(std::uint64_t elapsedMs, std::function<void()> action);
void After(std::uint64_t ms, std::function<void()> action);
void SetTimeLimitMs(std::uint64_t elapsedMs); // a run past it is a hung test: abort
std::size_t PendingActions();                 // actions scheduled and not yet run

std::uint64_t ToFileTime(const SYSTEMTIME& time); // 0 when not a valid date
SYSTEMTIME FromFileTime(std::uint64_t fileTime);
SYSTEMTIME UtcSystemTime(std::int64_t secondsAgo = 0);

// ---- Faults -----------------------------------------------------------------

// Fails the nth call of `op` counted from now (1 is the next one); with
// `persistent`, that call and every later one. error 0 means the realistic
// error of the operation.
void FailCall(Op op, DWORD error = 0, unsigned nth = 1, bool persistent = false);
// Fails the kth injectable call of any operation, counted from now.
void FailNthCall(unsigned k, DWORD error = 0);
void ClearFaults();
unsigned InjectableCalls(); // injectable calls made since Reset or ClearFaults
unsigned FaultsFired();
std::optional<Op> LastFaultOp();
// Whether the last fault failed a call made inside a BenignFailures mark.
bool LastFaultBenign();

// ---- Calls --------------------------------------------------------------------

struct Call {
    Op op;
    std::vector<std::wstring> args;
};
void SetRecording(bool on);
const std::vector<Call>& Calls();
std::vector<Call> CallsOf(Op op);
unsigned CountCalls(Op op);
void ClearCalls();
std::wstring Describe(const Call& call); // "OpenServiceW(h1, Spooler, 4)"

// ---- Handles and heap ---------------------------------------------------------

enum class HandleKind {
    Scm,
    Service,
    Printer,
    Process,
    Thread,
    Snapshot,
    Find,
    EventSource,
    Event,
    RegistryKey,
    File,
    Token,
    Job
};
unsigned OpenHandles();
unsigned OpenHandles(HandleKind kind);
std::wstring DescribeOpenHandles();
unsigned LiveHeapBlocks();
std::uint64_t HeapAllocations(); // blocks allocated since Reset
// Closes of unknown or wrong-kind handles, frees of unknown blocks.
const std::vector<std::string>& Misuses();
void ClearMisuses(); // for tests of the misuse check itself

// ---- Services -----------------------------------------------------------------

struct Service {
    std::wstring name;
    std::wstring displayName;
    std::wstring binaryPath;
    std::wstring description;
    DWORD serviceType = SERVICE_WIN32_OWN_PROCESS;
    DWORD startType = SERVICE_DEMAND_START;
    DWORD errorControl = SERVICE_ERROR_NORMAL;
    bool configuredByCreate = false;
    // What the service manager does when the service fails.
    std::vector<SC_ACTION> failureActions;
    DWORD failureResetSeconds = 0;
    bool failureActionsOnNonCrash = false;
    std::wstring image = L"spoolsv.exe"; // process image started for the service
    // The services it depends on: while it is active, none of them can be
    // stopped (1051), and EnumDependentServicesW lists it for each.
    std::vector<std::wstring> dependencies;

    DWORD state = SERVICE_STOPPED;
    DWORD pid = 0;
    DWORD controlsAccepted = SERVICE_ACCEPT_STOP;

    // Scripted behaviour.
    std::uint64_t startPendingMs = 0; // kNever: stays start-pending
    std::uint64_t stopPendingMs = 0;  // kNever: ignores the stop request
    DWORD stopError = 0;              // a stop request is refused with this error
    DWORD startError = 0;             // a start request is refused with this error
    DWORD pendingStopError = ERROR_SERVICE_CANNOT_ACCEPT_CTRL; // stop asked while pending
    DWORD deniedAccess = 0;                                    // rights refused by OpenServiceW
    bool processTerminable = true;
    bool startFailsToRun = false; // after start-pending it stops instead of running

    unsigned generation = 0; // a state change cancels the transitions scheduled before it
    unsigned stopRequests = 0;
    unsigned startRequests = 0;
    bool deleted = false;
};

Service& AddService(const std::wstring& name);
// A running service of its own process that depends on `dependency`.
Service& AddDependentService(const std::wstring& name, const std::wstring& dependency);
Service* FindService(const std::wstring& name);
Service& Spooler();
void RemoveService(const std::wstring& name);
void SetServiceState(const std::wstring& name, DWORD state); // starts or ends its process
void SetManagerAccessDenied(bool denied);
void SetManagerRightsDenied(
    DWORD rights); // asking for any of them fails with 5, as for a plain user

// ---- Processes ----------------------------------------------------------------

struct Process {
    DWORD pid = 0;
    std::wstring image;
    std::wstring commandLine;
    bool running = true;
    DWORD exitCode = 259; // STILL_ACTIVE
    bool canOpen = true;
    bool canTerminate = true;
    // Opened only by a process whose token has SeDebugPrivilege enabled, as
    // an administrator opens a LocalSystem service's process.
    bool needsDebugPrivilege = false;
    unsigned terminations = 0;
    bool suspended = false; // created suspended and not resumed yet
    std::uintptr_t job = 0; // the job object it belongs to (its handle's value), 0 for none
    DWORD parent = 0;       // the process that started it, 0 for none
};

DWORD AddProcess(const std::wstring& image, bool canTerminate = true, bool canOpen = true);
Process* FindProcess(DWORD pid);
std::vector<Process> Processes();
unsigned RunningProcesses(const std::wstring& image); // image compared without case

// This process's token: whether it holds SeDebugPrivilege, and whether it
// is enabled (AdjustTokenPrivileges enables a privilege only if held).
void SetDebugPrivilege(bool held, bool enabled);
bool DebugPrivilegeEnabled();

// A program that CreateProcessW can start, found by its exact command line.
struct Program {
    DWORD exitCode = 0;
    std::uint64_t runMs = 0; // kNever: runs until terminated
};
void AddProgram(const std::wstring& commandLine, Program program);
// The program `parent` starts the program `child` as soon as it runs, as a
// batch file's "start /b" does: the child is in the parent's job, and
// outlives the parent unless something ends it.
void AddChildProgram(const std::wstring& parent, const std::wstring& child);

struct Launch {
    std::wstring commandLine;
    std::optional<std::wstring> applicationName;
    BOOL inheritHandles = FALSE;
    DWORD creationFlags = 0;
    bool environmentGiven = false;
    bool currentDirectoryGiven = false;
    STARTUPINFOW startup{};
    bool succeeded = false;
    DWORD pid = 0;
};
const std::vector<Launch>& Launches();

// ---- Printers -------------------------------------------------------------------

struct Job {
    DWORD jobId = 0;
    std::optional<std::wstring> document;
    DWORD status = JOB_STATUS_PRINTING;
    SYSTEMTIME submitted{};
    DWORD size = 0; // bytes spooled
    DWORD pagesPrinted = 0;
};

struct Printer {
    std::wstring name;
    DWORD status = 0;
    DWORD attributes = 0;
    // A connection to a queue on another computer: listed with
    // PRINTER_ENUM_CONNECTIONS only (give it PRINTER_ATTRIBUTE_NETWORK too).
    bool connection = false;
    bool canOpen = true;
    std::vector<Job> jobs;
    unsigned opens = 0;
};

Printer& AddPrinter(const std::wstring& name, DWORD status = 0);
Printer* FindPrinter(const std::wstring& name);
// A printer that enumerates without a name, as a broken driver can.
void AddNamelessPrinter(DWORD status = 0);
Job& AddJob(const std::wstring& printer, DWORD jobId, std::optional<std::wstring> document,
            DWORD status, const SYSTEMTIME& submitted);

// The running spooler stops answering, as one whose driver deadlocked it:
// EnumPrintersW, OpenPrinterW and EnumJobsW block their thread until
// ReleaseSpooler, or until that spooler process ends, when they fail with
// RPC_S_CALL_FAILED as the call does when its server dies. The service
// manager still answers for it, and a restarted spooler answers again.
void HangSpooler();
void ReleaseSpooler();
unsigned HeldSpoolerCalls(); // blocked right now

// ---- Files and profiles -----------------------------------------------------------

struct File {
    std::wstring path;
    DWORD attributes = FILE_ATTRIBUTE_ARCHIVE;
    std::wstring text; // contents, for profile files
    // Written byte for byte (SetFileBytes, or a program's writes) rather
    // than as `text`: then `bytes` are the contents.
    bool raw = false;
    std::string bytes;
    DWORD deleteError = 0; // a deletion is refused with this error (a locked file)
    // When set, the name a folder listing reports for the file instead of its
    // own, as a broken or hostile file system might; a name of MAX_PATH
    // characters or more fills cFileName without a terminator.
    std::wstring listedName;
};

void SetModulePath(const std::wstring& path);
void SetSystemDirectory(const std::wstring& path); // "C:\\Windows\\system32" by default
void AddFolder(const std::wstring& path);
void AddFile(const std::wstring& path, DWORD attributes = FILE_ATTRIBUTE_ARCHIVE);
void SetFileText(const std::wstring& path, const std::wstring& text); // creates the file
// The contents as bytes, as an editor saving in some encoding leaves them.
void SetFileBytes(const std::wstring& path, const std::string& bytes); // creates the file
File* FindFile(const std::wstring& path); // files and folders, case-insensitive
bool Exists(const std::wstring& path);
const std::vector<std::wstring>& DeletedFiles();
// The contents of a file as a program reads them: its bytes, or its text as
// UTF-16LE with the byte-order mark. Empty for a missing file.
std::string FileBytes(const std::wstring& path);
// Each MoveFileExW that succeeded: "from -> to, flags".
const std::vector<std::wstring>& Moves();
std::vector<std::wstring> Listing(const std::wstring& folder); // names directly inside

// ---- Registry and environment ----------------------------------------------------------

// Keys are paths below HKEY_LOCAL_MACHINE (L"SOFTWARE\\Policies\\Nimbrel"),
// names and paths compared without regard to case; the value named "" is the
// key's default value. A fresh machine holds the spooler's
// DefaultSpoolDirectory (L"C:\\Windows\\system32\\spool\\PRINTERS", REG_SZ)
// and the environment variables SystemRoot and windir (L"C:\\Windows") and
// SystemDrive (L"C:").
struct RegistryValue {
    DWORD type = REG_NONE;
    std::vector<BYTE> data; // as stored: any size, a text with or without its terminator
};
struct RegistryKey {
    bool denied = false; // opening it fails with ERROR_ACCESS_DENIED
    std::map<std::wstring, RegistryValue> values;
};

void AddRegistryKey(const std::wstring& key); // with every parent key
void SetRegistryValue(const std::wstring& key, const std::wstring& name, DWORD type,
                      std::vector<BYTE> data); // creates the key
// A text of type REG_SZ (or `type`), stored with its terminator unless
// `terminated` is false, as a careless writer can store it.
void SetRegistryText(const std::wstring& key, const std::wstring& name, const std::wstring& text,
                     DWORD type = REG_SZ, bool terminated = true);
void SetRegistryNumber(const std::wstring& key, const std::wstring& name, DWORD value);
void RemoveRegistryValue(const std::wstring& key, const std::wstring& name);
void RemoveRegistryKey(const std::wstring& key); // with its subkeys
void SetRegistryKeyDenied(const std::wstring& key, bool denied);

// Sets a variable of the process's environment; an empty value removes it.
void SetEnvironmentValue(const std::wstring& name, const std::wstring& value);

// ---- Event log ----------------------------------------------------------------------

struct Event {
    std::wstring source;
    WORD type = 0;
    WORD category = 0;
    DWORD eventId = 0;
    bool userGiven = false;
    DWORD dataSize = 0;
    bool dataGiven = false;
    std::vector<std::wstring> strings;
    std::uint64_t elapsedMs = 0; // virtual time (ElapsedMs) when it was written
    std::uint64_t utc = 0;       // the wall clock (UtcNow) when it was written
};
const std::vector<Event>& Events();
void SetEventLogAvailable(bool available);

// ---- Service host ---------------------------------------------------------------------

void SetStartedByServiceManager(bool started);
const std::vector<SERVICE_STATUS>& StatusReports();
const std::vector<std::uint64_t>& StatusReportTimes(); // virtual time (ElapsedMs) of each
std::wstring DispatchedServiceName();
std::wstring HandlerServiceName();
bool HandlerRegistered();
void SendControl(DWORD control);            // to the registered handler, on the calling thread
const std::vector<DWORD>& ControlResults(); // the handler's answers, in order

// ---- Threads and events ---------------------------------------------------------------

// Each thread is a real one, but only one runs at a time: a thread runs
// until it blocks (a wait, a sleep, a held call) or ends; then the first
// thread whose wait is over runs, in order of creation, and when none can,
// the clock moves on. Reset ends the threads that are left, from where they
// are blocked.
unsigned ThreadsCreated();
// Status-change notifications armed and not yet triggered, and those triggered
// whose callbacks wait for an alertable wait of their thread.
unsigned ArmedNotifications();
unsigned QueuedNotifications();
unsigned LiveThreads(); // created and not ended
bool EventSignalled(HANDLE event);
// Called at the start of every WaitForSingleObject with its arguments (null:
// none), so a long test can look at the machine at a chosen wait.
void SetWaitObserver(std::function<void(HANDLE object, DWORD milliseconds)> observer);

// ---- Long runs ------------------------------------------------------------------------

// Forgets what the machine recorded of its past (calls, events, status
// reports, launches, deleted files, processes that ended and have no open
// handle), so that a run over simulated months keeps its memory flat.
void ForgetHistory();

// ---- Console ----------------------------------------------------------------------------

void SetConsoleAttached(bool attached); // else standard output is redirected
std::string StdoutBytes();              // what was written to a redirected output
std::wstring ConsoleText();             // what was written to a console
void SetStdoutBroken(bool broken);      // writes fail, as into a closed pipe

} // namespace nimbrel::sim
