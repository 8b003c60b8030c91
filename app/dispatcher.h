// The process entry's choice between the console commands and service mode.
#pragma once

#include "platform/platform.h"

namespace nimbrel {

// Runs the command named by the first argument ("install", "uninstall",
// "recover", "status", in any ASCII letter case) or, for anything else or
// nothing, service mode. Returns the process exit code, 0 or 1.
int Dispatch(int argc, WCHAR** argv);

// Connects to the service control dispatcher and runs the service "Nimbrel"
// until it has stopped. Returns 0, or prints the failure and returns 1 when
// the process was not started by the service manager.
int RunServiceMode();

} // namespace nimbrel
