// The whole service for simulated weeks (NIMBREL_SOAK_DAYS, 7 by default; NIMBREL_SOAK_RANDOM_START
// for another run) against a spooler that misbehaves at random, failing platform calls, a wall
// clock set back and forward and a wrapping tick count, checked at every cycle boundary.
#include "tests/service_fixture.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <set>

namespace nimbrel::test {
namespace {

constexpr wchar_t kPlugin[] = L"\"C:\\Plugins\\check.exe\"";
constexpr wchar_t kSpool[] = L"C:\\Windows\\System32\\spool\\PRINTERS\\";
constexpr std::uint64_t kLocalOffset = 36000000000; // one hour east, in file-time units

unsigned EnvNumber(const char* name, unsigned fallback) {
    const char* text = std::getenv(name);
    return text != nullptr && *text != 0 ? static_cast<unsigned>(std::strtoul(text, nullptr, 10))
                                         : fallback;
}

void Unlock(const std::wstring& path) {
    if (sim::File* file = sim::FindFile(path)) {
        file->deleteError = 0;
    }
}

class Soak : public ServiceTest {
  protected:
    const unsigned randomStart_ = EnvNumber("NIMBREL_SOAK_RANDOM_START", 20261207);
    std::mt19937_64 random_{randomStart_};
    unsigned long long cycles_ = 0, automatic_ = 0, completed_ = 0, refusals_ = 0, scheduled_ = 0,
                       mishaps_ = 0, clockJumps_ = 0;
    std::vector<std::int64_t> automaticEnds_; // done or failed, on the history's clock
    bool automaticUnderWay_ = false;
    std::set<std::uint64_t> restartDates_; // since the clock was last set back
    DWORD jobPid_ = 0, nextJob_ = 1;       // the spooler process that holds the jobs
    std::int64_t clockJump_ = 0; // made at a cycle boundary, where the hourly limit is tested
    std::uint64_t lastWarningMs_ = 0;

    std::uint64_t Uniform(std::uint64_t low, std::uint64_t high) {
        return std::uniform_int_distribution<std::uint64_t>(low, high)(random_);
    }

    // Something goes wrong every 20 minutes on average; some of it only for a while.
    void ScheduleMishap() {
        const double gap = std::exponential_distribution<double>(1.0 / (20.0 * kMinute))(random_);
        sim::After(static_cast<std::uint64_t>(gap) + 1, [this] {
            Mishap();
            ScheduleMishap();
        });
    }

    void Mishap() {
        ++mishaps_;
        sim::Service& spooler = sim::Spooler();
        const DWORD states[] = {SERVICE_STOPPED, SERVICE_START_PENDING, SERVICE_STOP_PENDING,
                                SERVICE_PAUSED};
        const std::uint64_t kind = Uniform(0, 12);
        if (kind < 4 && spooler.state != states[kind]) {
            sim::SetServiceState(L"Spooler", states[kind]);
        } else if (kind == 4) { // ignores stop requests, and the next start may hang
            spooler.stopPendingMs = sim::kNever;
            spooler.startPendingMs = Uniform(0, 1) ? sim::kNever : 700;
            sim::After(Uniform(10, 90) * kMinute,
                       [] { sim::Spooler().stopPendingMs = sim::Spooler().startPendingMs = 700; });
        } else if (kind == 5 || kind == 6) { // a job stuck printing, or a deep queue
            for (int i = kind == 5 ? 5 : 0; i < 6 && spooler.pid != 0; ++i) {
                jobPid_ = spooler.pid;
                sim::AddJob(L"Office", nextJob_++, L"report.pdf",
                            kind == 5 ? JOB_STATUS_PRINTING : JOB_STATUS_PAUSED,
                            sim::UtcSystemTime(0));
            }
        } else if (kind == 7) { // the plugin fails, or hangs
            sim::AddProgram(kPlugin,
                            Uniform(0, 1) ? sim::Program{3, 200} : sim::Program{0, sim::kNever});
            sim::After(Uniform(5, 60) * kMinute, [] { sim::AddProgram(kPlugin, {0, 200}); });
        } else if (kind == 8) {
            sim::FailNthCall(static_cast<unsigned>(Uniform(1, 400)));
        } else if (kind == 9) {
            clockJump_ = static_cast<std::int64_t>(Uniform(1, 6) * 3600) * (Uniform(0, 1) ? 1 : -1);
        } else if (kind == 10) { // spool files, now and then one locked for a while
            const std::wstring name = kSpool + std::to_wstring(nextJob_++);
            sim::AddFile(name + L".SPL");
            if (Uniform(0, 3) == 0) {
                sim::AddFile(name + L".SHD");
                sim::FindFile(name + L".SHD")->deleteError = ERROR_SHARING_VIOLATION;
                sim::After(Uniform(1, 30) * kMinute, [name] { Unlock(name + L".SHD"); });
            }
        } else if (kind == 11 && spooler.state == SERVICE_RUNNING) {
            sim::HangSpooler(); // until it is restarted
        }
    }

    // Open: the stop event, the monitor thread, a queue worker the spooler has not answered yet,
    // and the manager and service handles of the status-change watch with at most one notice.
    void AtCycleBoundary() {
        ++cycles_;
        const unsigned worker = g_QueueWorker != nullptr ? 1 : 0;
        const unsigned watch = sim::OpenHandles(sim::HandleKind::Scm);
        ASSERT_LE(watch, 1u);
        ASSERT_EQ(watch, sim::OpenHandles(sim::HandleKind::Service));
        ASSERT_EQ(2u + worker + 2 * watch, sim::OpenHandles())
            << Narrow(sim::DescribeOpenHandles());
        ASSERT_LE(sim::ArmedNotifications() + sim::QueuedNotifications(), watch);
        ASSERT_LE(sim::LiveThreads(), 1u + worker);
        ASSERT_EQ(0u, sim::LiveHeapBlocks());
        ASSERT_TRUE(sim::Misuses().empty()) << sim::Misuses().front();
        for (const sim::Event& event : sim::Events()) {
            Observe(event);
        }
        if (sim::Printer* printer = sim::FindPrinter(L"Office");
            printer != nullptr && sim::Spooler().pid != jobPid_) {
            printer->jobs.clear(); // a restarted spooler starts with an empty queue
        }
        if (clockJump_ != 0) {
            sim::JumpWallClock(clockJump_);
            if (clockJump_ < 0) {
                restartDates_.clear(); // a date seen again may have its restart again
            }
            clockJump_ = 0;
            ++clockJumps_;
        }
        sim::ForgetHistory(); // the records must stay small
        ASSERT_LT(sim::PendingActions(), 40u);
        ASSERT_LT(sim::Processes().size(), 10u);
    }

    // An automatic recovery starts only while fewer than 3 automatic recoveries ended in the
    // hour before it on the history's clock (those after it, when the clock was set back, count);
    // the limit's warning comes at most once an hour; a local date has one daily restart.
    void Observe(const sim::Event& event) {
        const std::wstring& text = event.strings.at(0);
        const std::int64_t now = static_cast<std::int64_t>(event.utc / 10000000) - 11644473600;
        if (text.rfind(L"Recovery started: ", 0) == 0) {
            automaticUnderWay_ = text.rfind(L"Recovery started: Automatic", 0) == 0;
            automatic_ += automaticUnderWay_ ? 1 : 0;
            scheduled_ += automaticUnderWay_ ? 0 : 1;
            ASSERT_TRUE(automaticUnderWay_ ||
                        restartDates_.insert((event.utc + kLocalOffset) / (kDay * 10000)).second)
                << "a second daily restart on a local date at " << now;
            ASSERT_LT(std::count_if(automaticEnds_.begin(), automaticEnds_.end(),
                                    [now](std::int64_t t) { return t >= now - 3600; }),
                      automaticUnderWay_ ? 3 : 1000)
                << "an automatic recovery past the limit at " << now;
        } else if (const bool done = text == L"Print Spooler recovery completed successfully.";
                   done || text.rfind(L"Failed to st", 0) == 0) {
            if (automaticUnderWay_) {
                completed_ += done ? 1 : 0;
                automaticEnds_.push_back(now);
            }
            automaticUnderWay_ = false;
        } else if (text == L"Print Spooler unhealthy but recovery rate limit reached. Waiting.") {
            ASSERT_TRUE(refusals_++ == 0 || event.elapsedMs - lastWarningMs_ >= kHour)
                << "a second rate-limit warning within the hour at " << now;
            lastWarningMs_ = event.elapsedMs;
        }
    }
};

TEST_F(Soak, MonthsOfAMisbehavingSpooler) {
    const unsigned days = EnvNumber("NIMBREL_SOAK_DAYS", 7);
    sim::SetRecording(false);
    sim::SetLocalOffsetMinutes(60);
    StartClockAt(2026, 12, 7, 8, 0);            // 09:00 local on a Monday
    sim::SetTick(0xFFFFFFFFu - 10 * 60 * 1000); // wraps after 10 minutes, then every 49.7 days
    sim::SetTimeLimitMs(sim::ElapsedMs() + (days + 2) * kDay);
    sim::Spooler().stopPendingMs = sim::Spooler().startPendingMs = 700;
    sim::AddFolder(L"C:\\Windows\\System32\\spool\\PRINTERS");
    sim::AddPrinter(L"Office");
    sim::AddFile(L"C:\\Plugins\\check.exe");
    sim::AddProgram(kPlugin, {0, 200});
    WriteIni(L"Monitor/MaxRestartsPerHour=3\nRecovery/StopTimeoutMs=20000\n"
             L"Recovery/StartTimeoutMs=30000\nHealthCheck/EnablePluginCheck=1\n"
             L"HealthCheck/PluginPath=C:\\Plugins\\check.exe\nHealthCheck/MaxQueueJobs=5\n"
             L"HealthCheck/PluginTimeoutMs=5000\nSchedule/RestartTime=02:30\n"
             L"Schedule/ClearSpoolOnScheduledRestart=1");
    sim::SetWaitObserver([this](HANDLE object, DWORD milliseconds) {
        // One report of a broken invariant, not one per cycle.
        if (object == g_StopEvent && milliseconds == g_Settings.CheckIntervalMs &&
            !HasFatalFailure()) {
            AtCycleBoundary();
        }
    });
    ScheduleMishap();
    EXPECT_EQ(0, RunServiceFor(days * kDay));
    sim::SetWaitObserver(nullptr);
    std::printf("[   soak   ] %u days (random start %u): %llu cycles, %llu mishaps, %llu clock "
                "jumps; %llu automatic recoveries (%llu completed), %llu rate-limit warnings, "
                "%llu daily restarts\n",
                days, randomStart_, cycles_, mishaps_, clockJumps_, automatic_, completed_,
                refusals_, scheduled_);
    EXPECT_GT(cycles_, days * 6000ull) << "far fewer cycles than the days hold";
    EXPECT_GT(completed_, 0u);
    EXPECT_GE(scheduled_, days / 2) << "the daily restart hardly ran";
    EXPECT_EQ(SERVICE_STOPPED, sim::StatusReports().back().dwCurrentState);
    sim::ForgetHistory();
}

} // namespace
} // namespace nimbrel::test
