// A spooler that stops answering while the service manager still reports it
// running: the service repairs it, and a stop does not wait for the worker
// that asked it.
#include "tests/service_fixture.h"

namespace nimbrel::test {
namespace {

class SilentSpooler : public ServiceTest {};

// The silence is found one deadline into the cycle, and the repair ends the
// spooler, which releases the call: later cycles ask anew and are healthy.
TEST_F(SilentSpooler, TheServiceRepairsItAndAStopDoesNotWaitForTheWorker) {
    const std::wstring repair = L"Recovery started: Automatic recovery: Print Spooler not "
                                L"responding (no answer to a print queue request within 20000 ms)";
    sim::SetRecording(false);
    sim::AddPrinter(L"Office");
    sim::Spooler().stopPendingMs = sim::kNever; // a deadlocked spooler only ends
    WriteIni(L"Schedule/EnableScheduledRestart=0\nHealthCheck/QueueCheckTimeoutMs=20000\n"
             L"Recovery/StopTimeoutMs=5000");
    sim::After(5 * kSecond, [] { sim::HangSpooler(); });
    sim::After(105 * kSecond, [] { sim::HangSpooler(); });
    EXPECT_EQ(0, RunServiceFor(2 * kMinute));
    const std::vector<std::wstring> expected = {L"I:Nimbrel service started.", L"W:" + repair,
                                                L"I:Print Spooler recovery completed successfully.",
                                                L"I:Nimbrel service stopped."};
    EXPECT_EQ(expected, Logged());
    // The second cycle begins at 10 s; its deadline ends at 30 s, the pause
    // before the repair at 33 s.
    EXPECT_EQ(33 * kSecond, SinceStart(EventsReading(repair).at(0)));
    EXPECT_EQ(2 * kMinute, SinceStart(EventsReading(L"Nimbrel service stopped.").at(0)));
    EXPECT_EQ(1u, sim::HeldSpoolerCalls());
    sim::ReleaseSpooler();
    sim::AdvanceMs(1);
    EXPECT_EQ(0u, sim::LiveThreads());
}

} // namespace
} // namespace nimbrel::test
