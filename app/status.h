// The "status" command: a one-shot report on the Print Spooler's health.
#pragma once

#include "platform/platform.h"

namespace nimbrel {

// Returns 1 when the spooler's state cannot be queried, 0 otherwise.
int RunStatusCommand();

// The same report as one line of JSON for scripts and management agents,
// with every setting in effect and its source; the same exit codes.
int RunStatusJsonCommand();

// "Running", "Stopped"... as the report names a service state.
const WCHAR* SpoolerStateName(DWORD state);

// The program's version, "major.minor.patch".
extern const WCHAR kNimbrelVersion[];

} // namespace nimbrel
