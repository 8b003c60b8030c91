// The daily scheduled restart.
#pragma once

#include "platform/platform.h"

namespace nimbrel {

// Date of the last daily restart as year * 10000 + month * 100 + day (local
// calendar); 0 when none has run in this process.
extern DWORD LastScheduledRestartDate;

// Runs the daily restart when it is due; returns non-zero when it ran.
int CheckSchedule();

} // namespace nimbrel
