// Querying, stopping (with forced termination), starting and waiting on the
// Print Spooler service.

#include "config/settings.h"
#include "spooler/spooler_control.h"
#include "tests/support.h"

namespace nimbrel::test {
namespace {

class SpoolerControlTest : public SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        Settings = kDefaultSettings;
    }
    static std::vector<std::wstring> Opens() {
        std::vector<std::wstring> opens;
        for (const sim::Call& call : sim::Calls()) {
            if (call.op == sim::Op::OpenSCManagerW || call.op == sim::Op::OpenServiceW ||
                call.op == sim::Op::OpenProcess) {
                opens.push_back(sim::Describe(call));
            }
        }
        return opens;
    }
};

TEST_F(SpoolerControlTest, QueryGivesStateAndProcessId) {
    DWORD state = 99;
    DWORD pid = 99;
    EXPECT_EQ(1, QuerySpoolerStatus(&state, &pid));
    EXPECT_EQ(SERVICE_RUNNING, state);
    EXPECT_EQ(sim::Spooler().pid, pid);
    EXPECT_NE(0u, pid);
    EXPECT_EQ(1, QuerySpoolerStatus(nullptr, nullptr));
    const std::vector<std::wstring> expected = {
        L"OpenSCManagerW(null, null, 1)", L"OpenServiceW(h1, Spooler, 4)",
        L"OpenSCManagerW(null, null, 1)", L"OpenServiceW(h3, Spooler, 4)"};
    EXPECT_EQ(expected, Opens());
    // The service handle is closed before the manager handle.
    auto closes = sim::CallsOf(sim::Op::CloseServiceHandle);
    ASSERT_EQ(4u, closes.size());
    EXPECT_EQ(L"h2", closes[0].args[0]);
    EXPECT_EQ(L"h1", closes[1].args[0]);
}

TEST_F(SpoolerControlTest, EveryOperationFailsWhenTheServiceCannotBeOpened) {
    struct Case {
        const char* what;
        std::function<void()> arrange;
    };
    const Case cases[] = {
        {"no such service", [] { sim::RemoveService(L"Spooler"); }},
        {"no right to the service", [] { sim::Spooler().deniedAccess = 0xFFFFFFFFu; }},
        {"no right to the manager", [] { sim::SetManagerAccessDenied(true); }},
        {"status query refused", [] { sim::FailCall(sim::Op::QueryServiceStatusEx, 0, 1, true); }},
    };
    for (const Case& c : cases) {
        sim::Reset();
        Settings = kDefaultSettings;
        c.arrange();
        DWORD state = 7;
        DWORD pid = 7;
        EXPECT_EQ(0, QuerySpoolerStatus(&state, &pid)) << c.what;
        EXPECT_EQ(0u, state) << c.what;
        EXPECT_EQ(0u, pid) << c.what;
        EXPECT_EQ(0, WaitForSpoolerState(SERVICE_RUNNING, 5000)) << c.what;
        EXPECT_EQ(0, StartSpooler()) << c.what;
        ExpectNothingLeftOpen();
    }
}

TEST_F(SpoolerControlTest, WaitWithTimeoutZeroNeverQueries) {
    EXPECT_EQ(0, WaitForSpoolerState(SERVICE_RUNNING, 0));
    EXPECT_EQ(0u, sim::CountCalls(sim::Op::OpenSCManagerW));
}

TEST_F(SpoolerControlTest, WaitEndsAtOnceInTheTargetState) {
    EXPECT_EQ(1, WaitForSpoolerState(SERVICE_RUNNING, 1));
    EXPECT_EQ(1u, sim::CountCalls(sim::Op::QueryServiceStatusEx));
    EXPECT_EQ(0u, sim::CountCalls(sim::Op::Sleep));
}

TEST_F(SpoolerControlTest, WaitPollsEvery500MsAndNeverQueriesAfterTheLastPause) {
    sim::SetServiceState(L"Spooler", SERVICE_START_PENDING);
    sim::After(1200, [] { sim::SetServiceState(L"Spooler", SERVICE_RUNNING); });
    EXPECT_EQ(1, WaitForSpoolerState(SERVICE_RUNNING, 5000));
    EXPECT_EQ(1500u, sim::ElapsedMs()); // queried at 0, 500, 1000 and 1500 ms

    sim::Reset();
    sim::SetServiceState(L"Spooler", SERVICE_START_PENDING);
    EXPECT_EQ(0, WaitForSpoolerState(SERVICE_RUNNING, 1200));
    EXPECT_EQ(3u, sim::CountCalls(sim::Op::QueryServiceStatusEx)); // at 0, 500 and 1000 ms
    EXPECT_EQ(1500u, sim::ElapsedMs());
}

TEST_F(SpoolerControlTest, WaitLastsTheSameAcrossATickWrap) {
    for (DWORD startTick : {1000000u, 0xFFFFFE00u, 0xFFFFFFFFu}) {
        sim::Reset();
        sim::SetTick(startTick);
        sim::SetServiceState(L"Spooler", SERVICE_STOPPED);
        EXPECT_EQ(0, WaitForSpoolerState(SERVICE_RUNNING, 3000)) << startTick;
        EXPECT_EQ(3000u, sim::ElapsedMs()) << startTick;
        EXPECT_EQ(6u, sim::CountCalls(sim::Op::QueryServiceStatusEx)) << startTick;
    }
}

TEST_F(SpoolerControlTest, WaitEndsAtTheFirstFailedQuery) {
    sim::SetServiceState(L"Spooler", SERVICE_STOP_PENDING);
    sim::FailCall(sim::Op::OpenServiceW, 0, 2);
    EXPECT_EQ(0, WaitForSpoolerState(SERVICE_STOPPED, 30000));
    EXPECT_EQ(500u, sim::ElapsedMs());
}

TEST_F(SpoolerControlTest, StopWaitsForTheStoppedState) {
    sim::Spooler().stopPendingMs = 2200;
    EXPECT_EQ(1, StopSpooler());
    EXPECT_EQ(SERVICE_STOPPED, sim::Spooler().state);
    EXPECT_EQ(2500u, sim::ElapsedMs());
    EXPECT_EQ(L"OpenServiceW(h1, Spooler, 36)", Opens()[1]);
    EXPECT_EQ(0u, sim::CountCalls(sim::Op::CreateToolhelp32Snapshot));
}

TEST_F(SpoolerControlTest, StopOfAStoppedSpoolerSucceedsUnlessTheTimeoutIsZero) {
    sim::SetServiceState(L"Spooler", SERVICE_STOPPED);
    EXPECT_EQ(1, StopSpooler());
    EXPECT_EQ(1u, sim::CountCalls(sim::Op::QueryServiceStatusEx));

    Settings.StopTimeoutMs = 0;
    EXPECT_EQ(0, StopSpooler()); // the wait fails at once and nothing is found to terminate
    EXPECT_EQ(1u, sim::CountCalls(sim::Op::CreateToolhelp32Snapshot));
}

TEST_F(SpoolerControlTest, StopRefusedForAnyOtherReasonEndsAtOnce) {
    for (DWORD error : {ERROR_ACCESS_DENIED, ERROR_SERVICE_DOES_NOT_EXIST, DWORD{1051}}) {
        sim::Reset();
        sim::Spooler().stopError = error;
        EXPECT_EQ(0, StopSpooler()) << error;
        EXPECT_EQ(0u, sim::CountCalls(sim::Op::QueryServiceStatusEx)) << error;
        EXPECT_EQ(0u, sim::CountCalls(sim::Op::CreateToolhelp32Snapshot)) << error;
        EXPECT_EQ(SERVICE_RUNNING, sim::Spooler().state);
        ExpectNothingLeftOpen();
    }
}

// A spooler hung in a pending state refuses the stop request; it must still
// be waited for and then terminated, or a hang could never be repaired.
TEST_F(SpoolerControlTest, StopRefusedByAHungSpoolerGoesOnToForcedTermination) {
    struct Case {
        DWORD error;
        DWORD state;
    };
    const Case cases[] = {
        {ERROR_SERVICE_CANNOT_ACCEPT_CTRL, SERVICE_STOP_PENDING},
        {ERROR_INVALID_SERVICE_CONTROL, SERVICE_START_PENDING},
        {ERROR_SERVICE_REQUEST_TIMEOUT, SERVICE_RUNNING},
    };
    for (const Case& c : cases) {
        sim::Reset();
        Settings = kDefaultSettings;
        Settings.StopTimeoutMs = 2000;
        sim::SetServiceState(L"Spooler", c.state);
        sim::Spooler().stopError = c.error;
        EXPECT_EQ(1, StopSpooler()) << c.error;
        EXPECT_EQ(SERVICE_STOPPED, sim::Spooler().state) << c.error;
        EXPECT_EQ(0u, sim::RunningProcesses(L"spoolsv.exe")) << c.error;
        EXPECT_EQ(2000u, sim::ElapsedMs()) << c.error; // the whole stop wait, then termination
        ExpectNothingLeftOpen();
    }
}

TEST_F(SpoolerControlTest, ForcedTerminationEndsEverySpoolerProcessByName) {
    Settings.StopTimeoutMs = 1000;
    sim::Spooler().stopPendingMs = sim::kNever;
    const DWORD upper = sim::AddProcess(L"SPOOLSV.EXE");
    const DWORD mixed = sim::AddProcess(L"SpoolSv.exe");
    const DWORD other = sim::AddProcess(L"spoolsv.exe.bak");
    const DWORD spoolerPid = sim::Spooler().pid;
    EXPECT_EQ(1, StopSpooler());
    for (DWORD pid : {spoolerPid, upper, mixed}) {
        EXPECT_FALSE(sim::FindProcess(pid)->running) << pid;
        EXPECT_EQ(1u, sim::FindProcess(pid)->exitCode) << pid;
    }
    EXPECT_TRUE(sim::FindProcess(other)->running);
    for (const sim::Call& call : sim::CallsOf(sim::Op::OpenProcess)) {
        EXPECT_EQ(L"1", call.args[0]);
        EXPECT_EQ(L"0", call.args[1]) << "the handle must not be inheritable";
    }
}

TEST_F(SpoolerControlTest, ForcedTerminationPassesOverProcessesItCannotEnd) {
    Settings.StopTimeoutMs = 1000;
    sim::Spooler().stopPendingMs = sim::kNever;
    const DWORD locked = sim::AddProcess(L"spoolsv.exe", /*canTerminate=*/true, /*canOpen=*/false);
    const DWORD stubborn = sim::AddProcess(L"spoolsv.exe", /*canTerminate=*/false);
    EXPECT_EQ(1, StopSpooler()); // the service's own process could be ended
    EXPECT_TRUE(sim::FindProcess(locked)->running);
    EXPECT_TRUE(sim::FindProcess(stubborn)->running);
}

TEST_F(SpoolerControlTest, ForcedStopFailsWithoutASecondWaitWhenNothingWasTerminated) {
    Settings.StopTimeoutMs = 1000;
    sim::Spooler().stopPendingMs = sim::kNever;
    sim::Spooler().processTerminable = false;
    sim::SetServiceState(L"Spooler", SERVICE_STOPPED);
    sim::SetServiceState(L"Spooler", SERVICE_RUNNING); // a process that cannot be ended
    EXPECT_EQ(0, StopSpooler());
    EXPECT_EQ(1000u, sim::ElapsedMs());

    sim::Reset();
    Settings.StopTimeoutMs = 1000;
    sim::Spooler().stopPendingMs = sim::kNever;
    sim::FailCall(sim::Op::CreateToolhelp32Snapshot);
    EXPECT_EQ(0, StopSpooler());
    EXPECT_EQ(1000u, sim::ElapsedMs());
}

TEST_F(SpoolerControlTest, ForcedStopWaitsTenSecondsForTheStoppedState) {
    Settings.StopTimeoutMs = 1000;
    sim::Spooler().stopPendingMs = sim::kNever;
    sim::Spooler().image = L"spoolhost.exe"; // its process is not found by name
    sim::SetServiceState(L"Spooler", SERVICE_STOPPED);
    sim::SetServiceState(L"Spooler", SERVICE_RUNNING);
    const DWORD stray = sim::AddProcess(L"spoolsv.exe");
    EXPECT_EQ(0, StopSpooler());
    EXPECT_FALSE(sim::FindProcess(stray)->running);
    EXPECT_EQ(1000u + 10000u, sim::ElapsedMs());
}

TEST_F(SpoolerControlTest, StartWaitsForTheRunningState) {
    sim::SetServiceState(L"Spooler", SERVICE_STOPPED);
    sim::Spooler().startPendingMs = 700;
    EXPECT_EQ(1, StartSpooler());
    EXPECT_EQ(SERVICE_RUNNING, sim::Spooler().state);
    EXPECT_EQ(1000u, sim::ElapsedMs());
    EXPECT_EQ(L"OpenServiceW(h1, Spooler, 20)", Opens()[1]);
}

TEST_F(SpoolerControlTest, StartOfARunningSpoolerSucceedsUnlessTheTimeoutIsZero) {
    EXPECT_EQ(1, StartSpooler());
    Settings.StartTimeoutMs = 0;
    EXPECT_EQ(0, StartSpooler());
}

TEST_F(SpoolerControlTest, StartFailsWhenRefusedOrWhenTheSpoolerNeverRuns) {
    sim::SetServiceState(L"Spooler", SERVICE_STOPPED);
    sim::Spooler().startError = 1058; // disabled
    EXPECT_EQ(0, StartSpooler());
    EXPECT_EQ(0u, sim::CountCalls(sim::Op::QueryServiceStatusEx));

    sim::Spooler().startError = 0;
    sim::Spooler().startPendingMs = 300;
    sim::Spooler().startFailsToRun = true;
    Settings.StartTimeoutMs = 4000;
    EXPECT_EQ(0, StartSpooler());
    EXPECT_EQ(4000u, sim::ElapsedMs());
}

} // namespace
} // namespace nimbrel::test
