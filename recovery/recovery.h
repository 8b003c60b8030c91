// The one repair Nimbrel knows: stop the spooler, empty its folder, start it.
#pragma once

#include "platform/platform.h"

namespace nimbrel {

// Stops the Print Spooler (its running dependents first, forcing it if need
// be), deletes the spool files ("*.SPL", "*.SHD") directly inside the spool
// folder in effect when `clearSpool` is non-zero (none when no folder is
// known), starts it and waits until it runs, then starts the dependents it
// stopped; each step is written to the event log. With `record` non-zero
// the recovery, whatever its outcome, is entered in the restart history.
// Returns 1 when the spooler was stopped and then seen running again.
int RunRecovery(const WCHAR* reason, int clearSpool, int record);

} // namespace nimbrel
