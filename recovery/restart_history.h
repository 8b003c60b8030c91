// The hourly limit on automatic recoveries: when they completed, in memory only.
#pragma once

#include "platform/platform.h"

namespace nimbrel {

constexpr DWORD kRestartHistoryCapacity = 32;

// Completion times (seconds since 1970 UTC) in recording order, oldest first.
struct RestartHistoryRecord {
    DWORD count;
    std::int64_t entries[kRestartHistoryCapacity];
};
extern RestartHistoryRecord g_RestartHistory;

// Appends the current time; when full, drops the oldest entry.
void RecordRestart();

// The number of entries no older than 3600 seconds (and those in the future).
DWORD CountRecentRestarts();

} // namespace nimbrel
