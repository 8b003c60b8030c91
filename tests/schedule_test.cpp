// The daily restart: how its time is read, and when it comes over simulated weeks.
#include "tests/service_fixture.h"

#include <climits>

namespace nimbrel::test {
namespace {

// Numbers beyond 32 bits, which the C library's scan leaves undefined, and signs.
TEST(ParseRestartTime, ReadsLikeTheCRuntimeScanOfTwoIntegersAndSaturates) {
    const struct {
        const wchar_t* text;
        int converted;
        std::int32_t hour, minute; // -9 and -7: left alone
    } cases[] = {
        {L"14:", 1, 14, -7},
        {L"14:\t\r\n30", 2, 14, 30},
        {L"+7:-5", 2, 7, -5},
        {L":30", 0, -9, -7},
        {L"", -1, -9, -7},
        {L"99999999999999999999999:-99999999999999999999", 2, INT_MAX, INT_MIN},
        {L"18446744073709551616:5", 2, INT_MAX, 5}, // 2 to the 64th: 0 if it wrapped
        {L"-2147483649", 1, INT_MIN, -7},
    };
    for (const auto& c : cases) {
        std::int32_t hour = -9, minute = -7;
        EXPECT_EQ(c.converted, ParseRestartTime(c.text, &hour, &minute)) << Narrow(c.text);
        EXPECT_EQ(c.hour, hour) << Narrow(c.text);
        EXPECT_EQ(c.minute, minute) << Narrow(c.text);
    }
}

class ScheduleTest : public ServiceTest {
  protected:
    void SetUp() override {
        ServiceTest::SetUp();
        sim::SetRecording(false);
    }
    std::vector<std::string> RestartTimes() const {
        return ClockTimesOf(L"Recovery started: Scheduled nightly restart");
    }
};

// Minutes past 59 run over into the hours; a time of a day or more, below zero or not a
// number is never reached.
TEST_F(ScheduleTest, RestartDaysAndRestartTimeSayWhenItIsDue) {
    const std::string kAll = "Mon Tue Wed Thu Fri Sat Sun";
    const struct {
        const wchar_t* line;
        std::string days, time;
    } cases[] = {
        {L"RestartDays=", kAll, "02:00"},
        {L"RestartDays=mon, WED ,fri", "Mon Wed Fri", "02:00"},
        {L"RestartDays=Sat,, ,Sun", "Sat Sun", "02:00"},
        {L"RestartDays=,tHU,\tsat\t,", "Thu Sat", "02:00"},
        {L"RestartDays=Mon;Tue", "", ""},
        {L"RestartDays=1,Mo,Tues,Wed.", "", ""},
        {L"RestartTime=14", kAll, "14:00"},
        {L"RestartTime=14.30", kAll, "14:00"},
        {L"RestartTime=\t 7:75 \t", kAll, "08:15"},
        {L"RestartTime=0:1439", kAll, "23:59"},
        {L"RestartTime=0:1440", "", ""},
        {L"RestartTime=-1:00", "", ""},
        {L"RestartTime=0:-1", "", ""},
        {L"RestartTime=abc", "", ""},
    };
    for (const auto& c : cases) {
        SetUp();
        StartClockAt(2026, 12, 7, 0, 0);
        WriteIni(L"Monitor/CheckIntervalMs=60000\nSchedule/" + std::wstring(c.line));
        RunServiceFor(7 * kDay - kMinute / 2); // checked every minute of a week
        std::vector<std::string> expected;
        for (std::size_t at = 0; at < c.days.size(); at += 4) {
            expected.push_back(c.days.substr(at, 3) + " " + c.time);
        }
        EXPECT_EQ(expected, RestartTimes()) << Narrow(c.line);
    }
}

// Started after 02:00 it restarts at once; a failed restart is not repeated that day, the
// repair waits for the next cycle, and the folder follows the daily restart's own switch.
TEST_F(ScheduleTest, StartedAt10ItRestartsAtOnceThenAt2DailyClearingByItsOwnSwitch) {
    const std::wstring file = L"C:\\Windows\\system32\\spool\\PRINTERS\\1.SPL";
    StartClockAt(2026, 12, 7, 10, 0);
    WriteIni(L"Schedule/ClearSpoolOnScheduledRestart=0\nMonitor/ClearSpoolOnRecovery=1");
    sim::SetServiceState(L"Spooler", SERVICE_STOPPED);
    sim::Spooler().stopError = ERROR_ACCESS_DENIED;
    sim::After(5 * kSecond, [] { sim::Spooler().stopError = 0; });
    sim::After(At(0, 15, 0), [file] { sim::AddFile(file); }); // Tuesday 01:00
    RunServiceFor(At(1, 16, 1));                              // Wednesday 02:01

    EXPECT_EQ((std::vector<std::string>{"Mon 10:00", "Tue 02:00", "Wed 02:00"}), RestartTimes());
    EXPECT_TRUE(sim::Exists(file));
    EXPECT_EQ(L"E:Failed to stop Print Spooler during recovery.", Logged().at(2));
    EXPECT_EQ(L"W:Recovery started: Automatic recovery: Print Spooler service is stopped",
              Logged().at(3));
    EXPECT_EQ(13 * kSecond, SinceStart(sim::Events()[3]));
}

// Monday's restart ends on Tuesday at 00:01, so Tuesday has none.
TEST_F(ScheduleTest, ARestartThatEndsAfterMidnightCountsForTheNewDay) {
    StartClockAt(2026, 12, 7, 23, 0);
    WriteIni(L"Schedule/RestartTime=23:59\nRecovery/StopTimeoutMs=300000");
    sim::Spooler().stopPendingMs = 2 * kMinute;
    RunServiceFor(At(3, 0, 30)); // Thursday 23:30
    EXPECT_EQ((std::vector<std::string>{"Mon 23:59", "Wed 23:59"}), RestartTimes());
    EXPECT_EQ(20261210u, g_LastScheduledRestartDate);
}

// A clock set forward by mistake and corrected must not silence the restart until that date.
TEST_F(ScheduleTest, AClockSetForwardAndCorrectedDoesNotSilenceTheRestart) {
    StartClockAt(2026, 12, 7, 1, 0);                                      // Monday
    sim::After(At(0, 9, 0), [] { sim::JumpWallClock(3 * 24 * 3600); });   // to Thursday 10:00
    sim::After(At(0, 9, 30), [] { sim::JumpWallClock(-3 * 24 * 3600); }); // back at 10:30
    RunServiceFor(At(2, 2, 0));                                           // until Wed 03:00
    EXPECT_EQ(
        (std::vector<std::string>{"Mon 02:00", "Mon 10:00", "Mon 10:30", "Tue 02:00", "Wed 02:00"}),
        RestartTimes());
}

} // namespace
} // namespace nimbrel::test
