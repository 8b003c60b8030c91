// The "recover" command: one recovery at once, from the console.
#pragma once

namespace nimbrel {

// Returns 0 when the spooler was repaired, 1 when it is disabled or the
// recovery failed.
int RunRecoverCommand();

} // namespace nimbrel
