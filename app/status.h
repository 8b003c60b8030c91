// The "status" command: a one-shot report on the Print Spooler's health.
#pragma once

namespace nimbrel {

// Returns 1 when the spooler's state cannot be queried, 0 otherwise.
int RunStatusCommand();

} // namespace nimbrel
