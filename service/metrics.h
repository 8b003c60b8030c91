// The service's figures in the Prometheus text format, for the monitoring
// an administrator already runs: windows_exporter's textfile collector, the
// Zabbix agent and Telegraf read such a file. Written after every monitor
// cycle to the file MetricsFile names, replaced whole so that a reader never
// sees half of it.
#pragma once

#include "platform/platform.h"

namespace nimbrel {

constexpr int kVerdictUnknown = -1;

// What the figures are made of; touched by the monitor thread alone.
// Counters count from the service's start.
struct MetricsRecord {
    std::uint64_t cycles;
    std::uint64_t recoveries[2][2]; // [scheduled][completed]
    std::uint64_t refused;          // cycles the hourly limit refused a recovery
    std::int64_t lastRecoveryTime;  // seconds since 1970 UTC; 0 before the first
    DWORD lastCycleMs;
    int healthy;   // the last verdict; kVerdictUnknown before the first
    int checks[3]; // service state, print queue, plugin: the last each gave
    int writeFailureWarned;
    DWORD writeFailureTick;
};

extern MetricsRecord g_Metrics;

void CountRecovery(bool scheduled, bool completed);

// Takes the verdicts of the cycle's EvaluateHealth, when it ran one.
void CountVerdict(bool healthy);

// Counts a finished cycle of `workMs` and writes the file when MetricsFile
// names one. A file that cannot be written changes nothing else; it is said
// in the event log at most once an hour. Returns true when the file was
// written.
bool WriteMetrics(DWORD workMs);

} // namespace nimbrel
