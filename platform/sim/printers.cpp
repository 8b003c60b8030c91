// Simulated printers and their job queues.
//
// The enumerations pack their records as the spooler does: the fixed-size
// records first, the strings they point to after them, all in the caller's
// block, whose needed size is reported when it is too small.

#include "platform/sim/impl.h"

namespace nimbrel::sim {
namespace {

bool SpoolerRunning() {
    Service* spooler = FindService(L"Spooler");
    return spooler != nullptr && spooler->state == SERVICE_RUNNING;
}

bool ProcessRunning(DWORD pid) {
    const Process* process = FindProcess(pid);
    return process != nullptr && process->running;
}

// Holds the call while the spooler does not answer. False when its process
// ended meanwhile: the call then fails as a call whose server died.
bool Answered() {
    const DWORD pid = M().hungSpoolerPid;
    if (pid == 0) {
        return true;
    }
    if (!ProcessRunning(pid)) {
        M().hungSpoolerPid = 0; // a new spooler answers
        return true;
    }
    ++M().heldCalls;
    WaitUntil([pid] { return M().hungSpoolerPid != pid || !ProcessRunning(pid); }, kNever);
    --M().heldCalls;
    if (!ProcessRunning(pid)) {
        Fail(RPC_S_CALL_FAILED);
        return false;
    }
    return true;
}

std::size_t TextBytes(const std::wstring& text) {
    return (text.size() + 1) * sizeof(WCHAR);
}

// Copies `text` to the end of the string area and returns where it went.
LPWSTR PlaceText(LPBYTE buffer, std::size_t& end, const std::wstring& text) {
    end -= TextBytes(text);
    auto* place = reinterpret_cast<LPWSTR>(buffer + end);
    text.copy(place, text.size());
    place[text.size()] = 0;
    return place;
}

// Reports the needed size and, when the block is too small, fails the call.
bool FitsBlock(std::size_t bytes, DWORD size, LPBYTE buffer, LPDWORD needed, LPDWORD returned) {
    if (needed == nullptr || returned == nullptr) {
        Fail(ERROR_INVALID_PARAMETER);
        return false;
    }
    *needed = static_cast<DWORD>(bytes);
    *returned = 0;
    if (bytes > size || (bytes != 0 && buffer == nullptr)) {
        Fail(ERROR_INSUFFICIENT_BUFFER);
        return false;
    }
    return true;
}

} // namespace

Printer& AddPrinter(const std::wstring& name, DWORD status) {
    Printer printer;
    printer.name = name;
    printer.status = status;
    M().printers.push_back(printer);
    return M().printers.back();
}

// Printer names match without regard to ASCII case. Compared in place: an
// upper-cased copy of every name at every open would make the simulator's
// cost grow with the square of the printers in the benchmarks.
static bool SameName(const std::wstring& left, const std::wstring& right) {
    if (left.size() != right.size()) {
        return false;
    }
    for (std::size_t i = 0; i < left.size(); ++i) {
        WCHAR a = left[i];
        WCHAR b = right[i];
        a = (a >= L'a' && a <= L'z') ? static_cast<WCHAR>(a - L'a' + L'A') : a;
        b = (b >= L'a' && b <= L'z') ? static_cast<WCHAR>(b - L'a' + L'A') : b;
        if (a != b) {
            return false;
        }
    }
    return true;
}

Printer* FindPrinter(const std::wstring& name) {
    for (Printer& printer : M().printers) {
        if (SameName(printer.name, name)) {
            return &printer;
        }
    }
    return nullptr;
}

void AddNamelessPrinter(DWORD status) {
    Printer printer;
    printer.status = status;
    printer.canOpen = false;
    M().printers.push_back(printer);
    M().namelessPrinters.push_back(static_cast<DWORD>(M().printers.size() - 1));
}

Job& AddJob(const std::wstring& printer, DWORD jobId, std::optional<std::wstring> document,
            DWORD status, const SYSTEMTIME& submitted) {
    Printer* target = FindPrinter(printer);
    Job job;
    job.jobId = jobId;
    job.document = std::move(document);
    job.status = status;
    job.submitted = submitted;
    target->jobs.push_back(job);
    return target->jobs.back();
}

static bool IsNameless(std::size_t index) {
    for (DWORD nameless : M().namelessPrinters) {
        if (nameless == index) {
            return true;
        }
    }
    return false;
}

void HangSpooler() {
    M().hungSpoolerPid = Spooler().pid;
}

void ReleaseSpooler() {
    M().hungSpoolerPid = 0;
}

unsigned HeldSpoolerCalls() {
    return M().heldCalls;
}

BOOL Sim_EnumPrintersW(DWORD flags, LPWSTR name, DWORD level, LPBYTE buffer, DWORD size,
                       LPDWORD needed, LPDWORD returned) {
    if (!Answered()) {
        return FALSE;
    }
    if (!SpoolerRunning()) {
        Fail(RPC_S_SERVER_UNAVAILABLE);
        return FALSE;
    }
    if (level != 2) {
        Fail(ERROR_INVALID_LEVEL);
        return FALSE;
    }
    if ((flags & (PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS)) == 0 || name != nullptr) {
        Fail(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const std::deque<Printer>& printers = M().printers;
    auto listed = [flags, &printers](std::size_t i) {
        return (flags & (printers[i].connection ? PRINTER_ENUM_CONNECTIONS : PRINTER_ENUM_LOCAL)) !=
               0;
    };
    std::size_t bytes = 0;
    for (std::size_t i = 0; i < printers.size(); ++i) {
        if (listed(i)) {
            bytes += sizeof(PRINTER_INFO_2W) + (IsNameless(i) ? 0 : TextBytes(printers[i].name));
        }
    }
    if (!FitsBlock(bytes, size, buffer, needed, returned)) {
        return FALSE;
    }
    std::size_t end = bytes;
    auto* records = reinterpret_cast<PRINTER_INFO_2W*>(buffer);
    DWORD count = 0;
    for (std::size_t i = 0; i < printers.size(); ++i) {
        if (!listed(i)) {
            continue;
        }
        PRINTER_INFO_2W record{};
        record.pPrinterName = IsNameless(i) ? nullptr : PlaceText(buffer, end, printers[i].name);
        record.Status = printers[i].status;
        record.Attributes = printers[i].attributes;
        record.cJobs = static_cast<DWORD>(printers[i].jobs.size());
        records[count++] = record;
    }
    *returned = count;
    return TRUE;
}

BOOL Sim_OpenPrinterW(LPWSTR name, HANDLE* printer, LPVOID defaults) {
    if (printer == nullptr) {
        Fail(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *printer = nullptr;
    if (defaults != nullptr) {
        Misuse("OpenPrinterW given default settings");
    }
    if (!Answered()) {
        return FALSE;
    }
    if (!SpoolerRunning()) {
        Fail(RPC_S_SERVER_UNAVAILABLE);
        return FALSE;
    }
    Printer* target = name ? FindPrinter(name) : nullptr;
    if (target == nullptr) {
        Fail(ERROR_INVALID_PRINTER_NAME);
        return FALSE;
    }
    ++target->opens;
    if (!target->canOpen) {
        Fail(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    HandleEntry entry{HandleKind::Printer};
    entry.name = target->name;
    *printer = NewHandle(entry);
    return TRUE;
}

BOOL Sim_EnumJobsW(HANDLE printer, DWORD firstJob, DWORD jobCount, DWORD level, LPBYTE buffer,
                   DWORD size, LPDWORD needed, LPDWORD returned) {
    HandleEntry* entry = Lookup(printer, HandleKind::Printer);
    if (entry == nullptr) {
        Fail(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (level != 2) {
        Fail(ERROR_INVALID_LEVEL);
        return FALSE;
    }
    if (!Answered()) {
        return FALSE;
    }
    if (!SpoolerRunning()) {
        Fail(RPC_S_SERVER_UNAVAILABLE);
        return FALSE;
    }
    const Printer& target = *FindPrinter(entry->name);
    std::size_t first = firstJob;
    std::size_t last = target.jobs.size();
    if (first > last) {
        first = last;
    }
    if (jobCount < last - first) {
        last = first + jobCount;
    }
    std::size_t bytes = (last - first) * sizeof(JOB_INFO_2W);
    for (std::size_t i = first; i < last; ++i) {
        bytes += TextBytes(target.name);
        bytes += target.jobs[i].document ? TextBytes(*target.jobs[i].document) : 0;
    }
    if (!FitsBlock(bytes, size, buffer, needed, returned)) {
        return FALSE;
    }
    std::size_t end = bytes;
    auto* records = reinterpret_cast<JOB_INFO_2W*>(buffer);
    for (std::size_t i = first; i < last; ++i) {
        const Job& job = target.jobs[i];
        JOB_INFO_2W record{};
        record.JobId = job.jobId;
        record.pPrinterName = PlaceText(buffer, end, target.name);
        record.pDocument = job.document ? PlaceText(buffer, end, *job.document) : nullptr;
        record.Status = job.status;
        record.Position = static_cast<DWORD>(i + 1);
        record.Submitted = job.submitted;
        record.Size = job.size;
        record.PagesPrinted = job.pagesPrinted;
        records[i - first] = record;
    }
    *returned = static_cast<DWORD>(last - first);
    return TRUE;
}

BOOL Sim_ClosePrinter(HANDLE printer) {
    return Release(printer, HandleKind::Printer, "ClosePrinter") ? TRUE : FALSE;
}

} // namespace nimbrel::sim
