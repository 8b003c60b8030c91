// The running service judges a spooling or printing job by its progress as
// well as its age: a long document that is still printing is not stuck.
// "status" looks once and keeps the age rule alone.
#include "tests/support.h"

#include <functional>

namespace nimbrel::test {
namespace {

constexpr std::uint64_t kMinute = 60000;

class JobProgress : public SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        sim::SetRecording(false);
        sim::AddPrinter(L"Office");
        WatchJobProgress = 1;
    }

    // Checks the queues once a minute for `minutes`, letting `change` act on
    // the job before each check; the minute of the first "stuck", or -1.
    static int FirstStuckMinute(const std::function<void(int, sim::Job&)>& change,
                                int minutes = 12) {
        for (int minute = 0; minute <= minutes; ++minute) {
            change(minute, sim::FindPrinter(L"Office")->jobs.front());
            LastIssue[0] = 0;
            if (!CheckPrintQueues()) {
                return minute;
            }
            sim::AdvanceMs(kMinute);
        }
        return -1;
    }
};

TEST_F(JobProgress, AJobIsStuckOnlyOnceItHasShownNoProgressForTheLimit) {
    const struct {
        const char* name;
        std::int64_t submittedSecondsAgo;
        DWORD status;
        std::function<void(int, sim::Job&)> change;
        int service; // first stuck minute in the service; -1: never
        int status1; // ... for "status", which looks without memory
    } cases[] = {
        {"printing pages", 20 * 60, JOB_STATUS_PRINTING,
         [](int minute, sim::Job& job) { job.pagesPrinted = static_cast<DWORD>(minute); }, -1, 0},
        {"still spooling", 20 * 60, JOB_STATUS_SPOOLING,
         [](int minute, sim::Job& job) { job.size = 4096u * static_cast<DWORD>(minute); }, -1, 0},
        {"spooled, then printing", 20 * 60, JOB_STATUS_SPOOLING,
         [](int minute, sim::Job& job) {
             job.status = minute < 4 ? JOB_STATUS_SPOOLING : JOB_STATUS_PRINTING;
         },
         10, 0},
        // Watched from minute 3: the limit is passed after minute 8.
        {"stops at minute 3", 20 * 60, JOB_STATUS_PRINTING,
         [](int minute, sim::Job& job) {
             job.pagesPrinted = static_cast<DWORD>(std::min(minute, 3));
         },
         9, 0},
        // Nothing is known of it before the service saw it.
        {"old and still", 60 * 60, JOB_STATUS_PRINTING, [](int, sim::Job&) {}, 6, 0},
        {"young and still", 0, JOB_STATUS_PRINTING, [](int, sim::Job&) {}, 6, 6},
        // Neither spooling nor printing: never stuck, and not watched.
        {"paused", 60 * 60, JOB_STATUS_PAUSED, [](int, sim::Job&) {}, -1, -1},
    };
    for (const auto& c : cases) {
        for (int service : {1, 0}) {
            SCOPED_TRACE(std::string(c.name) + (service ? " in the service" : " in status"));
            Fresh();
            sim::SetRecording(false);
            sim::AddPrinter(L"Office");
            WatchJobProgress = service;
            sim::AddJob(L"Office", 7, L"handbook.pdf", c.status,
                        sim::UtcSystemTime(c.submittedSecondsAgo));
            EXPECT_EQ(service ? c.service : c.status1, FirstStuckMinute(c.change));
            if (!Issue().empty()) {
                EXPECT_EQ(L"Stuck print job on 'Office' (job 7, document: handbook.pdf)", Issue());
            }
            ExpectNothingLeftOpen();
        }
    }
}

// A full memory leaves the jobs beyond it unwatched, never judged stuck;
// jobs that are gone are forgotten and make room.
TEST_F(JobProgress, TheMemoryIsBoundedAndForgetsJobsThatAreGone) {
    const DWORD watchable = static_cast<DWORD>(kWatchedJobsCapacity);
    for (DWORD id = 1; id <= watchable + 1; ++id) {
        sim::AddJob(L"Office", id, L"a", JOB_STATUS_PRINTING, sim::UtcSystemTime(3600));
    }
    // All but the last keep printing; the last never moves, but is not watched.
    std::vector<sim::Job>& jobs = sim::FindPrinter(L"Office")->jobs;
    for (int minute = 0; minute <= 10; ++minute) {
        for (DWORD i = 0; i < watchable; ++i) {
            jobs[i].pagesPrinted = static_cast<DWORD>(minute);
        }
        EXPECT_EQ(1, CheckPrintQueues()) << "minute " << minute;
        sim::AdvanceMs(kMinute);
    }
    EXPECT_EQ(kWatchedJobsCapacity, WatchedJobs());

    // Once room is made, the last is watched from the next look on.
    jobs.erase(jobs.begin(), jobs.begin() + 10);
    EXPECT_EQ(1, CheckPrintQueues());
    EXPECT_EQ(kWatchedJobsCapacity - 10, WatchedJobs());
    EXPECT_EQ(1, CheckPrintQueues());
    EXPECT_EQ(kWatchedJobsCapacity - 9, WatchedJobs());
    jobs.erase(jobs.begin(), jobs.end() - 1);
    EXPECT_EQ(1, CheckPrintQueues());
    EXPECT_EQ(1u, WatchedJobs());
    sim::AdvanceMs(5 * kMinute + 1);
    EXPECT_EQ(0, CheckPrintQueues());
}

} // namespace
} // namespace nimbrel::test
