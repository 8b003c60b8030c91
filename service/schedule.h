// The daily scheduled restart.
#pragma once

#include "platform/platform.h"

namespace nimbrel {

// Date of the last daily restart as year * 10000 + month * 100 + day (local
// calendar); 0 when none has run in this process. It only moves forward: a
// date up to it has had its restart, also when the clock is set back to it.
extern DWORD g_LastScheduledRestartDate;

// Reads RestartTime as "%d:%d" would: blanks before each number skipped, an
// optional sign, digits, and the colon straight after the hour's digits.
// Stores what it converted and returns how many: 2, 1 (the hour only), 0 (no
// number at the start) or -1 (nothing but blanks). Numbers beyond the 32-bit
// range saturate.
int ParseRestartTime(const WCHAR* text, std::int32_t* hour, std::int32_t* minute);

// Runs the daily restart when it is due; returns true when it ran.
bool CheckSchedule();

} // namespace nimbrel
