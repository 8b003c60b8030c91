// Service mode: the process handed to the Service Control Manager.
#pragma once

#include "platform/platform.h"
#include "spooler/spooler_control.h" // StopEvent

namespace nimbrel {

// The one status record reported to the service manager.
extern SERVICE_STATUS g_ServiceStatus;

// The checkpoint the next pending report carries: 1 at process start, one
// more after each pending report, never reset.
extern DWORD g_CheckPointCounter;

// "Nimbrel", as the service manager knows the service.
extern WCHAR g_ServiceName[];

void ServiceMain(DWORD argc, LPWSTR* argv);
// Stop, pre-shutdown and shutdown end the service; interrogate is answered
// with the last report; any other control is not implemented.
DWORD ServiceControlHandler(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context);

} // namespace nimbrel
