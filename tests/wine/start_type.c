/* start_type.exe NAME demand|disabled, since Wine's "sc config start=" changes
 * nothing. Exits with 0 or the Windows error. */
#include <windows.h>

int wmain(int argc, wchar_t **argv)
{
    SC_HANDLE manager, service;
    DWORD type, error = ERROR_SUCCESS;

    if (argc != 3)
        return ERROR_INVALID_PARAMETER;
    if (!lstrcmpiW(argv[2], L"demand"))
        type = SERVICE_DEMAND_START;
    else if (!lstrcmpiW(argv[2], L"disabled"))
        type = SERVICE_DISABLED;
    else
        return ERROR_INVALID_PARAMETER;
    manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    if (!manager)
        return (int)GetLastError();
    service = OpenServiceW(manager, argv[1], SERVICE_CHANGE_CONFIG);
    if (!service || !ChangeServiceConfigW(service, SERVICE_NO_CHANGE, type, SERVICE_NO_CHANGE,
                                          NULL, NULL, NULL, NULL, NULL, NULL, NULL))
        error = GetLastError();
    if (service)
        CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return (int)error;
}
