#include "health/health.h"

#include "config/settings.h"
#include "platform/benign.h"
#include "platform/owned.h"
#include "spooler/spooler_control.h" // StopEvent
#include "text/text.h"

namespace nimbrel {

DWORD g_LastPluginRunTick = 0;

namespace {

constexpr std::size_t kCommandLineCapacity = 780;

// A batch file is no program: it runs through the command interpreter. The
// extension is what follows the last dot of the whole path, so a dot in a
// folder name leaves an extension-less file to be started directly.
bool IsBatchFile(const WCHAR* path) {
    const WCHAR* lastDot = nullptr;
    for (const WCHAR* c = path; *c != 0; ++c) {
        if (*c == L'.') {
            lastDot = c;
        }
    }
    return lastDot != nullptr &&
           (EqualsIgnoreAsciiCase(lastDot, L".bat") || EqualsIgnoreAsciiCase(lastDot, L".cmd"));
}

// The command interpreter in the system folder, by its full path. Left to the
// search path, "cmd.exe" would first be looked for in Nimbrel's own folder
// and then in the current folder, where a planted cmd.exe would run with
// Nimbrel's rights (LocalSystem, in the service).
bool GetCommandInterpreter(WCHAR (&path)[MAX_PATH]) {
    WCHAR folder[MAX_PATH];
    const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return false;
    }
    return FormatWhole(path, MAX_PATH, L"%s\\cmd.exe", folder);
}

// A job that ends every process in it when its handle is closed: what the
// plugin starts (a batch file's script engine, anything "start" left behind)
// ends with the plugin. Null when none can be had; the plugin then runs
// alone, and only its own process can be ended.
HANDLE CreatePluginJob() {
    const BenignFailures benign;
    ObjectHandle job(CreateJobObjectW(nullptr, nullptr));
    if (!job) {
        return nullptr;
    }
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                                 sizeof limits)) {
        return nullptr;
    }
    return job.release();
}

// A process that cannot be put in the job runs without it.
bool AssignToJob(HANDLE job, HANDLE process) {
    const BenignFailures benign;
    return AssignProcessToJobObject(job, process) != FALSE;
}

// Ends the job's processes; false when there is no job or it cannot be
// ended, and then the plugin's own process is ended (what it started ends
// when the job is closed).
bool EndJob(HANDLE job) {
    const BenignFailures benign;
    return job != nullptr && TerminateJobObject(job, 1) != FALSE;
}

// Starts the plugin hidden, without a console and without any of our
// handles. It is created suspended and put in `job` before it can start
// anything; a process that cannot be put there (Windows 7 nests no jobs)
// runs without one, and `job` is closed. Returns the plugin's process, for
// the caller to close; null, with nothing of the plugin left running or
// open, when it cannot be started.
HANDLE LaunchPlugin(const WCHAR* application, WCHAR* commandLine, ObjectHandle& job) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION launched = {};
    if (!CreateProcessW(application, commandLine, nullptr, nullptr, FALSE,
                        CREATE_NO_WINDOW | CREATE_SUSPENDED, nullptr, nullptr, &startup,
                        &launched)) {
        return nullptr;
    }
    ObjectHandle process(launched.hProcess);
    const ObjectHandle thread(launched.hThread);
    if (job && !AssignToJob(job.get(), process.get())) {
        job.reset();
    }
    if (ResumeThread(thread.get()) == static_cast<DWORD>(-1)) {
        TerminateProcess(process.get(), 1);
        return nullptr;
    }
    return process.release();
}

// Ends the plugin's process and, with its job, whatever it started.
void EndPlugin(HANDLE job, HANDLE process) {
    if (!EndJob(job)) {
        TerminateProcess(process, 1);
    }
}

// Runs the plugin and waits for it at most PluginTimeoutMs. Closing the job
// on the way out ends anything the plugin left running.
bool RunPlugin() {
    WCHAR commandLine[kCommandLineCapacity];
    WCHAR interpreter[MAX_PATH];
    const bool batch = IsBatchFile(g_Settings.PluginPath);
    if (batch && !GetCommandInterpreter(interpreter)) {
        return Unhealthy(L"Failed to launch plugin health check");
    }
    // cmd.exe /c strips the outer pair of quotes and keeps the inner pair,
    // which keeps a path with blanks in one piece.
    const WCHAR* format = batch ? L"cmd.exe /c \"\"%s\"\"" : L"\"%s\"";
    FormatBounded(commandLine, kCommandLineCapacity, format, g_Settings.PluginPath);

    ObjectHandle job(CreatePluginJob());
    const ObjectHandle process(LaunchPlugin(batch ? interpreter : nullptr, commandLine, job));
    if (!process) {
        return Unhealthy(L"Failed to launch plugin health check");
    }

    // In the service, a stop request ends the wait too: the plugin is ended
    // and the cycle passes without a verdict of its own.
    const HANDLE waitFor[] = {process.get(), g_StopEvent};
    const DWORD ended = WaitForMultipleObjects(g_StopEvent != nullptr ? 2 : 1, waitFor, FALSE,
                                               g_Settings.PluginTimeoutMs);
    if (ended != WAIT_OBJECT_0) {
        // A plugin that hangs must not keep the next check from running.
        EndPlugin(job.get(), process.get());
        return ended == WAIT_OBJECT_0 + 1 ? true : Unhealthy(L"Plugin health check timed out");
    }
    DWORD exitCode = 1;
    GetExitCodeProcess(process.get(), &exitCode);
    if (exitCode == 0) {
        return true;
    }
    return Unhealthy(L"Plugin health check failed (exit code %u)", exitCode);
}

} // namespace

bool CheckPlugin() {
    if (!g_Settings.EnablePluginCheck || g_Settings.PluginPath[0] == 0) {
        return true;
    }
    // The interval runs from launch to launch; between runs the check passes
    // without remembering what the last run found.
    const DWORD now = GetTickCount();
    if (g_LastPluginRunTick != 0 &&
        static_cast<DWORD>(now - g_LastPluginRunTick) < g_Settings.PluginIntervalMs) {
        return true;
    }
    // A missing file is looked for again at the next call, without waiting
    // for the interval: no launch has been attempted.
    if (GetFileAttributesW(g_Settings.PluginPath) == INVALID_FILE_ATTRIBUTES) {
        return Unhealthy(L"Plugin health check file not found");
    }
    g_LastPluginRunTick = now;
    return RunPlugin();
}

} // namespace nimbrel
