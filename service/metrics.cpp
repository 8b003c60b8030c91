#include "service/metrics.h"

#include "app/status.h"
#include "config/settings.h"
#include "eventlog/eventlog.h"
#include "health/health.h"
#include "platform/benign.h"
#include "platform/owned.h"
#include "spooler/spooler_control.h"
#include "text/text.h"

namespace nimbrel {

MetricsRecord g_Metrics = {0,
                           {{0, 0}, {0, 0}},
                           0,
                           0,
                           0,
                           kVerdictUnknown,
                           {kVerdictUnknown, kVerdictUnknown, kVerdictUnknown},
                           0,
                           0};

namespace {

constexpr DWORD kWriteFailureWarningMs = 3600000;
constexpr std::size_t kTextCapacity = 4096;
constexpr std::size_t kPathCapacity = MAX_PATH;

// The file's text, ASCII throughout.
struct MetricsText {
    char bytes[kTextCapacity];
    std::size_t length;
};

void Put(MetricsText& out, const char* text) {
    for (; *text != 0 && out.length < kTextCapacity; ++text) {
        out.bytes[out.length++] = *text;
    }
}

void PutNumber(MetricsText& out, std::uint64_t value) {
    char digits[24];
    std::size_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (count > 0 && out.length < kTextCapacity) {
        out.bytes[out.length++] = digits[--count];
    }
}

void Header(MetricsText& out, const char* name, const char* type, const char* help) {
    Put(out, "# HELP ");
    Put(out, name);
    Put(out, " ");
    Put(out, help);
    Put(out, "\n# TYPE ");
    Put(out, name);
    Put(out, " ");
    Put(out, type);
    Put(out, "\n");
}

void Sample(MetricsText& out, const char* nameAndLabels, std::uint64_t value) {
    Put(out, nameAndLabels);
    Put(out, " ");
    PutNumber(out, value);
    Put(out, "\n");
}

void PutChecks(MetricsText& out) {
    Header(out, "nimbrel_check_healthy", "gauge",
           "Whether each health check last found the Print Spooler healthy (1) or not (0); a "
           "check that is off, or has not run yet, is absent.");
    const bool on[] = {true, g_Settings.EnableQueueCheck != 0,
                       g_Settings.EnablePluginCheck != 0 && g_Settings.PluginPath[0] != 0};
    const char* const names[] = {"nimbrel_check_healthy{check=\"service_state\"}",
                                 "nimbrel_check_healthy{check=\"print_queue\"}",
                                 "nimbrel_check_healthy{check=\"plugin\"}"};
    for (int i = 0; i < 3; ++i) {
        if (on[i] && g_Metrics.checks[i] != kVerdictUnknown) {
            Sample(out, names[i], g_Metrics.checks[i] != 0 ? 1 : 0);
        }
    }
}

void PutRecoveries(MetricsText& out) {
    Header(out, "nimbrel_recoveries_total", "counter",
           "Recoveries of the Print Spooler since the service started, by what started them "
           "and how they ended.");
    Sample(out, "nimbrel_recoveries_total{trigger=\"automatic\",outcome=\"completed\"}",
           g_Metrics.recoveries[0][1]);
    Sample(out, "nimbrel_recoveries_total{trigger=\"automatic\",outcome=\"failed\"}",
           g_Metrics.recoveries[0][0]);
    Sample(out, "nimbrel_recoveries_total{trigger=\"scheduled\",outcome=\"completed\"}",
           g_Metrics.recoveries[1][1]);
    Sample(out, "nimbrel_recoveries_total{trigger=\"scheduled\",outcome=\"failed\"}",
           g_Metrics.recoveries[1][0]);
    Header(out, "nimbrel_recoveries_refused_total", "counter",
           "Monitor cycles since the service started in which the hourly limit refused a "
           "recovery.");
    Sample(out, "nimbrel_recoveries_refused_total", g_Metrics.refused);
    Header(out, "nimbrel_last_recovery_timestamp_seconds", "gauge",
           "When the last recovery ended, in seconds since 1970-01-01 UTC; 0 before the first.");
    Sample(out, "nimbrel_last_recovery_timestamp_seconds",
           g_Metrics.lastRecoveryTime > 0 ? static_cast<std::uint64_t>(g_Metrics.lastRecoveryTime)
                                          : 0);
}

void PutCycles(MetricsText& out) {
    Header(out, "nimbrel_cycles_total", "counter", "Monitor cycles since the service started.");
    Sample(out, "nimbrel_cycles_total", g_Metrics.cycles);
    Header(out, "nimbrel_cycle_duration_seconds", "gauge",
           "How long the last monitor cycle's work took, without the wait after it.");
    Put(out, "nimbrel_cycle_duration_seconds ");
    PutNumber(out, g_Metrics.lastCycleMs / 1000);
    Put(out, ".");
    const DWORD ms = g_Metrics.lastCycleMs % 1000;
    const char fraction[] = {static_cast<char>('0' + ms / 100),
                             static_cast<char>('0' + ms / 10 % 10),
                             static_cast<char>('0' + ms % 10), '\n', 0};
    Put(out, fraction);
}

void PutBuildInfo(MetricsText& out) {
    Header(out, "nimbrel_build_info", "gauge", "Nimbrel's version, as a label; always 1.");
    Put(out, "nimbrel_build_info{version=\"");
    char version[16] = {};
    for (std::size_t i = 0; i + 1 < sizeof version && kNimbrelVersion[i] != 0; ++i) {
        version[i] = static_cast<char>(kNimbrelVersion[i]);
    }
    Put(out, version);
    Put(out, "\"} 1\n");
}

void Compose(MetricsText& out, DWORD state) {
    out.length = 0;
    Header(out, "nimbrel_spooler_healthy", "gauge",
           "Whether the last health verdict found the Print Spooler healthy (1) or not (0).");
    Sample(out, "nimbrel_spooler_healthy", g_Metrics.healthy == 1 ? 1 : 0);
    Header(out, "nimbrel_spooler_state", "gauge",
           "The Print Spooler's service state: 1 stopped, 2 start pending, 3 stop pending, 4 "
           "running, 5 continue pending, 6 pause pending, 7 paused; 0 when it cannot be read.");
    Sample(out, "nimbrel_spooler_state", state);
    PutChecks(out);
    PutRecoveries(out);
    PutCycles(out);
    PutBuildInfo(out);
}

// A temporary file left behind is written over at the next cycle.
void RemoveTemporary(const WCHAR* path) {
    const BenignFailures benign;
    DeleteFileW(path);
}

// Writes the whole text to the open file and flushes it to the disk.
// Returns ERROR_SUCCESS or the error that stopped it.
DWORD WriteAndFlush(HANDLE file, const MetricsText& text) {
    DWORD written = 0;
    if (!WriteFile(file, text.bytes, static_cast<DWORD>(text.length), &written, nullptr) ||
        !FlushFileBuffers(file)) {
        return GetLastError();
    }
    return written == text.length ? ERROR_SUCCESS : ERROR_DISK_FULL;
}

// Writes the whole text to a new file; one that could not be written whole
// is closed and deleted. Returns ERROR_SUCCESS or the error that stopped it.
DWORD WriteWholeFile(const WCHAR* path, const MetricsText& text) {
    DWORD error = ERROR_SUCCESS;
    {
        const FileHandle file(CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) {
            return GetLastError();
        }
        error = WriteAndFlush(file.get(), text);
    }
    if (error != ERROR_SUCCESS) {
        RemoveTemporary(path);
    }
    return error;
}

// The new text goes to a file of its own in the same folder, then takes the
// place of the old one in one step: a reader sees the old file or the new
// one, never a part. Returns ERROR_SUCCESS or the error that stopped it.
DWORD ReplaceMetricsFile(const MetricsText& text) {
    WCHAR temporary[kPathCapacity];
    const int length = FormatBounded(temporary, kPathCapacity, L"%s.tmp", g_Settings.MetricsFile);
    if (length < 0 || static_cast<std::size_t>(length) >= kPathCapacity) {
        return ERROR_BAD_PATHNAME; // a cut name would be some other file
    }
    const DWORD error = WriteWholeFile(temporary, text);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    if (!MoveFileExW(temporary, g_Settings.MetricsFile,
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        const DWORD moveError = GetLastError();
        RemoveTemporary(temporary);
        return moveError;
    }
    return ERROR_SUCCESS;
}

// A folder that is gone or a disk that is full stays so for a while: said
// once, then at most once an hour, so the event log keeps other events.
void WarnWriteFailed(DWORD error) {
    const DWORD now = GetTickCount();
    if (g_Metrics.writeFailureWarned &&
        static_cast<DWORD>(now - g_Metrics.writeFailureTick) < kWriteFailureWarningMs) {
        return;
    }
    WCHAR message[kPathCapacity + 64];
    FormatBounded(message, kPathCapacity + 64, L"Unable to write the metrics file %s: error %u.",
                  g_Settings.MetricsFile, error);
    LogEvent(EVENTLOG_WARNING_TYPE, message);
    g_Metrics.writeFailureWarned = 1;
    g_Metrics.writeFailureTick = now;
}

} // namespace

void CountRecovery(bool scheduled, bool completed) {
    ++g_Metrics.recoveries[scheduled ? 1 : 0][completed ? 1 : 0];
    g_Metrics.lastRecoveryTime = _time64(nullptr);
}

void CountVerdict(bool healthy) {
    g_Metrics.healthy = healthy ? 1 : 0;
    for (int i = 0; i < 3; ++i) {
        if (g_LastCheckVerdicts[i] != kVerdictUnknown) {
            g_Metrics.checks[i] = g_LastCheckVerdicts[i];
        }
    }
}

bool WriteMetrics(DWORD workMs) {
    ++g_Metrics.cycles;
    g_Metrics.lastCycleMs = workMs;
    if (g_Settings.MetricsFile[0] == 0) {
        return false;
    }
    DWORD state = 0;
    DWORD processId = 0;
    if (!QuerySpoolerStatus(&state, &processId)) {
        state = 0;
    }
    MetricsText text;
    Compose(text, state);
    const DWORD error = ReplaceMetricsFile(text);
    if (error != ERROR_SUCCESS) {
        WarnWriteFailed(error);
        return false;
    }
    return true;
}

} // namespace nimbrel
