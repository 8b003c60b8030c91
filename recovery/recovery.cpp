#include "recovery/recovery.h"

#include "config/settings.h"
#include "eventlog/eventlog.h"
#include "platform/owned.h"
#include "recovery/restart_history.h"
#include "spooler/spool_directory.h"
#include "spooler/spooler_control.h"
#include "text/text.h"

namespace nimbrel {
namespace {

constexpr std::size_t kMessageCapacity = 512;
constexpr std::size_t kPathCapacity = MAX_PATH;

constexpr WCHAR kStartedFormat[] = L"Recovery started: %s";
constexpr WCHAR kStopFailed[] = L"Failed to stop Print Spooler during recovery.";
constexpr WCHAR kFilesLeft[] = L"Some spool files could not be deleted during recovery.";
constexpr WCHAR kStartFailed[] = L"Failed to start Print Spooler during recovery.";
constexpr WCHAR kCompleted[] = L"Print Spooler recovery completed successfully.";
constexpr WCHAR kDependentNotRestarted[] =
    L"Print Spooler recovered, but the dependent service '%s' could not be restarted.";

// The length of a listed name; MAX_PATH when it fills its field without a
// terminator, which makes it no name at all.
std::size_t NameLength(const WCHAR (&name)[MAX_PATH]) {
    std::size_t length = 0;
    while (length < MAX_PATH && name[length] != 0) {
        ++length;
    }
    return length;
}

// The spooler keeps each job in a pair of files, "*.SPL" and "*.SHD". Only
// those are ever deleted: a spool folder set to a wrong place ("C:\", the
// system folder, a share of documents) must not turn a recovery into a mass
// deletion. Ending in a letter, such a name cannot have the trailing dot or
// space that Windows would drop from a path, making it name another file.
bool IsSpoolFileName(const WCHAR (&name)[MAX_PATH]) {
    const std::size_t length = NameLength(name);
    if (length < 4 || length == MAX_PATH) {
        return false;
    }
    const WCHAR* extension = name + length - 4;
    return EqualsIgnoreAsciiCase(extension, L".SPL") || EqualsIgnoreAsciiCase(extension, L".SHD");
}

// Whether `name`, joined to the folder, can only mean the entry that was
// listed: a separator or ':' would reach another folder, a drive or a stream.
bool IsPlainFileName(const WCHAR (&name)[MAX_PATH]) {
    for (std::size_t i = 0; i < MAX_PATH && name[i] != 0; ++i) {
        if (name[i] == L'\\' || name[i] == L'/' || name[i] == L':') {
            return false;
        }
    }
    return true;
}

enum class EntryOutcome { Skipped, Deleted, LeftBehind };

// Deletes one entry of the spool folder when it is a spool file lying
// directly in it. Any other file is none of the recovery's business and is
// passed over without a word. Folders (junctions among them, and "." and
// "..") are never entered or removed. A spool file that is a reparse point
// is left alone too, and counted as left behind: what deleting one does
// depends on its kind and on the filters that own it (a cloud placeholder
// can take its remote copy with it), so the only safe choice for a process
// with LocalSystem or administrator rights is not to touch it and to say
// that the folder was not emptied.
EntryOutcome ClearEntry(const WCHAR* folder, const WIN32_FIND_DATAW& entry) {
    if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
        !IsSpoolFileName(entry.cFileName)) {
        return EntryOutcome::Skipped;
    }
    if ((entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
        !IsPlainFileName(entry.cFileName)) {
        return EntryOutcome::LeftBehind;
    }
    // A cut path would name some other file: such a file is left where it is.
    WCHAR path[kPathCapacity];
    if (!FormatWhole(path, kPathCapacity, L"%s\\%s", folder, entry.cFileName)) {
        return EntryOutcome::LeftBehind;
    }
    return DeleteFileW(path) ? EntryOutcome::Deleted : EntryOutcome::LeftBehind;
}

// Deletes the spool files directly inside the spool folder in effect. A
// folder that cannot be listed is passed over without a word: a spool folder
// that does not exist holds nothing to clear.
void ClearSpoolDirectory() {
    // Without a folder there is nothing to clear; an empty name would make
    // the pattern "\*", the root of the current drive.
    WCHAR folder[kPathCapacity];
    if (!GetSpoolDirectoryInEffect(folder, kPathCapacity)) {
        return;
    }
    WCHAR pattern[kPathCapacity];
    if (!FormatWhole(pattern, kPathCapacity, L"%s\\*", folder)) {
        return;
    }
    WIN32_FIND_DATAW entry{};
    const SearchHandle search(FindFirstFileW(pattern, &entry));
    if (!search) {
        return;
    }
    bool allDeleted = true;
    do {
        if (ClearEntry(folder, entry) == EntryOutcome::LeftBehind) {
            allDeleted = false;
        }
    } while (FindNextFileW(search.get(), &entry));
    if (!allDeleted) {
        LogEvent(EVENTLOG_WARNING_TYPE, kFilesLeft);
    }
}

// Starts the dependents again in the reverse of the order they were stopped
// in. Printing works without them, so one that does not start is only
// warned about, when `warn` is set.
void StartDependents(const DependentServices& dependents, bool warn) {
    for (DWORD i = dependents.count; i > 0; --i) {
        const WCHAR* name = dependents.names[i - 1];
        if (!StartDependentService(name) && warn) {
            WCHAR message[kMessageCapacity];
            FormatBounded(message, kMessageCapacity, kDependentNotRestarted, name);
            LogEvent(EVENTLOG_WARNING_TYPE, message);
        }
    }
}

// Stops, clears and starts; a step that fails is logged and ends it.
bool RepairSpooler(bool clearSpool) {
    // A spooler that did not stop may still hold the spool files open, and
    // starting it again would hide the failure: nothing more is done to it.
    // The dependents that were stopped for it are started again, quietly:
    // the recovery that failed is not to leave them down as well.
    DependentServices dependents;
    const bool stopped = StopSpooler(&dependents);
    // The machine began to shut down meanwhile: clearing or starting now
    // would race the system taking everything down, and the spooler starts
    // afresh with the machine. Nothing more is done or logged.
    if (g_ShutdownRequested) {
        return false;
    }
    if (!stopped) {
        LogEvent(EVENTLOG_ERROR_TYPE, kStopFailed);
        StartDependents(dependents, false);
        return false;
    }
    if (clearSpool) {
        ClearSpoolDirectory();
    }
    // Without the spooler its dependents cannot run either.
    if (!StartSpooler()) {
        LogEvent(EVENTLOG_ERROR_TYPE, kStartFailed);
        return false;
    }
    StartDependents(dependents, true);
    return true;
}

} // namespace

bool RunRecovery(const WCHAR* reason, SpoolFiles spoolFiles, Counting counting) {
    WCHAR message[kMessageCapacity];
    FormatBounded(message, kMessageCapacity, kStartedFormat, reason != nullptr ? reason : L"");
    LogEvent(EVENTLOG_WARNING_TYPE, message);

    const bool repaired = RepairSpooler(spoolFiles == SpoolFiles::Clear);
    // A failed recovery counts too: a spooler that cannot be repaired would
    // otherwise be tried, and two events written, every cycle, until the
    // event log had overwritten every other program's events.
    if (counting == Counting::Counted) {
        RecordRestart();
    }
    if (repaired) {
        LogEvent(EVENTLOG_INFORMATION_TYPE, kCompleted);
    }
    return repaired;
}

} // namespace nimbrel
