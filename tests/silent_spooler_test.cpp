// A spooler that stops answering while the service manager still reports it
// running: the queue check gives up at its deadline, the service repairs the
// spooler, a stop request is not held up, "status" answers, and nothing is
// left behind once the blocked call is released.
#include "app/status.h"
#include "tests/service_fixture.h"

namespace nimbrel::test {
namespace {

const std::wstring kSilent20s =
    L"Print Spooler not responding (no answer to a print queue request within 20000 ms)";

class SilentSpooler : public ServiceTest {
  protected:
    void SetUp() override {
        ServiceTest::SetUp();
        sim::SetRecording(false);
        sim::AddPrinter(L"Office");
        // A deadlocked spooler does not stop when asked; only its end helps.
        sim::Spooler().stopPendingMs = sim::kNever;
        WriteIni(L"Schedule/EnableScheduledRestart=0\nHealthCheck/QueueCheckTimeoutMs=20000\n"
                 L"Recovery/StopTimeoutMs=5000");
    }

    void TearDown() override {
        EXPECT_EQ(0u, sim::LiveThreads());
        ServiceTest::TearDown();
    }

    std::vector<std::uint64_t> TimesOf(const std::wstring& text) const {
        std::vector<std::uint64_t> times;
        for (const sim::Event& event : EventsReading(text)) {
            times.push_back(SinceStart(event));
        }
        return times;
    }

    // The blocked call returns, its worker ends.
    static void Release() {
        sim::ReleaseSpooler();
        sim::AdvanceMs(1);
    }
};

// One worker, however often the check runs while it is out; once it has
// ended the next check asks anew.
TEST_F(SilentSpooler, TheCheckGivesUpAtItsDeadlineAndStartsNoSecondWorker) {
    LoadSettings();
    sim::HangSpooler();
    const std::uint64_t start = sim::ElapsedMs();
    EXPECT_EQ(0, CheckPrintQueues());
    EXPECT_EQ(20000u, sim::ElapsedMs() - start);
    EXPECT_EQ(kSilent20s, Issue());
    const unsigned threads = sim::ThreadsCreated();

    for (std::uint64_t later : {1u, 10000u}) {
        sim::AdvanceMs(later);
        LastIssue[0] = 0;
        const std::uint64_t before = sim::ElapsedMs();
        EXPECT_EQ(0, CheckPrintQueues());
        EXPECT_EQ(before, sim::ElapsedMs()) << "its deadline has passed: no second wait";
        EXPECT_EQ(kSilent20s, Issue());
    }
    EXPECT_EQ(threads, sim::ThreadsCreated());
    EXPECT_EQ(1u, sim::LiveThreads());

    Release();
    EXPECT_EQ(1, CheckPrintQueues());
    EXPECT_EQ(threads + 1, sim::ThreadsCreated());
    EXPECT_EQ(nullptr, QueueWorker);
}

// The silence is found one deadline into the cycle; the repair ends the
// spooler, which releases the call; the next cycle asks anew and is healthy.
TEST_F(SilentSpooler, TheServiceRepairsItAndTheEndOfTheSpoolerReleasesTheWorker) {
    sim::After(5 * kSecond, [] { sim::HangSpooler(); });
    EXPECT_EQ(0, RunServiceFor(2 * kMinute));

    const std::vector<std::wstring> expected = {
        L"I:Nimbrel service started.", L"W:Recovery started: Automatic recovery: " + kSilent20s,
        L"I:Print Spooler recovery completed successfully.", L"I:Nimbrel service stopped."};
    EXPECT_EQ(expected, Logged());
    // The second cycle begins at 10 s; its deadline ends at 30 s, the pause
    // before the repair at 33 s.
    EXPECT_EQ(std::vector<std::uint64_t>{33 * kSecond},
              TimesOf(L"Recovery started: Automatic recovery: " + kSilent20s));
    unsigned ended = 0;
    for (const sim::Process& process : sim::Processes()) {
        ended += process.terminations;
    }
    EXPECT_EQ(1u, ended);
    EXPECT_EQ(0u, sim::HeldSpoolerCalls());
}

// A spooler that cannot be ended stays silent: every cycle finds it so at
// once, without a second worker; the repairs that fail are retried up to
// the hourly limit.
TEST_F(SilentSpooler, ASpoolerSilentForManyCyclesHoldsOneWorkerOnly) {
    sim::FindProcess(sim::Spooler().pid)->canTerminate = false;
    sim::HangSpooler();
    EXPECT_EQ(0, RunServiceFor(5 * kMinute));

    const std::vector<std::uint64_t> repairs =
        TimesOf(L"Recovery started: Automatic recovery: " + kSilent20s);
    ASSERT_EQ(3u, repairs.size());
    EXPECT_FALSE(EventsReading(L"Print Spooler unhealthy but recovery rate limit reached. Waiting.")
                     .empty());
    // The first after a deadline and 3 s of pause; each later one after the
    // failed repair (its 5 s stop wait), the 10 s between cycles and the
    // 3 s pause: no deadline again.
    EXPECT_EQ(23 * kSecond, repairs[0]);
    EXPECT_EQ(18 * kSecond, repairs[1] - repairs[0]);
    EXPECT_EQ(2u, sim::ThreadsCreated()) << "the monitor and one worker";
    EXPECT_EQ(1u, sim::LiveThreads()) << "the worker, which the stop did not wait for";
    Release();
}

// The service stops within moments, with the worker still out.
TEST_F(SilentSpooler, AStopRequestIsNotHeldUpByAWorkerThatIsOut) {
    sim::HangSpooler();
    EXPECT_EQ(0, RunServiceFor(5 * kSecond));
    EXPECT_EQ(std::vector<std::uint64_t>{5 * kSecond}, TimesOf(L"Nimbrel service stopped."));
    EXPECT_EQ(2u, sim::Events().size()) << "no repair began";
    std::vector<DWORD> states;
    for (const SERVICE_STATUS& report : sim::StatusReports()) {
        states.push_back(report.dwCurrentState);
    }
    EXPECT_EQ((std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_STOP_PENDING,
                                  SERVICE_STOPPED}),
              states);
    EXPECT_EQ(1u, sim::HeldSpoolerCalls());
    Release();
}

// "status" prints its lines one deadline after it asked, without waiting
// for the call a second time for the overall verdict.
TEST_F(SilentSpooler, StatusAnswersWithinTheDeadline) {
    sim::SetStartedByServiceManager(false);
    sim::HangSpooler();
    const std::uint64_t start = sim::ElapsedMs();
    EXPECT_EQ(0, RunStatusCommand());
    EXPECT_EQ(20000u, sim::ElapsedMs() - start);
    EXPECT_EQ("Print Spooler service: Running (PID 1000)\nService state healthy: Yes\n"
              "Print queue healthy:   No\nOverall healthy:       No\nLast issue:            " +
                  Narrow(kSilent20s) +
                  "\nSpool folder:          C:\\Windows\\system32\\spool\\PRINTERS\n",
              sim::StdoutBytes());
    Release();
}

} // namespace
} // namespace nimbrel::test
