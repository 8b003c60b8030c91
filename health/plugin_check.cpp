#include "health/health.h"

#include "config/settings.h"
#include "spooler/spooler_control.h" // StopEvent
#include "text/text.h"

namespace nimbrel {

DWORD LastPluginRunTick = 0;

namespace {

constexpr std::size_t kCommandLineCapacity = 780;

int Unhealthy(const WCHAR* issue) {
    CopyText(LastIssue, kLastIssueCapacity, issue);
    return 0;
}

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
    const int full = FormatBounded(path, MAX_PATH, L"%s\\cmd.exe", folder);
    return full > 0 && full < static_cast<int>(MAX_PATH);
}

// Runs the plugin hidden, without a console and without any of our handles,
// and waits for it at most PluginTimeoutMs. Both handles of the launched
// process are closed before this returns, on every path.
int RunPlugin() {
    WCHAR commandLine[kCommandLineCapacity];
    WCHAR interpreter[MAX_PATH];
    const bool batch = IsBatchFile(Settings.PluginPath);
    if (batch && !GetCommandInterpreter(interpreter)) {
        return Unhealthy(L"Failed to launch plugin health check");
    }
    // cmd.exe /c strips the outer pair of quotes and keeps the inner pair,
    // which keeps a path with blanks in one piece.
    const WCHAR* format = batch ? L"cmd.exe /c \"\"%s\"\"" : L"\"%s\"";
    FormatBounded(commandLine, kCommandLineCapacity, format, Settings.PluginPath);

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(batch ? interpreter : nullptr, commandLine, nullptr, nullptr, FALSE,
                        CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process)) {
        return Unhealthy(L"Failed to launch plugin health check");
    }
    CloseHandle(process.hThread);

    // In the service, a stop request ends the wait too: the plugin is ended
    // and the cycle passes without a verdict of its own.
    const HANDLE waitFor[] = {process.hProcess, StopEvent};
    const DWORD ended = WaitForMultipleObjects(StopEvent != nullptr ? 2 : 1, waitFor, FALSE,
                                               Settings.PluginTimeoutMs);
    if (ended != WAIT_OBJECT_0) {
        // A plugin that hangs must not keep the next check from running.
        TerminateProcess(process.hProcess, 1);
        CloseHandle(process.hProcess);
        return ended == WAIT_OBJECT_0 + 1 ? 1 : Unhealthy(L"Plugin health check timed out");
    }
    DWORD exitCode = 1;
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hProcess);
    if (exitCode == 0) {
        return 1;
    }
    WCHAR issue[kLastIssueCapacity];
    FormatBounded(issue, kLastIssueCapacity, L"Plugin health check failed (exit code %u)",
                  exitCode);
    if (issue[0] != 0) {
        CopyText(LastIssue, kLastIssueCapacity, issue);
    }
    return 0;
}

} // namespace

int CheckPlugin() {
    if (!Settings.EnablePluginCheck || Settings.PluginPath[0] == 0) {
        return 1;
    }
    // The interval runs from launch to launch; between runs the check passes
    // without remembering what the last run found.
    const DWORD now = GetTickCount();
    if (LastPluginRunTick != 0 &&
        static_cast<DWORD>(now - LastPluginRunTick) < Settings.PluginIntervalMs) {
        return 1;
    }
    // A missing file is looked for again at the next call, without waiting
    // for the interval: no launch has been attempted.
    if (GetFileAttributesW(Settings.PluginPath) == INVALID_FILE_ATTRIBUTES) {
        return Unhealthy(L"Plugin health check file not found");
    }
    LastPluginRunTick = now;
    return RunPlugin();
}

} // namespace nimbrel
