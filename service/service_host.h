// Service mode: the process handed to the Service Control Manager.
#pragma once

#include "platform/platform.h"

namespace nimbrel {

// Connects to the service control dispatcher and runs the service "Nimbrel"
// until it has stopped. Returns 0, or prints the failure and returns 1 when
// the process was not started by the service manager.
int RunServiceMode();

} // namespace nimbrel
