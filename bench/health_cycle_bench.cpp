// What one health cycle costs Nimbrel itself, on the simulated Windows, as
// the print queues grow.
//
// HealthCycle runs EvaluateHealth with the queue check on: two state queries
// of the Spooler, the printer enumeration and, per printer, its job
// enumeration with every job's age judged (every job is printing and young,
// so each one is examined and none stops the walk). PlatformFloor makes the
// very same platform calls, with the same arguments and in the same order,
// and does nothing else: it is what any health cycle must pay, here the
// simulator's cost. Before timing, both are run with the call record on and
// their records compared, so the floor cannot drift from the logic. Nimbrel's
// own cost is the difference.
//
// Allocations are counted over separate, untimed cycles: the seam's HeapAlloc
// (what the logic asks of the platform) and every malloc, calloc and realloc
// of the process, operator new included (glibc only). The floor's mallocs are
// the simulator's; whatever the logic's cycle makes beyond them is ours.
//
// After the runs a summary prints the figures per cycle and per job. The own
// cost is a few nanoseconds per job beside the simulator's fifty, which is
// within the timing noise of a shared machine; run under callgrind with
// --instructions, the same cycles are counted exactly in instructions
// (bench/run fits those to printers and jobs). Whatever the sizes, no
// allocation may be made per job.

#include "config/settings.h"
#include "health/health.h"
#include "platform/sim/sim.h"

#include <benchmark/benchmark.h>

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#define NIMBREL_CALLGRIND 1
#endif

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <string>
#include <utility>
#include <vector>

// ---- Counting the process's allocations -------------------------------------------

namespace {
std::atomic<std::uint64_t> g_mallocs{0};
}

#if defined(__GLIBC__)
// glibc lets a program interpose its allocator; these count and hand on to
// glibc's own. operator new ends in malloc, so it is counted too.
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);

void* malloc(std::size_t bytes) {
    g_mallocs.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(bytes);
}
void* calloc(std::size_t count, std::size_t bytes) {
    g_mallocs.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(count, bytes);
}
void* realloc(void* block, std::size_t bytes) {
    g_mallocs.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(block, bytes);
}
}
constexpr bool kCountsMallocs = true;
#else
constexpr bool kCountsMallocs = false;
#endif

namespace nimbrel::bench {
namespace {

constexpr DWORD kAllJobs = 0xFFFFFFFFu;
constexpr DWORD kEnumFlags = PRINTER_ENUM_LOCAL;

// ---- The machine ---------------------------------------------------------------------

// A running Spooler with `printers` printers of `jobs` printing jobs each,
// all submitted a minute ago: none is stuck, so every job is examined.
void BuildMachine(int printers, int jobs) {
    sim::Reset();
    sim::SetRecording(false);
    g_Settings = kDefaultSettings;
    g_Settings.EnableQueueCheck = 1;
    g_Settings.MaxQueueJobs = 0;
    g_Settings.EnablePluginCheck = 0;
    const SYSTEMTIME submitted = sim::UtcSystemTime(60);
    for (int p = 0; p < printers; ++p) {
        wchar_t name[32];
        std::swprintf(name, 32, L"Office Printer %03d", p + 1);
        sim::AddPrinter(name);
        for (int j = 0; j < jobs; ++j) {
            wchar_t document[48];
            std::swprintf(document, 48, L"Quarterly report %04d.docx", j + 1);
            sim::AddJob(name, static_cast<DWORD>(p * 10000 + j + 1), std::wstring(document),
                        JOB_STATUS_PRINTING, submitted);
        }
    }
}

// ---- The floor: the platform calls of one cycle, and nothing else ---------------------

void QuerySpoolerState() {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = OpenServiceW(manager, L"Spooler", SERVICE_QUERY_STATUS);
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status),
                         sizeof status, &needed);
    benchmark::DoNotOptimize(status);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
}

void ReadQueue(LPWSTR printerName) {
    HANDLE printer = nullptr;
    OpenPrinterW(printerName, &printer, nullptr);
    DWORD needed = 0;
    DWORD returned = 0;
    EnumJobsW(printer, 0, kAllJobs, 2, nullptr, 0, &needed, &returned);
    if (needed != 0) {
        auto* block = static_cast<LPBYTE>(HeapAlloc(GetProcessHeap(), 0, needed));
        const DWORD size = needed;
        EnumJobsW(printer, 0, kAllJobs, 2, block, size, &needed, &returned);
        benchmark::DoNotOptimize(GetTickCount()); // the job watch's clock
        FILETIME now{};
        GetSystemTimeAsFileTime(&now);
        const auto* jobs = reinterpret_cast<const JOB_INFO_2W*>(block);
        for (DWORD i = 0; i < returned; ++i) {
            FILETIME submitted{};
            SystemTimeToFileTime(&jobs[i].Submitted, &submitted);
            benchmark::DoNotOptimize(submitted);
        }
        HeapFree(GetProcessHeap(), 0, block);
    }
    ClosePrinter(printer);
}

// The queue check asks the spooler on a worker thread of its own.
DWORD ReadEveryQueue(LPVOID) {
    DWORD needed = 0;
    DWORD returned = 0;
    EnumPrintersW(kEnumFlags, nullptr, 2, nullptr, 0, &needed, &returned);
    auto* block = static_cast<LPBYTE>(HeapAlloc(GetProcessHeap(), 0, needed));
    const DWORD size = needed;
    EnumPrintersW(kEnumFlags, nullptr, 2, block, size, &needed, &returned);
    const auto* printers = reinterpret_cast<const PRINTER_INFO_2W*>(block);
    for (DWORD i = 0; i < returned; ++i) {
        ReadQueue(printers[i].pPrinterName);
    }
    HeapFree(GetProcessHeap(), 0, block);
    return 0;
}

void PlatformCallsOfOneCycle() {
    QuerySpoolerState(); // the verdict's service-state check
    QuerySpoolerState(); // the queue check's gate
    HANDLE worker = CreateThread(nullptr, 0, ReadEveryQueue, nullptr, 0, nullptr);
    benchmark::DoNotOptimize(GetTickCount());
    WaitForSingleObject(worker, g_Settings.QueueCheckTimeoutMs);
    CloseHandle(worker);
}

int HealthCycle() {
    return EvaluateHealth();
}

// ---- Checks made before timing ---------------------------------------------------------

std::vector<std::wstring> RecordedCalls(void (*cycle)()) {
    sim::ClearCalls();
    sim::SetRecording(true);
    cycle();
    sim::SetRecording(false);
    // Handles are numbered as they are opened, so the two runs see different
    // numbers for the same handles: compare what stays once they are cut off.
    std::vector<std::wstring> calls;
    for (const sim::Call& call : sim::Calls()) {
        sim::Call anonymous = call;
        for (std::wstring& arg : anonymous.args) {
            if (arg.size() > 1 && arg[0] == L'h' &&
                arg.find_first_not_of(L"0123456789", 1) == std::wstring::npos) {
                arg = L"h";
            }
        }
        calls.push_back(sim::Describe(anonymous));
    }
    sim::ClearCalls();
    return calls;
}

// Empty when the floor makes exactly the logic's calls; else what differs.
std::string CompareWithFloor() {
    const std::vector<std::wstring> logic = RecordedCalls([] { HealthCycle(); });
    const std::vector<std::wstring> floor = RecordedCalls(PlatformCallsOfOneCycle);
    if (logic == floor) {
        return {};
    }
    std::size_t i = 0;
    while (i < logic.size() && i < floor.size() && logic[i] == floor[i]) {
        ++i;
    }
    auto narrow = [](const std::vector<std::wstring>& calls, std::size_t at) {
        return at < calls.size() ? std::string(calls[at].begin(), calls[at].end())
                                 : std::string("(end)");
    };
    return "the floor's calls differ from the logic's at call " + std::to_string(i + 1) +
           ": logic " + narrow(logic, i) + ", floor " + narrow(floor, i);
}

struct Allocations {
    double seamHeapAllocs = 0;
    double mallocs = 0;
};

// Per cycle, over a few untimed cycles after a first one that warms up.
Allocations CountAllocations(void (*cycle)()) {
    cycle();
    constexpr int kCycles = 4;
    const std::uint64_t heapBefore = sim::HeapAllocations();
    const std::uint64_t mallocsBefore = g_mallocs.load();
    for (int i = 0; i < kCycles; ++i) {
        cycle();
    }
    Allocations counted;
    counted.seamHeapAllocs = static_cast<double>(sim::HeapAllocations() - heapBefore) / kCycles;
    counted.mallocs = static_cast<double>(g_mallocs.load() - mallocsBefore) / kCycles;
    return counted;
}

// ---- The benchmarks ------------------------------------------------------------------------

void Report(benchmark::State& state, const Allocations& allocations) {
    state.counters["heapalloc"] = allocations.seamHeapAllocs;
    state.counters["mallocs"] = allocations.mallocs;
    state.counters["jobs"] = static_cast<double>(state.range(0) * state.range(1));
}

void BM_HealthCycle(benchmark::State& state) {
    BuildMachine(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    if (HealthCycle() != 1) {
        state.SkipWithError("the machine is not healthy: the cycle would not walk every job");
        return;
    }
    const std::string difference = CompareWithFloor();
    if (!difference.empty()) {
        state.SkipWithError(difference.c_str());
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(HealthCycle());
    }
    Report(state, CountAllocations([] { HealthCycle(); }));
    if (sim::OpenHandles() != 0 || sim::LiveHeapBlocks() != 0) {
        state.SkipWithError("a handle or heap block was left open");
    }
}

void BM_PlatformFloor(benchmark::State& state) {
    BuildMachine(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    for (auto _ : state) {
        PlatformCallsOfOneCycle();
    }
    Report(state, CountAllocations(PlatformCallsOfOneCycle));
}

void Sizes(benchmark::internal::Benchmark* b) {
    for (int printers : {1, 10, 100}) {
        for (int jobs : {0, 10, 100, 1000}) {
            b->Args({printers, jobs});
        }
    }
    b->ArgNames({"printers", "jobs"})->Unit(benchmark::kMicrosecond);
}

BENCHMARK(BM_HealthCycle)->Apply(Sizes);
BENCHMARK(BM_PlatformFloor)->Apply(Sizes);

// ---- The summary ------------------------------------------------------------------------------

struct Figure {
    double ns = 0;       // per cycle
    double stddevNs = 0; // of the repetitions, when repeated
    double heapAllocs = 0;
    double mallocs = 0;
    bool seen = false;
};

using Key = std::pair<int, int>; // printers, jobs per printer

// Shows every run as the console does, and keeps the figure of each size:
// the median when the runs are repeated, else the single run.
class CollectingReporter : public benchmark::ConsoleReporter {
  public:
    std::map<Key, Figure> logic;
    std::map<Key, Figure> floor;
    bool failed = false;

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred) {
                failed = true;
                continue;
            }
            const bool aggregate = run.run_type == Run::RT_Aggregate;
            if (aggregate && run.aggregate_name == "stddev") {
                KeepSpread(run);
                continue;
            }
            if (aggregate && run.aggregate_name != "median") {
                continue;
            }
            if (!aggregate && run.repetitions > 1) {
                continue;
            }
            Keep(run);
        }
    }

  private:
    Figure* FigureOf(const Run& run) {
        int printers = 0;
        int jobs = 0;
        if (std::sscanf(run.run_name.args.c_str(), "printers:%d/jobs:%d", &printers, &jobs) != 2) {
            return nullptr;
        }
        const bool isLogic = run.run_name.function_name == "BM_HealthCycle";
        return &(isLogic ? logic : floor)[{printers, jobs}];
    }

    static double Nanoseconds(const Run& run) {
        return run.GetAdjustedRealTime() * 1e9 / benchmark::GetTimeUnitMultiplier(run.time_unit);
    }

    void KeepSpread(const Run& run) {
        if (Figure* figure = FigureOf(run)) {
            figure->stddevNs = Nanoseconds(run);
        }
    }

    void Keep(const Run& run) {
        Figure* kept = FigureOf(run);
        if (kept == nullptr) {
            return;
        }
        Figure& figure = *kept;
        figure.ns = Nanoseconds(run);
        auto counter = [&run](const char* key) {
            auto it = run.counters.find(key);
            return it == run.counters.end() ? 0.0 : static_cast<double>(it->second);
        };
        figure.heapAllocs = counter("heapalloc");
        figure.mallocs = counter("mallocs");
        figure.seen = true;
    }
};

int PrintSummary(const CollectingReporter& reporter) {
    std::printf("\nHealth cycle on the simulator: EvaluateHealth with the queue check on\n");
    std::printf("(cycle = logic + platform; floor = the same platform calls alone; own = "
                "cycle - floor;\n noise = the two runs' standard deviations combined; "
                "HeapAlloc = the seam's blocks per cycle;\n mallocs per cycle: own = the "
                "cycle's beyond the floor's, sim = the floor's)\n\n");
    std::printf("%8s %5s %8s %11s %11s %9s %9s %10s %9s %9s %9s\n", "printers", "jobs", "all jobs",
                "cycle us", "floor us", "own us", "noise us", "own ns/job", "HeapAlloc",
                "own mall.", "sim mall.");
    bool allocationPerJob = false;
    bool ownAllocation = false;
    for (const auto& [key, logic] : reporter.logic) {
        auto floorIt = reporter.floor.find(key);
        if (!logic.seen || floorIt == reporter.floor.end() || !floorIt->second.seen) {
            continue;
        }
        const Figure& floor = floorIt->second;
        const int printers = key.first;
        const long jobs = static_cast<long>(key.first) * key.second;
        const double own = logic.ns - floor.ns;
        const double noise =
            std::sqrt(logic.stddevNs * logic.stddevNs + floor.stddevNs * floor.stddevNs);
        const double ownMallocs = logic.mallocs - floor.mallocs;
        char perJob[32] = "-";
        if (jobs > 0) {
            std::snprintf(perJob, sizeof perJob, "%.2f", own / static_cast<double>(jobs));
        }
        std::printf("%8d %5d %8ld %11.2f %11.2f %9.2f %9.2f %10s %9.1f %9.1f %9.1f\n", printers,
                    key.second, jobs, logic.ns / 1000, floor.ns / 1000, own / 1000, noise / 1000,
                    perJob, logic.heapAllocs, ownMallocs, floor.mallocs);
        if (ownMallocs != 0) {
            ownAllocation = true;
        }
        // The seam's blocks: one for the printer list, one per non-empty queue.
        const double expectedHeap = key.second > 0 ? 1.0 + printers : 1.0;
        if (logic.heapAllocs != expectedHeap) {
            allocationPerJob = true;
        }
    }
    std::printf("\nSeam HeapAlloc per cycle: %s\n",
                allocationPerJob ? "NOT one per printer plus one: see the table"
                                 : "1 + one per printer with jobs; none per job");
    if (kCountsMallocs) {
        std::printf("Own mallocs (operator new included) per cycle: %s\n",
                    ownAllocation ? "SOME: see the table" : "0 at every size");
    } else {
        std::printf("Own mallocs: not counted (not glibc)\n");
    }
    return (reporter.failed || allocationPerJob || ownAllocation) ? 1 : 0;
}

// ---- Instruction counts --------------------------------------------------------------------

// Under callgrind, cycles of the logic and of the floor per size, each size
// dumped as a profile of its own ("logic P J CYCLES", "floor P J CYCLES") for bench/run to
// read: instruction counts are exact and free of the timing noise that
// drowns a cost of a few nanoseconds beside the simulator's.
int CountInstructions(bool quick) {
#if defined(NIMBREL_CALLGRIND)
    if (!RUNNING_ON_VALGRIND) {
        std::fprintf(stderr, "--instructions: run under valgrind --tool=callgrind\n");
        return 2;
    }
    // The first dump carries costs of the first of everything (the dynamic
    // linker's lazy binding, for one): a throw-away pair takes them.
    BuildMachine(1, 1);
    HealthCycle();
    PlatformCallsOfOneCycle();
    CALLGRIND_ZERO_STATS;
    HealthCycle();
    PlatformCallsOfOneCycle();
    CALLGRIND_DUMP_STATS_AT("warm-up");
    for (int printers : {1, 10, 100}) {
        for (int jobs : {0, 10, 100, 1000}) {
            if (quick && (printers > 10 || jobs > 10)) {
                continue;
            }
            BuildMachine(printers, jobs);
            HealthCycle();
            PlatformCallsOfOneCycle();
            // The simulator's own count wavers by some hundred instructions
            // from cycle to cycle (its handle table is a tree that grows and
            // shrinks): the small sizes are counted over several cycles.
            const int cycles = printers * jobs <= 1000 ? 16 : 1;
            char label[64];
            CALLGRIND_ZERO_STATS;
            for (int i = 0; i < cycles; ++i) {
                HealthCycle();
            }
            std::snprintf(label, sizeof label, "logic %d %d %d", printers, jobs, cycles);
            CALLGRIND_DUMP_STATS_AT(label);
            CALLGRIND_ZERO_STATS;
            for (int i = 0; i < cycles; ++i) {
                PlatformCallsOfOneCycle();
            }
            std::snprintf(label, sizeof label, "floor %d %d %d", printers, jobs, cycles);
            CALLGRIND_DUMP_STATS_AT(label);
        }
    }
    return 0;
#else
    (void)quick;
    std::fprintf(stderr, "--instructions: built without valgrind's callgrind.h\n");
    return 2;
#endif
}

} // namespace
} // namespace nimbrel::bench

int main(int argc, char** argv) {
    // --instructions [quick]: the quick form counts the small sizes only.
    if (argc > 1 && std::string(argv[1]) == "--instructions") {
        return nimbrel::bench::CountInstructions(argc > 2 && std::string(argv[2]) == "quick");
    }
#if defined(__GLIBC__)
    // A queue of 1000 jobs makes the simulator fill a block of some 240 KB:
    // left to glibc's defaults, such blocks are mapped and unmapped at every
    // cycle, and the page faults (hundreds of microseconds, never twice the
    // same) would drown the logic's cost. Kept on the heap, they are reused.
    mallopt(M_MMAP_THRESHOLD, 64 << 20);
    mallopt(M_TRIM_THRESHOLD, 256 << 20);
#endif
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 2;
    }
    nimbrel::bench::CollectingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return nimbrel::bench::PrintSummary(reporter);
}
