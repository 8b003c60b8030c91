#include "recovery/restart_history.h"

namespace nimbrel {

RestartHistoryRecord g_RestartHistory = {};

namespace {

constexpr std::int64_t kRateWindowSeconds = 3600;

} // namespace

void RecordRestart() {
    const std::int64_t now = _time64(nullptr);
    if (g_RestartHistory.count < kRestartHistoryCapacity) {
        g_RestartHistory.entries[g_RestartHistory.count++] = now;
        return;
    }
    // Full: drop the oldest and keep the recording order.
    for (DWORD i = 1; i < kRestartHistoryCapacity; ++i) {
        g_RestartHistory.entries[i - 1] = g_RestartHistory.entries[i];
    }
    g_RestartHistory.entries[kRestartHistoryCapacity - 1] = now;
}

// An entry exactly an hour old still counts. One in the future (the clock
// was set back) counts too, until the clock has passed it by an hour, so
// setting the clock back never releases the limit early.
DWORD CountRecentRestarts() {
    const std::int64_t threshold = _time64(nullptr) - kRateWindowSeconds;
    DWORD recent = 0;
    const DWORD count = g_RestartHistory.count < kRestartHistoryCapacity ? g_RestartHistory.count
                                                                         : kRestartHistoryCapacity;
    for (DWORD i = 0; i < count; ++i) {
        if (g_RestartHistory.entries[i] >= threshold) {
            ++recent;
        }
    }
    return recent;
}

} // namespace nimbrel
