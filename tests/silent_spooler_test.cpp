// A spooler that stops answering while the service manager still reports it
// running.
#include "tests/service_fixture.h"

namespace nimbrel::test {
namespace {

const std::wstring kSilent =
    L"Print Spooler not responding (no answer to a print queue request within 20000 ms)";
const std::wstring kRepair = L"Recovery started: Automatic recovery: " + kSilent;

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
        sim::HangSpooler();
    }

    // The blocked call returns and its worker ends.
    void TearDown() override {
        sim::ReleaseSpooler();
        sim::AdvanceMs(1);
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
};

// Past its deadline a check reports the silence at once, starting no second
// worker; once the call has returned, the next check asks anew.
TEST_F(SilentSpooler, TheCheckGivesUpAtItsDeadlineWithOneWorkerOut) {
    LoadSettings();
    const std::uint64_t start = sim::ElapsedMs();
    EXPECT_FALSE(CheckPrintQueues());
    EXPECT_EQ(20000u, sim::ElapsedMs() - start);
    EXPECT_EQ(kSilent, Issue());
    sim::AdvanceMs(10000);
    LastIssue[0] = 0;
    EXPECT_FALSE(CheckPrintQueues());
    EXPECT_EQ(30000u, sim::ElapsedMs() - start) << "no second wait";
    EXPECT_EQ(kSilent, Issue());
    EXPECT_EQ(1u, sim::ThreadsCreated());

    sim::ReleaseSpooler();
    sim::AdvanceMs(1);
    EXPECT_TRUE(CheckPrintQueues());
    EXPECT_EQ(2u, sim::ThreadsCreated());
    EXPECT_EQ(nullptr, QueueWorker);
}

// The silence is found one deadline into the cycle, and the repair ends the
// spooler, which releases the call: later cycles ask anew and are healthy.
// A stop request does not wait for a worker that is out.
TEST_F(SilentSpooler, TheServiceRepairsItAndAStopDoesNotWaitForTheWorker) {
    sim::ReleaseSpooler();
    sim::After(5 * kSecond, [] { sim::HangSpooler(); });
    sim::After(105 * kSecond, [] { sim::HangSpooler(); });
    EXPECT_EQ(0, RunServiceFor(2 * kMinute));
    const std::vector<std::wstring> expected = {L"I:Nimbrel service started.", L"W:" + kRepair,
                                                L"I:Print Spooler recovery completed successfully.",
                                                L"I:Nimbrel service stopped."};
    EXPECT_EQ(expected, Logged());
    // The second cycle begins at 10 s; its deadline ends at 30 s, the pause
    // before the repair at 33 s.
    EXPECT_EQ(std::vector<std::uint64_t>{33 * kSecond}, TimesOf(kRepair));
    EXPECT_EQ(std::vector<std::uint64_t>{2 * kMinute}, TimesOf(L"Nimbrel service stopped."));
    EXPECT_EQ(1u, sim::HeldSpoolerCalls());
}

} // namespace
} // namespace nimbrel::test
