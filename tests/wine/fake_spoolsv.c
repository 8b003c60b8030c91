/* A misbehaving "Spooler" service; "mode.ini" beside it ([fake] mode=...) says how:
 *   normal         runs, and stops when asked
 *   paused-once    paused (stopping when asked) the first time only ("paused.done")
 *   start-pending  stays start-pending, accepting no control
 *   stop-pending   goes from start-pending straight to stop-pending, and stays
 *   ignore-stop    runs beside a sleeping "child" of its image; a stop request
 *                  gets stop-pending only */
#include <windows.h>
#include <string.h>

static SERVICE_STATUS_HANDLE status_handle;
static SERVICE_STATUS status;
static HANDLE stop_event;
static char mode[32];

static void report(DWORD state, DWORD accepted)
{
    BOOL pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = accepted;
    status.dwCheckPoint = pending ? status.dwCheckPoint + 1 : 0;
    status.dwWaitHint = pending ? 600000 : 0;
    SetServiceStatus(status_handle, &status);
}

static BOOL first_time(void)
{
    HANDLE file = CreateFileA("paused.done", GENERIC_WRITE, 0, NULL, CREATE_NEW, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return FALSE;
    CloseHandle(file);
    return TRUE;
}

static void start_child(void)
{
    char command[MAX_PATH + 16];
    STARTUPINFOA startup;
    PROCESS_INFORMATION process;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    command[0] = '"';
    GetModuleFileNameA(NULL, command + 1, MAX_PATH);
    lstrcatA(command, "\" child");
    if (CreateProcessA(NULL, command, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process))
    {
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
}

static void WINAPI handler(DWORD control)
{
    if (control != SERVICE_CONTROL_STOP)
        return;
    if (!strcmp(mode, "ignore-stop"))
        report(SERVICE_STOP_PENDING, 0); /* and nothing more */
    else
        SetEvent(stop_event);
}

static void WINAPI service_main(DWORD argc, char **argv)
{
    (void)argc;
    (void)argv;
    status_handle = RegisterServiceCtrlHandlerA("Spooler", handler);
    if (!status_handle)
        return;
    stop_event = CreateEventA(NULL, TRUE, FALSE, NULL);
    GetPrivateProfileStringA("fake", "mode", "normal", mode, sizeof mode, ".\\mode.ini");
    report(SERVICE_START_PENDING, 0);
    if (!strcmp(mode, "start-pending"))
        Sleep(INFINITE);
    if (!strcmp(mode, "stop-pending"))
    {
        report(SERVICE_STOP_PENDING, 0);
        Sleep(INFINITE);
    }
    if (!strcmp(mode, "ignore-stop"))
        start_child();
    if (!strcmp(mode, "paused-once") && first_time())
        report(SERVICE_PAUSED, SERVICE_ACCEPT_STOP);
    else
        report(SERVICE_RUNNING, SERVICE_ACCEPT_STOP);
    WaitForSingleObject(stop_event, INFINITE);
    report(SERVICE_STOPPED, 0);
}

int main(int argc, char **argv)
{
    static SERVICE_TABLE_ENTRYA table[] = {{(char *)"Spooler", service_main}, {NULL, NULL}};
    char folder[MAX_PATH], *slash;
    if (argc > 1 && !strcmp(argv[1], "child"))
        Sleep(INFINITE);
    GetModuleFileNameA(NULL, folder, MAX_PATH);
    slash = strrchr(folder, '\\');
    if (slash)
        slash[1] = 0;
    SetCurrentDirectoryA(folder); /* where mode.ini and paused.done are */
    return StartServiceCtrlDispatcherA(table) ? 0 : 1;
}
