// The health checks and the verdict that combines them.
//
// Each check returns true for healthy and false for unhealthy; an unhealthy
// check describes the problem in LastIssue. The checks run on one thread at
// a time (the monitor thread, or the main thread of "status"), so their
// shared state needs no lock; the print queue check's worker shares only
// its own record, and only across the thread's start and end.
#pragma once

#include "platform/platform.h"
#include "text/text.h"

namespace nimbrel {

constexpr std::size_t kLastIssueCapacity = 256;

// The description of the health problem found last; empty when none.
extern WCHAR g_LastIssue[kLastIssueCapacity];

// How a check reports itself unhealthy: it describes the problem in `issue`
// (LastIssue, or the private copy of a check run on a worker) and returns
// false.
// The text is formatted to the issue's size, so a long printer or document
// name is cut rather than overrunning anything; a text that cannot be
// formatted leaves the description as it was.
template <typename... Args>
bool UnhealthyInto(WCHAR (&issue)[kLastIssueCapacity], const WCHAR* format, Args... args) {
    WCHAR text[kLastIssueCapacity];
    FormatBounded(text, kLastIssueCapacity, format, args...);
    if (text[0] != 0) {
        CopyText(issue, kLastIssueCapacity, text);
    }
    return false;
}

template <typename... Args>
bool Unhealthy(const WCHAR* format, Args... args) {
    return UnhealthyInto(g_LastIssue, format, args...);
}

// The pending state being watched and the tick of its first sighting.
struct PendingWatchRecord {
    DWORD state;
    DWORD since;
};
extern PendingWatchRecord g_PendingWatch;

// Tick count of the last plugin launch; 0 when none has happened yet.
extern DWORD g_LastPluginRunTick;

bool CheckServiceState();
bool CheckPlugin();

// Asks the spooler about its printers and jobs on a worker thread, and waits
// for the answer up to QueueCheckTimeoutMs: a spooler that never answers
// holds the worker, not the caller. Only silence is unhealthy besides the
// queue rules; every other failure counts as healthy.
bool CheckPrintQueues();

// The worker that has not answered yet, while it is out, and the tick of its
// start; null otherwise. A later check gives it the rest of its deadline,
// lets it go once it has ended, and starts no other meanwhile.
extern HANDLE g_QueueWorker;
extern DWORD g_QueueWorkerSince;

// The running service's memory of the jobs it has seen spooling or
// printing, kept by the print queue check's worker. With it a job counts as
// stuck only once it has also shown no progress (pages printed, size, its
// spooling and printing bits) for StuckJobTimeoutMs. "status" looks once and
// keeps none. A fixed number of jobs is watched; a job beyond it is not,
// and is never found stuck.
constexpr std::size_t kWatchedJobsCapacity = 1024;
extern bool g_WatchJobProgress; // set by the monitor before its first check

// Notes what the jobs of one printer show at tick `now`, and forgets its jobs
// that are gone or no longer spooling or printing.
void WatchJobs(const WCHAR* printerName, const JOB_INFO_2W* jobs, DWORD count, DWORD now);
// True when the job has been watched without progress for longer than
// `limitMs` at tick `now`.
bool StalledFor(const WCHAR* printerName, const JOB_INFO_2W& job, DWORD now, DWORD limitMs);
unsigned WatchedJobs();
void ForgetWatchedJobs(); // a fresh process's memory

// Closes the handle of a worker still out, for a caller that is ending; the
// worker itself ends when its call returns, or with the process.
void ReleaseQueueWorker();

// Empties LastIssue, then runs the service-state, print-queue and plugin
// checks in that order, stopping at the first that fails. Returns true when
// all passed.
bool EvaluateHealth();

// What each check of the last EvaluateHealth gave (service state, print
// queue, plugin): 1 healthy, 0 not, -1 not run because an earlier one failed.
extern int g_LastCheckVerdicts[3];

} // namespace nimbrel
