// Waiting on, stopping (with forced termination) and starting the Print
// Spooler service. Every failing platform call is in the fault sweep.

#include "spooler/spooler_control.h"
#include "tests/support.h"

namespace nimbrel::test {
namespace {

class SpoolerControlTest : public SimTest {};

// The wait queries at once and then after every 500 ms pause, never after
// the pause that ends its time, and measures that time across a tick wrap.
TEST_F(SpoolerControlTest, WaitPollsEvery500MsUntilTheStateOrItsTime) {
    const struct {
        const char* name;
        DWORD startState, timeoutMs, startTick;
        std::uint64_t runningAfterMs; // sim::kNever: stays
        int result;
        std::uint64_t elapsedMs;
        unsigned queries;
    } cases[] = {
        {"time-out 0", SERVICE_RUNNING, 0, 1000000, 0, 0, 0, 0},
        {"already in the state", SERVICE_RUNNING, 1, 1000000, 0, 1, 0, 1},
        {"reached", SERVICE_START_PENDING, 5000, 1000000, 1200, 1, 1500, 4},
        {"not reached", SERVICE_START_PENDING, 1200, 1000000, sim::kNever, 0, 1500, 3},
        {"not reached, wrapping", SERVICE_STOPPED, 3000, 0xFFFFFE00u, sim::kNever, 0, 3000, 6},
        {"not reached, wrapping at once", SERVICE_STOPPED, 3000, 0xFFFFFFFFu, sim::kNever, 0, 3000,
         6},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Fresh();
        sim::SetTick(c.startTick);
        sim::SetServiceState(L"Spooler", c.startState);
        if (c.runningAfterMs != sim::kNever && c.startState != SERVICE_RUNNING) {
            sim::After(c.runningAfterMs, [] { sim::SetServiceState(L"Spooler", SERVICE_RUNNING); });
        }
        EXPECT_EQ(c.result, WaitForSpoolerState(SERVICE_RUNNING, c.timeoutMs));
        EXPECT_EQ(c.elapsedMs, sim::ElapsedMs());
        EXPECT_EQ(c.queries, sim::CountCalls(sim::Op::QueryServiceStatusEx));
    }
}

// Each operation asks for no more than it needs: with only those rights
// granted, and only the connection to the service manager, it still works.
TEST_F(SpoolerControlTest, EachOperationNeedsOnlyItsOwnRights) {
    const struct {
        const char* name;
        DWORD rights;
        bool (*operation)();
    } cases[] = {
        {"query", SERVICE_QUERY_STATUS, [] { return QuerySpoolerStatus(nullptr, nullptr); }},
        {"stop", SERVICE_STOP | SERVICE_QUERY_STATUS | SERVICE_ENUMERATE_DEPENDENTS,
         [] {
             DependentServices stopped;
             return StopSpooler(&stopped);
         }},
        {"start", SERVICE_START | SERVICE_QUERY_STATUS,
         [] {
             sim::SetServiceState(L"Spooler", SERVICE_STOPPED);
             return StartSpooler();
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Fresh();
        sim::Spooler().deniedAccess = ~c.rights;
        sim::SetManagerRightsDenied(~SC_MANAGER_CONNECT);
        EXPECT_EQ(1, c.operation());
    }
}

// A spooler that stops within StopTimeoutMs is left alone. A stop request
// refused by a spooler hung in a pending state (1061, 1052, 1053) or not
// running (1062) goes on to the wait and then to forced termination, or a
// hang could never be repaired; any other refusal ends the stop at once.
TEST_F(SpoolerControlTest, StopWaitsAndForcesOnlyWhatCanBeForced) {
    const struct {
        const char* name;
        DWORD state, stopError;
        std::uint64_t stopPendingMs;
        DWORD stopTimeoutMs;
        int result;
        DWORD stateAfter;
        std::uint64_t elapsedMs;
    } cases[] = {
        {"stops in 2.2 s", SERVICE_RUNNING, 0, 2200, 30000, 1, SERVICE_STOPPED, 2500},
        {"already stopped", SERVICE_STOPPED, 0, 0, 30000, 1, SERVICE_STOPPED, 0},
        {"already stopped, time-out 0", SERVICE_STOPPED, 0, 0, 0, 0, SERVICE_STOPPED, 0},
        {"refused: 1061", SERVICE_STOP_PENDING, ERROR_SERVICE_CANNOT_ACCEPT_CTRL, 0, 2000, 1,
         SERVICE_STOPPED, 2000},
        {"refused: 1052", SERVICE_START_PENDING, ERROR_INVALID_SERVICE_CONTROL, 0, 2000, 1,
         SERVICE_STOPPED, 2000},
        {"refused: 1053", SERVICE_RUNNING, ERROR_SERVICE_REQUEST_TIMEOUT, 0, 2000, 1,
         SERVICE_STOPPED, 2000},
        {"refused: 1062", SERVICE_RUNNING, ERROR_SERVICE_NOT_ACTIVE, 0, 2000, 1, SERVICE_STOPPED,
         2000},
        {"refused: 5", SERVICE_RUNNING, ERROR_ACCESS_DENIED, 0, 2000, 0, SERVICE_RUNNING, 0},
        {"refused: 1060", SERVICE_RUNNING, ERROR_SERVICE_DOES_NOT_EXIST, 0, 2000, 0,
         SERVICE_RUNNING, 0},
        {"refused: 1051", SERVICE_RUNNING, 1051, 0, 2000, 0, SERVICE_RUNNING, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Fresh();
        Settings.StopTimeoutMs = c.stopTimeoutMs;
        sim::SetServiceState(L"Spooler", c.state);
        sim::Spooler().stopError = c.stopError;
        sim::Spooler().stopPendingMs = c.stopPendingMs;
        DependentServices stopped;
        EXPECT_EQ(c.result, StopSpooler(&stopped));
        EXPECT_EQ(c.stateAfter, sim::Spooler().state);
        EXPECT_EQ(c.elapsedMs, sim::ElapsedMs());
        const bool forced = c.elapsedMs == c.stopTimeoutMs;
        EXPECT_EQ(forced ? 1u : 0u, sim::CountCalls(sim::Op::CreateToolhelp32Snapshot));
    }
}

// A stop refused while the spooler is starting (1061) is sent again, once,
// when it runs: the spooler then stops by itself and no process is ended.
// One that never gets past starting is forced after StopTimeoutMs.
TEST_F(SpoolerControlTest, AStopRefusedWhileStartingIsSentAgainOnceItRuns) {
    const struct {
        const char* name;
        std::uint64_t runningAfterMs;
        unsigned requests;
        std::uint64_t elapsedMs;
        unsigned snapshots;
    } cases[] = {
        {"runs after 1.2 s", 1200, 2, 2500, 0},
        {"stays starting", sim::kNever, 1, 2000, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Fresh();
        Settings.StopTimeoutMs = 2000;
        sim::Spooler().stopPendingMs = 700;
        sim::SetServiceState(L"Spooler", SERVICE_START_PENDING);
        if (c.runningAfterMs != sim::kNever) {
            sim::After(c.runningAfterMs, [] { sim::SetServiceState(L"Spooler", SERVICE_RUNNING); });
        }
        DependentServices stopped;
        EXPECT_EQ(1, StopSpooler(&stopped));
        EXPECT_EQ(c.requests, sim::Spooler().stopRequests);
        EXPECT_EQ(c.elapsedMs, sim::ElapsedMs());
        EXPECT_EQ(c.snapshots, sim::CountCalls(sim::Op::CreateToolhelp32Snapshot));
    }
}

// Forced termination ends every process whose image is "spoolsv.exe" in any
// ASCII case, passes over those it cannot open or end, and counts as a stop
// only when one of them ended; then the spooler has 10 s to show stopped.
TEST_F(SpoolerControlTest, ForcedTerminationEndsEverySpoolerProcessByName) {
    Settings.StopTimeoutMs = 1000;
    sim::Spooler().stopPendingMs = sim::kNever;
    const DWORD upper = sim::AddProcess(L"SPOOLSV.EXE");
    const DWORD mixed = sim::AddProcess(L"SpoolSv.exe");
    const DWORD other = sim::AddProcess(L"spoolsv.exe.bak");
    const DWORD locked = sim::AddProcess(L"spoolsv.exe", /*canTerminate=*/true, /*canOpen=*/false);
    const DWORD stubborn = sim::AddProcess(L"spoolsv.exe", /*canTerminate=*/false);
    const DWORD last = sim::AddProcess(L"spoolsv.exe"); // behind those passed over
    const DWORD spooler = sim::Spooler().pid;
    DependentServices stopped;
    EXPECT_EQ(1, StopSpooler(&stopped));
    for (DWORD pid : {spooler, upper, mixed, last}) {
        EXPECT_FALSE(sim::FindProcess(pid)->running) << pid;
        EXPECT_EQ(1u, sim::FindProcess(pid)->exitCode) << pid;
    }
    for (DWORD pid : {other, locked, stubborn}) {
        EXPECT_TRUE(sim::FindProcess(pid)->running) << pid;
    }
}

// The spooler runs as LocalSystem: an administrator's token opens its
// process only with SeDebugPrivilege enabled. A token that holds it has it
// enabled for the termination and put back as it was; one that does not
// cannot end the spooler.
TEST_F(SpoolerControlTest, ForcedTerminationEnablesTheDebugPrivilegeWhenTheTokenHoldsIt) {
    const struct {
        const char* name;
        bool held, enabled;
        int result;
    } cases[] = {
        {"an administrator's token", true, false, 1},
        {"LocalSystem's token", true, true, 1},
        {"a token without it", false, false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Fresh();
        Settings.StopTimeoutMs = 1000;
        sim::Spooler().stopPendingMs = sim::kNever;
        sim::FindProcess(sim::Spooler().pid)->needsDebugPrivilege = true;
        sim::SetDebugPrivilege(c.held, c.enabled);
        DependentServices stopped;
        EXPECT_EQ(c.result, StopSpooler(&stopped));
        EXPECT_EQ(c.enabled, sim::DebugPrivilegeEnabled()) << "as it was";
    }
}

// With no process ended there is no second wait; with only a stray one
// ended, the service's own process (of another image) keeps it from showing
// stopped within the 10 s of the second wait.
TEST_F(SpoolerControlTest, ForcedStopFailsWhenNothingEndsOrTheSpoolerNeverShowsStopped) {
    for (bool stray : {false, true}) {
        Fresh();
        Settings.StopTimeoutMs = 1000;
        sim::Spooler().stopPendingMs = sim::kNever;
        sim::Spooler().processTerminable = false;
        sim::Spooler().image = stray ? L"spoolhost.exe" : L"spoolsv.exe";
        sim::SetServiceState(L"Spooler", SERVICE_STOPPED); // its process started again as set
        sim::SetServiceState(L"Spooler", SERVICE_RUNNING);
        if (stray) {
            sim::AddProcess(L"spoolsv.exe");
        }
        DependentServices stopped;
        EXPECT_EQ(0, StopSpooler(&stopped));
        EXPECT_EQ(stray ? 1000u + 10000u : 1000u, sim::ElapsedMs());
        EXPECT_EQ(stray ? 0u : 1u, sim::RunningProcesses(L"spoolsv.exe"));
    }
}

// A start waits for the running state; a spooler already running (1056) is
// started; one that stops again after starting fails after the whole wait.
TEST_F(SpoolerControlTest, StartWaitsForTheRunningState) {
    const struct {
        const char* name;
        DWORD state, startTimeoutMs;
        bool failsToRun;
        int result;
        std::uint64_t elapsedMs;
    } cases[] = {
        {"starts in 0.7 s", SERVICE_STOPPED, 60000, false, 1, 1000},
        {"already running", SERVICE_RUNNING, 60000, false, 1, 0},
        {"already running, time-out 0", SERVICE_RUNNING, 0, false, 0, 0},
        {"stops again", SERVICE_STOPPED, 4000, true, 0, 4000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Fresh();
        Settings.StartTimeoutMs = c.startTimeoutMs;
        sim::SetServiceState(L"Spooler", c.state);
        sim::Spooler().startPendingMs = 700;
        sim::Spooler().startFailsToRun = c.failsToRun;
        EXPECT_EQ(c.result, StartSpooler());
        EXPECT_EQ(c.elapsedMs, sim::ElapsedMs());
    }
}

} // namespace
} // namespace nimbrel::test
