#include "health/health.h"

namespace nimbrel {

bool g_WatchJobProgress = false;

namespace {

// One job seen spooling or printing, with what it showed when it last moved.
struct WatchedJob {
    bool used;
    DWORD printer; // the printer's name, as a key
    DWORD jobId;
    DWORD pagesPrinted;
    DWORD size;
    DWORD activeBits;
    DWORD since; // tick of its first sighting or its last progress
    DWORD mark;  // the last look at its printer that saw it
};

constexpr DWORD kActiveJob = JOB_STATUS_SPOOLING | JOB_STATUS_PRINTING;

WatchedJob g_Watched[kWatchedJobsCapacity];
DWORD g_Looks = 0;

// FNV-1a over the name's characters: two printers that share a key and a
// job number share an entry, which can only make a job look as if it moved.
DWORD NameKey(const WCHAR* name) {
    DWORD hash = 2166136261u;
    for (; *name != 0; ++name) {
        hash = (hash ^ static_cast<DWORD>(*name)) * 16777619u;
    }
    return hash;
}

// Plain loops rather than <algorithm>: the MSVC rules check compiles the logic with MinGW's
// C library headers, which <algorithm> pulls in and clang-cl cannot parse.
WatchedJob* Find(DWORD printer, DWORD jobId) {
    for (WatchedJob& entry : g_Watched) {
        // cppcheck-suppress useStlAlgorithm
        if (entry.used && entry.printer == printer && entry.jobId == jobId) {
            return &entry;
        }
    }
    return nullptr;
}

WatchedJob* FreeEntry() {
    for (WatchedJob& entry : g_Watched) {
        // cppcheck-suppress useStlAlgorithm
        if (!entry.used) {
            return &entry;
        }
    }
    return nullptr;
}

bool Moved(const WatchedJob& entry, const JOB_INFO_2W& job) {
    return entry.pagesPrinted != job.PagesPrinted || entry.size != job.Size ||
           entry.activeBits != (job.Status & kActiveJob);
}

void Watch(DWORD printer, const JOB_INFO_2W& job, DWORD now) {
    WatchedJob* entry = Find(printer, job.JobId);
    if (entry == nullptr) {
        entry = FreeEntry();
        if (entry == nullptr) {
            return; // full: this job goes unwatched, and so is never found stuck
        }
        *entry = {true, printer, job.JobId, job.PagesPrinted, job.Size, job.Status & kActiveJob,
                  now,  0};
    } else if (Moved(*entry, job)) {
        entry->pagesPrinted = job.PagesPrinted;
        entry->size = job.Size;
        entry->activeBits = job.Status & kActiveJob;
        entry->since = now;
    }
    entry->mark = g_Looks;
}

} // namespace

// Only jobs that are spooling or printing are watched; one that stops being
// so is forgotten, and its watch begins anew if it becomes so again.
void WatchJobs(const WCHAR* printerName, const JOB_INFO_2W* jobs, DWORD count, DWORD now) {
    const DWORD printer = NameKey(printerName);
    ++g_Looks;
    for (DWORD i = 0; i < count; ++i) {
        if ((jobs[i].Status & kActiveJob) != 0) {
            Watch(printer, jobs[i], now);
        }
    }
    for (WatchedJob& entry : g_Watched) {
        if (entry.used && entry.printer == printer && entry.mark != g_Looks) {
            entry.used = false;
        }
    }
}

bool StalledFor(const WCHAR* printerName, const JOB_INFO_2W& job, DWORD now, DWORD limitMs) {
    const WatchedJob* entry = Find(NameKey(printerName), job.JobId);
    return entry != nullptr && now - entry->since > limitMs;
}

unsigned WatchedJobs() {
    unsigned count = 0;
    for (const WatchedJob& entry : g_Watched) {
        // cppcheck-suppress useStlAlgorithm
        count += entry.used ? 1u : 0u;
    }
    return count;
}

void ForgetWatchedJobs() {
    for (WatchedJob& entry : g_Watched) {
        entry.used = false;
    }
    g_Looks = 0;
}

} // namespace nimbrel
