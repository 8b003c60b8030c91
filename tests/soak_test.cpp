// The whole service over simulated weeks (NIMBREL_SOAK_DAYS, 7 by default;
// 90 for the long run) against a spooler that misbehaves at random: it
// stops, hangs start-pending or stop-pending, ignores stop requests, stops
// answering, pauses, jobs get stuck and queues deep, the plugin fails or
// hangs, platform calls fail, the wall clock is set back and forward by
// hours, and the tick count wraps. At every cycle boundary (the monitor's
// wait on its stop event) the test checks what must always hold: an
// automatic recovery starts only while fewer than MaxRestartsPerHour
// automatic recoveries, completed or failed, lie in the last hour of the
// clock the history uses; the rate-limit warning comes at most once an hour
// while the limit keeps refusing; at most one daily restart per local date
// while the clock is not set back; nothing open but the stop event, the
// monitor thread and at most one queue check's worker; no heap block alive;
// and the machine's bookkeeping does not grow.
#include "tests/service_fixture.h"

#include "recovery/restart_history.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <set>

namespace nimbrel::test {
namespace {

constexpr std::uint64_t kFileTimePerSecond = 10000000;
constexpr std::int64_t kUnixEpochSeconds = 11644473600; // 1601 to 1970
constexpr wchar_t kPluginCommand[] = L"\"C:\\Plugins\\check.exe\"";
constexpr wchar_t kSpool[] = L"C:\\Windows\\System32\\spool\\PRINTERS";
constexpr wchar_t kPrinter[] = L"Office";
constexpr DWORD kMaxRestartsPerHour = 3;
constexpr int kLocalOffsetMinutes = 60;

unsigned EnvNumber(const char* name, unsigned fallback) {
    const char* text = std::getenv(name);
    return text != nullptr && *text != 0 ? static_cast<unsigned>(std::strtoul(text, nullptr, 10))
                                         : fallback;
}

std::int64_t UnixSeconds(std::uint64_t fileTime) {
    return static_cast<std::int64_t>(fileTime / kFileTimePerSecond) - kUnixEpochSeconds;
}

class Soak : public ServiceTest {
  protected:
    // What the run found, for the report and the assertions: cycles, automatic
    // recoveries started and completed, rate-limit warnings, daily restarts,
    // misbehaviours injected, wall clock jumps, tick wraps.
    struct Tally {
        unsigned long long cycles = 0, automatic = 0, completed = 0, refusals = 0, scheduled = 0,
                           mishaps = 0, clockJumps = 0, tickWraps = 0;
    };

    // The random start of the run: another one gives another run.
    const unsigned randomStart_ = EnvNumber("NIMBREL_SOAK_RANDOM_START", 20261207);
    std::mt19937_64 random_{randomStart_};
    Tally tally_;
    std::vector<std::int64_t> completions_; // of automatic recoveries, history's clock
    bool automaticUnderWay_ = false;
    std::set<DWORD> restartDates_; // local dates with a daily restart since the clock was set back
    DWORD lastTick_ = 0;
    DWORD jobPid_ = 0; // the spooler process that holds the jobs
    DWORD nextJob_ = 1;
    // A jump of the wall clock waits for the next cycle boundary, so that an
    // automatic recovery is logged at the time its hourly limit was tested.
    std::int64_t clockJump_ = 0;
    std::int64_t lastJump_ = 0;
    static constexpr std::uint64_t kNoWarning = ~std::uint64_t{0};
    std::uint64_t lastWarningMs_ = kNoWarning; // virtual time of the last rate-limit warning

    std::uint64_t Uniform(std::uint64_t low, std::uint64_t high) {
        return std::uniform_int_distribution<std::uint64_t>(low, high)(random_);
    }

    // Something goes wrong every 20 minutes on average.
    void ScheduleMishap() {
        const auto gap = static_cast<std::uint64_t>(
            std::exponential_distribution<double>(1.0 / (20.0 * kMinute))(random_));
        sim::After(gap + 1, [this] {
            Mishap();
            ScheduleMishap();
        });
    }

    void Mishap() {
        ++tally_.mishaps;
        sim::Service& spooler = sim::Spooler();
        switch (Uniform(0, 12)) {
        case 0: // the spooler dies
            if (spooler.state != SERVICE_STOPPED) {
                sim::SetServiceState(L"Spooler", SERVICE_STOPPED);
            }
            break;
        case 1: // restarts by itself and hangs starting
            sim::SetServiceState(L"Spooler", SERVICE_START_PENDING);
            break;
        case 2: // hangs stopping
            sim::SetServiceState(L"Spooler", SERVICE_STOP_PENDING);
            break;
        case 3: // paused by someone
            sim::SetServiceState(L"Spooler", SERVICE_PAUSED);
            break;
        case 4: // for a while, ignores stop requests (and the next start hangs)
            spooler.stopPendingMs = sim::kNever;
            spooler.startPendingMs = Uniform(0, 1) ? sim::kNever : 700;
            sim::After(Uniform(10, 90) * kMinute, [] {
                sim::Spooler().stopPendingMs = 700;
                sim::Spooler().startPendingMs = 700;
            });
            break;
        case 5: // a job stuck printing
            AddJob(JOB_STATUS_PRINTING);
            break;
        case 6: // a deep queue of paused jobs
            for (int i = 0; i < 6; ++i) {
                AddJob(JOB_STATUS_PAUSED);
            }
            break;
        case 7: // the plugin fails, or hangs, for a while
            sim::AddProgram(kPluginCommand,
                            Uniform(0, 1) ? sim::Program{3, 200} : sim::Program{0, sim::kNever});
            sim::After(Uniform(5, 60) * kMinute, [] { sim::AddProgram(kPluginCommand, {0, 200}); });
            break;
        case 8: // one of the next platform calls fails
            sim::FailNthCall(static_cast<unsigned>(Uniform(1, 400)));
            break;
        case 9: // the wall clock is set back or forward by hours, between two cycles
            clockJump_ = static_cast<std::int64_t>(Uniform(1, 6) * 3600) * (Uniform(0, 1) ? 1 : -1);
            break;
        case 10: // files in the spool folder, one of them locked now and then
            sim::AddFile(std::wstring(kSpool) + L"\\" + std::to_wstring(nextJob_++) + L".SPL");
            if (Uniform(0, 3) == 0) {
                const std::wstring locked =
                    std::wstring(kSpool) + L"\\L" + std::to_wstring(nextJob_++) + L".SHD";
                sim::AddFile(locked);
                sim::FindFile(locked)->deleteError = ERROR_SHARING_VIOLATION;
                sim::After(Uniform(1, 30) * kMinute, [locked] {
                    if (sim::File* file = sim::FindFile(locked)) {
                        file->deleteError = 0;
                    }
                });
            }
            break;
        case 11: // stops answering questions about its queues, until it is restarted
            if (spooler.state == SERVICE_RUNNING) {
                sim::HangSpooler();
            }
            break;
        default: // nothing wrong this time
            break;
        }
    }

    void AddJob(DWORD status) {
        if (sim::Spooler().pid == 0) {
            return;
        }
        jobPid_ = sim::Spooler().pid;
        sim::AddJob(kPrinter, nextJob_++, L"report.pdf", status, sim::UtcSystemTime(0));
    }

    // At the monitor's wait between two cycles.
    void AtCycleBoundary() {
        if (HasFatalFailure()) {
            return; // one report of a broken invariant, not one per cycle
        }
        ++tally_.cycles;
        // And a queue check's worker that the spooler has not answered yet.
        const unsigned worker = QueueWorker != nullptr ? 1 : 0;
        ASSERT_EQ(1u, sim::OpenHandles(sim::HandleKind::Event));
        ASSERT_EQ(1u + worker, sim::OpenHandles(sim::HandleKind::Thread));
        // And the connection the Spooler's status-change notification is kept
        // on, with at most one notification outstanding.
        const unsigned watch = sim::OpenHandles(sim::HandleKind::Scm);
        ASSERT_LE(watch, 1u);
        ASSERT_EQ(watch, sim::OpenHandles(sim::HandleKind::Service));
        ASSERT_LE(sim::ArmedNotifications() + sim::QueuedNotifications(), watch);
        ASSERT_EQ(2u + worker + 2 * watch, sim::OpenHandles())
            << Narrow(sim::DescribeOpenHandles());
        ASSERT_LE(sim::LiveThreads(), 1u + worker);
        ASSERT_EQ(0u, sim::LiveHeapBlocks());
        ASSERT_TRUE(sim::Misuses().empty()) << sim::Misuses().front();
        for (const sim::Event& event : sim::Events()) {
            Observe(event);
        }
        // A restarted spooler starts with an empty queue.
        if (sim::Printer* printer = sim::FindPrinter(kPrinter);
            printer != nullptr && sim::Spooler().pid != jobPid_) {
            printer->jobs.clear();
        }
        if (sim::Tick() < lastTick_) {
            ++tally_.tickWraps;
        }
        lastTick_ = sim::Tick();
        if (clockJump_ != 0) {
            sim::JumpWallClock(clockJump_);
            if (clockJump_ < 0) {
                restartDates_.clear(); // a date seen again may have its restart again
            }
            lastJump_ = clockJump_;
            clockJump_ = 0;
            ++tally_.clockJumps;
        }
        sim::ForgetHistory();
        // The mishaps, the plugin's end and the restores: a handful at most.
        ASSERT_LT(sim::PendingActions(), 40u);
        ASSERT_LT(sim::Processes().size(), 10u);
    }

    void Observe(const sim::Event& event) {
        const std::wstring text = event.strings.empty() ? L"" : event.strings[0];
        const std::int64_t now = UnixSeconds(event.utc);
        if (text.rfind(L"Recovery started: ", 0) == 0) {
            automaticUnderWay_ = text.rfind(L"Recovery started: Automatic", 0) == 0;
        }
        if (text.rfind(L"Recovery started: Automatic", 0) == 0) {
            ++tally_.automatic;
            // The history counts what completed within the hour before now,
            // and what lies after now when the clock was set back.
            unsigned recent = 0;
            for (std::int64_t completion : completions_) {
                recent += completion >= now - 3600 ? 1 : 0;
            }
            ASSERT_LT(recent, kMaxRestartsPerHour)
                << "an automatic recovery past the limit at " << now;
        } else if (text == L"Recovery started: Scheduled nightly restart") {
            ++tally_.scheduled;
            const SYSTEMTIME local =
                sim::FromFileTime(event.utc + kLocalOffsetMinutes * 60ull * kFileTimePerSecond);
            const DWORD date = local.wYear * 10000u + local.wMonth * 100u + local.wDay;
            ASSERT_TRUE(restartDates_.insert(date).second)
                << "a second daily restart on local date " << date << " at " << Hhmm(local)
                << " after a clock jump of " << lastJump_ << " s";
        } else if (text == L"Print Spooler recovery completed successfully." &&
                   automaticUnderWay_) {
            ++tally_.completed;
            completions_.push_back(now);
            if (completions_.size() > 64) {
                completions_.erase(completions_.begin());
            }
            automaticUnderWay_ = false;
        } else if (text.rfind(L"Failed to st", 0) == 0) {
            if (automaticUnderWay_) {
                completions_.push_back(now); // a failed one counts too
            }
            automaticUnderWay_ = false;
        } else if (text == L"Print Spooler unhealthy but recovery rate limit reached. Waiting.") {
            ++tally_.refusals;
            ASSERT_TRUE(lastWarningMs_ == kNoWarning || event.elapsedMs - lastWarningMs_ >= kHour)
                << "a second rate-limit warning within the hour at " << now;
            lastWarningMs_ = event.elapsedMs;
        }
    }
};

TEST_F(Soak, MonthsOfAMisbehavingSpooler) {
    const unsigned days = EnvNumber("NIMBREL_SOAK_DAYS", 7);
    sim::SetRecording(false);
    sim::SetLocalOffsetMinutes(kLocalOffsetMinutes);
    StartClockAt(2026, 12, 7, 8, 0);            // 09:00 local on a Monday
    sim::SetTick(0xFFFFFFFFu - 10 * 60 * 1000); // wraps after 10 minutes, then every 49.7 days
    lastTick_ = sim::Tick();
    sim::SetTimeLimitMs(sim::ElapsedMs() + (days + 2) * kDay);

    sim::Spooler().stopPendingMs = 700;
    sim::Spooler().startPendingMs = 700;
    sim::AddFolder(kSpool);
    sim::AddPrinter(kPrinter);
    sim::AddFile(L"C:\\Plugins\\check.exe");
    sim::AddProgram(kPluginCommand, {0, 200});
    WriteIni(L"Monitor/MaxRestartsPerHour=" + std::to_wstring(kMaxRestartsPerHour) +
             L"\nRecovery/StopTimeoutMs=20000\nRecovery/StartTimeoutMs=30000\n"
             L"HealthCheck/EnablePluginCheck=1\nHealthCheck/PluginPath=C:\\Plugins\\check.exe\n"
             L"HealthCheck/MaxQueueJobs=5\nHealthCheck/PluginTimeoutMs=5000\n"
             L"Schedule/RestartTime=02:30\nSchedule/ClearSpoolOnScheduledRestart=1");

    sim::SetWaitObserver([this](HANDLE object, DWORD milliseconds) {
        if (object == StopEvent && milliseconds == Settings.CheckIntervalMs) {
            AtCycleBoundary();
        }
    });
    ScheduleMishap();

    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(0, RunServiceFor(days * kDay));
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    sim::SetWaitObserver(nullptr);

    std::printf(
        "[   soak   ] %u days (random start %u): %llu cycles, %llu mishaps, %llu clock "
        "jumps, %llu tick wraps; %llu automatic recoveries (%llu completed), %llu rate-limit "
        "warnings, %llu daily restarts; %.1f s\n",
        days, randomStart_, tally_.cycles, tally_.mishaps, tally_.clockJumps, tally_.tickWraps,
        tally_.automatic, tally_.completed, tally_.refusals, tally_.scheduled, seconds);
    EXPECT_GT(tally_.cycles, days * 6000ull) << "far fewer cycles than the days hold";
    EXPECT_GT(tally_.completed, 0u);
    EXPECT_GE(tally_.scheduled, days / 2) << "the daily restart hardly ran";
    EXPECT_EQ(SERVICE_STOPPED, sim::StatusReports().back().dwCurrentState);
    sim::ForgetHistory();
}

// A day of a spooler that cannot be repaired, with the defaults but no daily
// restart: one that never starts again, and one that crashes two minutes
// after every start. Failed recoveries count against the hourly limit and
// the limit's warning comes once an hour, so the event log gets at most
// 2 x MaxRestartsPerHour + 1 events in any hour of the clock.
TEST_F(ServiceTest, ASpoolerThatCannotBeRepairedWritesAtMostSevenEventsAnHour) {
    for (const bool neverStarts : {true, false}) {
        SCOPED_TRACE(neverStarts ? "never starts" : "crashes 2 min after every start");
        SetUp();
        sim::SetRecording(false);
        WriteIni(L"Schedule/EnableScheduledRestart=0");
        sim::Spooler().stopPendingMs = 700;
        sim::Spooler().startPendingMs = 700;
        sim::Spooler().startFailsToRun = neverStarts;
        sim::SetServiceState(L"Spooler", SERVICE_STOPPED);
        std::vector<unsigned> perHour(24, 0);
        DWORD doomed = 0; // the spooler process whose crash is scheduled
        sim::SetWaitObserver([&](HANDLE, DWORD) {
            const DWORD pid = sim::Spooler().pid;
            if (sim::Spooler().state == SERVICE_RUNNING && pid != doomed) {
                doomed = pid;
                sim::After(2 * kMinute, [pid] {
                    if (sim::Spooler().pid == pid) {
                        sim::SetServiceState(L"Spooler", SERVICE_STOPPED);
                    }
                });
            }
        });
        RunServiceFor(kDay);
        sim::SetWaitObserver(nullptr);
        unsigned total = 0;
        for (const sim::Event& event : sim::Events()) {
            const std::wstring& text = event.strings.at(0);
            if (text.rfind(L"Nimbrel service", 0) != 0 && SinceStart(event) < kDay) {
                ++perHour[SinceStart(event) / kHour];
                ++total;
            }
        }
        const unsigned busiest = *std::max_element(perHour.begin(), perHour.end());
        std::printf("[   soak   ] a spooler that %s: %u events in a day, at most %u in an hour\n",
                    neverStarts ? "never starts" : "crashes 2 min after every start", total,
                    busiest);
        EXPECT_LE(busiest, 2 * 3 + 1u);
        // The limit refuses from the third recovery of each hour on: one
        // warning an hour, no more and no fewer.
        EXPECT_EQ(24u, EventsReading(L"Print Spooler unhealthy but recovery rate limit reached. "
                                     L"Waiting.")
                           .size());
        EXPECT_LE(total, 24 * 7u);
        EXPECT_GE(total, 24 * 6u) << "it is still tried, three times an hour";
        sim::ForgetHistory();
    }
}

} // namespace
} // namespace nimbrel::test
