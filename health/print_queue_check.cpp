#include "health/health.h"

#include "config/settings.h"
#include "platform/owned.h"
#include "service/service_host.h"
#include "text/text.h"

namespace nimbrel {

HANDLE g_QueueWorker = nullptr;
DWORD g_QueueWorkerSince = 0;

namespace {

constexpr DWORD kAllJobs = 0xFFFFFFFFu;
constexpr DWORD kActiveJob = JOB_STATUS_SPOOLING | JOB_STATUS_PRINTING;
constexpr std::uint64_t kFileTimeUnitsPerMs = 10000;

std::uint64_t Instant(const FILETIME& time) {
    return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// What the worker found, for its caller to take once the worker has ended.
// The two sides never touch it at once: the caller fills it in before it
// starts a worker, and reads it only after that worker has ended; a worker
// given up on is never read from, and no other starts while it is out.
struct QueueLook {
    bool verdict;
    WCHAR issue[kLastIssueCapacity];
};
QueueLook g_Look = {true, L""};

// Only a job the spooler is actively spooling or printing can be stuck; a
// paused, failed or waiting job stays in the queue by someone's choice.
// A Submitted that cannot be converted counts as the oldest instant there is.
bool IsStuck(const JOB_INFO_2W& job, std::uint64_t now, std::uint64_t limit) {
    if ((job.Status & kActiveJob) == 0) {
        return false;
    }
    FILETIME submitted = {0, 0};
    SystemTimeToFileTime(&job.Submitted, &submitted);
    const std::uint64_t since = Instant(submitted);
    // A job stamped in the future (the clock was set back) is not stuck.
    if (now <= since) {
        return false;
    }
    return now - since > limit;
}

bool JudgeJobs(const WCHAR* printerName, const JOB_INFO_2W* jobs, DWORD count) {
    // The service watches every look, whatever the verdict; the watch's own
    // clock is the tick count, which the wall clock's changes do not move.
    const DWORD tick = GetTickCount();
    if (g_WatchJobProgress) {
        WatchJobs(printerName, jobs, count, tick);
    }
    if (g_Settings.MaxQueueJobs != 0 && count > g_Settings.MaxQueueJobs) {
        return UnhealthyInto(g_Look.issue, L"Printer '%s' queue depth %u exceeds limit %u",
                             printerName, count, g_Settings.MaxQueueJobs);
    }
    // Both instants are UTC, so neither the time zone nor daylight saving
    // time changes a job's age.
    FILETIME nowTime = {0, 0};
    GetSystemTimeAsFileTime(&nowTime);
    const std::uint64_t now = Instant(nowTime);
    const std::uint64_t limit =
        static_cast<std::uint64_t>(g_Settings.StuckJobTimeoutMs) * kFileTimeUnitsPerMs;
    for (DWORD i = 0; i < count; ++i) {
        // In the service an old job that still makes progress is printing a
        // long document, not stuck.
        if (IsStuck(jobs[i], now, limit) &&
            (!g_WatchJobProgress ||
             StalledFor(printerName, jobs[i], tick, g_Settings.StuckJobTimeoutMs))) {
            const WCHAR* document = jobs[i].pDocument ? jobs[i].pDocument : L"(unknown)";
            return UnhealthyInto(g_Look.issue, L"Stuck print job on '%s' (job %u, document: %s)",
                                 printerName, jobs[i].JobId, document);
        }
    }
    return true;
}

// Enumerates as the spooler wants it: a sizing call, a block of exactly the
// size it reports, and a fetch into that block. `enumerate(block, size,
// &needed, &returned)` makes the platform call; `judge(records, count)`
// judges what came. Healthy, without a judgement, when the size is 0, the
// block cannot be had or the fetch fails (a list that grew since the sizing
// call among them), which the check does not retry.
template <typename Record, typename Enumerate, typename Judge>
bool JudgeEnumeration(Enumerate enumerate, Judge judge) {
    DWORD needed = 0;
    DWORD returned = 0;
    enumerate(nullptr, 0, &needed, &returned);
    if (needed == 0) {
        return true;
    }
    const HeapBlock<BYTE> block(needed);
    if (!block) {
        return true;
    }
    const DWORD size = needed;
    needed = 0;
    returned = 0;
    if (!enumerate(block.get(), size, &needed, &returned)) {
        return true;
    }
    return judge(reinterpret_cast<const Record*>(block.get()), returned);
}

bool CheckOpenPrinter(HANDLE printer, const WCHAR* printerName) {
    return JudgeEnumeration<JOB_INFO_2W>(
        [printer](LPBYTE buffer, DWORD size, LPDWORD needed, LPDWORD returned) {
            return EnumJobsW(printer, 0, kAllJobs, 2, buffer, size, needed, returned);
        },
        [printerName](const JOB_INFO_2W* jobs, DWORD count) {
            return JudgeJobs(printerName, jobs, count);
        });
}

// Fails open: whatever keeps the check from reading a queue counts as
// healthy, so that only a queue seen to be too deep or stuck can trigger a
// recovery.
bool CheckPrinterQueue(const WCHAR* printerName) {
    HANDLE opened = nullptr;
    // OpenPrinterW takes a writable name but only reads it.
    if (!OpenPrinterW(const_cast<LPWSTR>(printerName), &opened, nullptr)) {
        return true;
    }
    const PrinterHandle printer(opened);
    return CheckOpenPrinter(printer.get(), printerName);
}

// A queue on another computer is that computer's spooler's business: its
// troubles cannot be mended by restarting this one. Asked for local printers
// only, the spooler should list none, but a connection says what it is.
bool OnAnotherComputer(const PRINTER_INFO_2W& printer) {
    return (printer.Attributes & PRINTER_ATTRIBUTE_NETWORK) != 0 &&
           (printer.Attributes & PRINTER_ATTRIBUTE_LOCAL) == 0;
}

bool CheckEnumeratedPrinters(const PRINTER_INFO_2W* printers, DWORD count) {
    bool verdict = true;
    for (DWORD i = 0; i < count && verdict; ++i) {
        if (printers[i].pPrinterName == nullptr || (printers[i].Status & PRINTER_STATUS_OFFLINE) ||
            OnAnotherComputer(printers[i])) {
            continue;
        }
        verdict = CheckPrinterQueue(printers[i].pPrinterName);
    }
    return verdict;
}

bool CheckEveryPrinter() {
    return JudgeEnumeration<PRINTER_INFO_2W>(
        [](LPBYTE buffer, DWORD size, LPDWORD needed, LPDWORD returned) {
            // Connections left out: listing them at this level contacts each
            // print server, and one that is down holds the check for as long
            // as its network time-out.
            return EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 2, buffer, size, needed, returned);
        },
        CheckEnumeratedPrinters);
}

// The worker: every question to the spooler is asked here, where a spooler
// that never answers holds this thread only.
DWORD LookAtQueues(LPVOID) {
    g_Look.verdict = g_Settings.PrinterName[0] != 0 ? CheckPrinterQueue(g_Settings.PrinterName)
                                                    : CheckEveryPrinter();
    return 0;
}

bool NotResponding() {
    return Unhealthy(
        L"Print Spooler not responding (no answer to a print queue request within %u ms)",
        g_Settings.QueueCheckTimeoutMs);
}

// Waits for the worker for up to `ms`, or, in the service, until a stop is
// requested: the service does not stay to hear the spooler out.
DWORD WaitForWorker(DWORD ms) {
    if (g_StopEvent == nullptr) {
        return WaitForSingleObject(g_QueueWorker, ms);
    }
    const HANDLE objects[] = {g_QueueWorker, g_StopEvent};
    return WaitForMultipleObjects(2, objects, FALSE, ms);
}

// What the deadline leaves of its time for the worker out.
DWORD RemainingMs() {
    const DWORD elapsed = GetTickCount() - g_QueueWorkerSince;
    return elapsed >= g_Settings.QueueCheckTimeoutMs ? 0 : g_Settings.QueueCheckTimeoutMs - elapsed;
}

// The worker has not ended. Silence until the deadline is the finding; a
// stop request that cut the wait short gives no verdict (counted unhealthy,
// so that nothing after this check, the plugin, starts; the monitor sees
// the stop next); a wait that failed tells nothing and fails open.
bool Unanswered(DWORD wait) {
    if (wait == WAIT_TIMEOUT) {
        return NotResponding();
    }
    return wait != WAIT_OBJECT_0 + 1;
}

// A worker from an earlier check that is still out keeps its deadline,
// counted from its start, and no second worker joins it however long the
// spooler stays silent. One that has ended since is let go: what it found
// is too old to count.
bool AskSpooler() {
    if (g_QueueWorker != nullptr) {
        const DWORD wait = WaitForWorker(RemainingMs());
        if (wait != WAIT_OBJECT_0) {
            return Unanswered(wait);
        }
        ReleaseQueueWorker();
    }
    g_Look.verdict = true;
    g_Look.issue[0] = 0;
    g_QueueWorker = CreateThread(nullptr, 0, LookAtQueues, nullptr, 0, nullptr);
    if (g_QueueWorker == nullptr) {
        return true;
    }
    g_QueueWorkerSince = GetTickCount();
    const DWORD wait = WaitForWorker(g_Settings.QueueCheckTimeoutMs);
    if (wait != WAIT_OBJECT_0) {
        return Unanswered(wait);
    }
    ReleaseQueueWorker();
    if (!g_Look.verdict && g_Look.issue[0] != 0) {
        CopyText(g_LastIssue, kLastIssueCapacity, g_Look.issue);
    }
    return g_Look.verdict;
}

} // namespace

void ReleaseQueueWorker() {
    if (g_QueueWorker != nullptr) {
        CloseHandle(g_QueueWorker);
        g_QueueWorker = nullptr;
    }
}

bool CheckPrintQueues() {
    if (!g_Settings.EnableQueueCheck) {
        return true;
    }
    // An unhealthy service is the service-state check's to report (its text
    // stays in LastIssue); its printers cannot be read anyway.
    if (!CheckServiceState()) {
        return true;
    }
    return AskSpooler();
}

} // namespace nimbrel
