// The one repair Nimbrel knows: stop the spooler, empty its folder, start it.
#pragma once

#include "platform/platform.h"

namespace nimbrel {

// Whether a recovery empties the spool folder, and whether it is entered in
// the restart history that the hourly limit counts.
enum class SpoolFiles { Keep, Clear };
enum class Counting { Uncounted, Counted };

// The spool files as one of the clear-spool switches of Nimbrel.ini asks.
inline SpoolFiles SpoolFilesBySwitch(DWORD clearSwitch) {
    return clearSwitch != 0 ? SpoolFiles::Clear : SpoolFiles::Keep;
}

// Stops the Print Spooler (its running dependents first, forcing it if need
// be), deletes the spool files ("*.SPL", "*.SHD") directly inside the spool
// folder in effect when asked to (none when no folder is known), starts it
// and waits until it runs, then starts the dependents it stopped; each step
// is written to the event log. A counted recovery, whatever its outcome, is
// entered in the restart history. Returns true when the spooler was stopped
// and then seen running again.
bool RunRecovery(const WCHAR* reason, SpoolFiles spoolFiles, Counting counting);

} // namespace nimbrel
