// The daily restart: when it comes, over simulated days and weeks of a
// running service, and how its time of day is read.
#include "tests/service_fixture.h"

#include <climits>

namespace nimbrel::test {
namespace {

// ---- Reading RestartTime ------------------------------------------------------

struct TimeText {
    const wchar_t* text;
    int converted;
    std::int32_t hour;
    std::int32_t minute;
};

TEST(ParseRestartTime, ReadsLikeTheCRuntimeScanOfTwoIntegers) {
    const TimeText cases[] = {
        {L"02:00", 2, 2, 0},
        {L"14", 1, 14, -7},
        {L"14:", 1, 14, -7},
        {L"14.30", 1, 14, -7},
        {L"14 :30", 1, 14, -7},
        {L"14: 30", 2, 14, 30},
        {L"14:\t\r\n30", 2, 14, 30},
        {L" \t7:75", 2, 7, 75},
        {L"+7:-5", 2, 7, -5},
        {L"-1:00", 2, -1, 0},
        {L"007:08x", 2, 7, 8},
        {L"9:x", 1, 9, -7},
        {L"9:-", 1, 9, -7},
        {L"abc", 0, -9, -7},
        {L":30", 0, -9, -7},
        {L"-", 0, -9, -7},
        {L"+ 5", 0, -9, -7},
        {L"", -1, -9, -7},
        {L" \t ", -1, -9, -7},
        // Beyond 32 bits: saturated, never undefined.
        {L"2147483647:1", 2, INT_MAX, 1},
        {L"2147483648:1", 2, INT_MAX, 1},
        {L"99999999999999999999999:-99999999999999999999", 2, INT_MAX, INT_MIN},
        {L"-2147483648", 1, INT_MIN, -7},
        {L"-2147483649", 1, INT_MIN, -7},
    };
    for (const TimeText& c : cases) {
        SCOPED_TRACE(SimTest::Narrow(c.text));
        std::int32_t hour = -9;
        std::int32_t minute = -7;
        EXPECT_EQ(c.converted, ParseRestartTime(c.text, &hour, &minute));
        EXPECT_EQ(c.hour, hour);
        EXPECT_EQ(c.minute, minute);
    }
}

// ---- The daily restart over days of service ---------------------------------

// A test name from a table row's text: its letters and digits, or "empty".
std::string RowName(std::size_t index, const wchar_t* text) {
    std::string name = "Row" + std::to_string(index) + "_";
    bool any = false;
    for (const wchar_t* p = text; *p; ++p) {
        const bool alnum =
            (*p >= L'a' && *p <= L'z') || (*p >= L'A' && *p <= L'Z') || (*p >= L'0' && *p <= L'9');
        name += alnum ? static_cast<char>(*p) : '_';
        any = true;
    }
    return any ? name : name + "empty";
}

class ScheduleTest : public ServiceTest {
  protected:
    // Local "Www hh:mm" of every daily restart that began.
    std::vector<std::string> RestartTimes() const {
        static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
        std::vector<std::string> times;
        for (const sim::Event& event : ScheduledRestarts()) {
            SYSTEMTIME t = LocalTimeOf(event);
            times.push_back(std::string(kDays[t.wDayOfWeek]) + " " + Hhmm(t));
        }
        return times;
    }
};

TEST_F(ScheduleTest, SwitchedOffItReadsNoTime) {
    Settings.EnableScheduledRestart = 0;
    EXPECT_EQ(0, CheckSchedule());
    EXPECT_EQ(0u, sim::CountCalls(sim::Op::GetLocalTime));
    EXPECT_EQ(0u, LastScheduledRestartDate);
}

struct DaysCase {
    const wchar_t* restartDays;
    std::vector<std::string> restarts; // over Monday 00:00 to Sunday 23:59
};

void PrintTo(const DaysCase& row, std::ostream* out) {
    *out << '"' << SimTest::Narrow(row.restartDays) << '"';
}

class RestartDaysTest : public ScheduleTest, public ::testing::WithParamInterface<DaysCase> {};

TEST_P(RestartDaysTest, SelectTheDaysOfAWeek) {
    StartClockAt(2026, 12, 7, 0, 0); // Monday
    WriteIni({{L"CheckIntervalMs", L"60000"}, {L"RestartDays", GetParam().restartDays}});
    sim::SetRecording(false);
    RunServiceFor(7 * kDay - kMinute / 2);
    EXPECT_EQ(GetParam().restarts, RestartTimes());
}

INSTANTIATE_TEST_SUITE_P(
    Table, RestartDaysTest,
    ::testing::Values(DaysCase{L"",
                               {"Mon 02:00", "Tue 02:00", "Wed 02:00", "Thu 02:00", "Fri 02:00",
                                "Sat 02:00", "Sun 02:00"}},
                      DaysCase{L"mon, WED ,fri", {"Mon 02:00", "Wed 02:00", "Fri 02:00"}},
                      DaysCase{L"Sun", {"Sun 02:00"}}, DaysCase{L"Monday", {}},
                      DaysCase{L"Mon;Tue", {}}, DaysCase{L",,", {}},
                      DaysCase{L"Sat,,Sun", {"Sat 02:00", "Sun 02:00"}},
                      DaysCase{L"Mon, ,Tue", {"Mon 02:00", "Tue 02:00"}},
                      DaysCase{L",tHU,\tsat\t,", {"Thu 02:00", "Sat 02:00"}},
                      DaysCase{L"1,2,Mo,Tues,Wed.", {}}),
    [](const ::testing::TestParamInfo<DaysCase>& info) {
        return RowName(info.index, info.param.restartDays);
    });

struct TimeCase {
    const wchar_t* restartTime;
    std::vector<std::string> restarts; // over Monday 00:00 to Tuesday 23:59
};

void PrintTo(const TimeCase& row, std::ostream* out) {
    *out << '"' << SimTest::Narrow(row.restartTime) << '"';
}

class RestartTimeTest : public ScheduleTest, public ::testing::WithParamInterface<TimeCase> {};

TEST_P(RestartTimeTest, SetsTheTimeOfDayFromWhichItIsDue) {
    StartClockAt(2026, 12, 7, 0, 0); // Monday
    WriteIni({{L"CheckIntervalMs", L"60000"}, {L"RestartTime", GetParam().restartTime}});
    sim::SetRecording(false);
    RunServiceFor(2 * kDay - kMinute / 2);
    EXPECT_EQ(GetParam().restarts, RestartTimes());
}

INSTANTIATE_TEST_SUITE_P(Table, RestartTimeTest,
                         ::testing::Values(TimeCase{L"02:00", {"Mon 02:00", "Tue 02:00"}},
                                           TimeCase{L"14", {"Mon 14:00", "Tue 14:00"}},
                                           TimeCase{L"14:", {"Mon 14:00", "Tue 14:00"}},
                                           TimeCase{L"14.30", {"Mon 14:00", "Tue 14:00"}},
                                           TimeCase{L"14 :30", {"Mon 14:00", "Tue 14:00"}},
                                           TimeCase{L"\t 14:30 \t", {"Mon 14:30", "Tue 14:30"}},
                                           TimeCase{L"7:75", {"Mon 08:15", "Tue 08:15"}},
                                           TimeCase{L"1:90", {"Mon 02:30", "Tue 02:30"}},
                                           TimeCase{L"0:00", {"Mon 00:00", "Tue 00:00"}},
                                           TimeCase{L"23:59", {"Mon 23:59", "Tue 23:59"}},
                                           TimeCase{L"0:1439", {"Mon 23:59", "Tue 23:59"}},
                                           TimeCase{L"0:1440", {}}, TimeCase{L"24:00", {}},
                                           TimeCase{L"-1:00", {}}, TimeCase{L"0:-1", {}},
                                           TimeCase{L"9999999", {}}, TimeCase{L"abc", {}},
                                           TimeCase{L":30", {}}),
                         [](const ::testing::TestParamInfo<TimeCase>& info) {
                             return RowName(info.index, info.param.restartTime);
                         });

TEST_F(ScheduleTest, WithTheDefaultsAServiceStartedAt10RestartsAtOnceThenAt2Daily) {
    StartClockAt(2026, 12, 7, 10, 0);
    // A spooler that cannot be stopped: the daily restart fails and leaves
    // it stopped, so a health step in the same cycle would recover it.
    sim::SetServiceState(L"Spooler", SERVICE_STOPPED);
    sim::Spooler().stopError = ERROR_ACCESS_DENIED;
    sim::SetRecording(false);
    sim::After(5 * kSecond, [] { sim::Spooler().stopError = 0; });
    RunServiceFor(At(1, 16, 1)); // Wednesday 02:01

    EXPECT_EQ((std::vector<std::string>{"Mon 10:00", "Tue 02:00", "Wed 02:00"}), RestartTimes());
    const std::vector<std::wstring> texts = EventTexts();
    ASSERT_LE(5u, texts.size());
    EXPECT_EQ(L"Recovery started: Scheduled nightly restart", texts[1]);
    EXPECT_EQ(L"Failed to stop Print Spooler during recovery.", texts[2]);
    // The health step waits for the next cycle: 10 s, then the 3 s pause.
    EXPECT_EQ(L"Recovery started: Automatic recovery: Print Spooler service is stopped", texts[3]);
    EXPECT_EQ(13 * kSecond, SinceStart(sim::Events()[3]));
    EXPECT_EQ(L"Print Spooler recovery completed successfully.", texts[4]);
}

TEST_F(ScheduleTest, WithTheDefaultsAServiceStartedAt1WaitsFor2) {
    StartClockAt(2026, 12, 7, 1, 0);
    sim::SetRecording(false);
    RunServiceFor(3 * kHour);
    EXPECT_EQ((std::vector<std::string>{"Mon 02:00"}), RestartTimes());
    EXPECT_EQ(20261207u, LastScheduledRestartDate);
}

TEST_F(ScheduleTest, ARestartThatEndsAfterMidnightCountsForTheNewDay) {
    StartClockAt(2026, 12, 7, 23, 0); // Monday
    WriteIni({{L"RestartTime", L"23:59"}, {L"StopTimeoutMs", L"300000"}});
    sim::Spooler().stopPendingMs = 2 * kMinute;
    sim::SetRecording(false);
    RunServiceFor(At(3, 0, 30)); // Thursday 23:30

    // Monday's ends on Tuesday at 00:01, so Tuesday has none; Wednesday's
    // ends on Thursday, which has none either.
    EXPECT_EQ((std::vector<std::string>{"Mon 23:59", "Wed 23:59"}), RestartTimes());
    const std::vector<sim::Event> done =
        EventsReading(L"Print Spooler recovery completed successfully.");
    ASSERT_EQ(2u, done.size());
    EXPECT_EQ("00:01", Hhmm(LocalTimeOf(done[0])));
    EXPECT_EQ(10u, LocalTimeOf(done[1]).wDay);
    EXPECT_EQ(20261210u, LastScheduledRestartDate);
}

// Set back across midnight after Tuesday's restart, the clock shows Monday
// evening again: Monday had its restart, and Tuesday at 02:00 has had its
// own too. Set forward again, the clock gives Wednesday its restart.
TEST_F(ScheduleTest, AClockSetBackAcrossMidnightGivesNoDateASecondRestart) {
    StartClockAt(2026, 12, 7, 1, 0); // Monday
    sim::SetRecording(false);
    sim::After(At(1, 3, 0), [] { sim::JumpWallClock(-5 * 3600); }); // Tue 04:00 to Mon 23:00
    sim::After(At(1, 8, 0), [] { sim::JumpWallClock(4 * 3600); });  // Tue 04:00 to 08:00
    RunServiceFor(At(2, 3, 0));                                     // until Wed 03:00
    std::vector<std::string> times;                                 // as the clock showed them
    for (const sim::Event& event : ScheduledRestarts()) {
        SYSTEMTIME t = sim::FromFileTime(event.utc);
        times.push_back(std::to_string(t.wDay) + " " + Hhmm(t));
    }
    EXPECT_EQ((std::vector<std::string>{"7 02:00", "8 02:00", "9 02:00"}), times);
    EXPECT_EQ(20261209u, LastScheduledRestartDate);
}

TEST_F(ScheduleTest, AFailedRestartIsNotRepeatedTheSameDay) {
    StartClockAt(2026, 12, 7, 1, 0);
    sim::Spooler().stopError = ERROR_ACCESS_DENIED;
    sim::SetRecording(false);
    RunServiceFor(At(1, 11, 0)); // Tuesday 12:00
    EXPECT_EQ((std::vector<std::string>{"Mon 02:00", "Tue 02:00"}), RestartTimes());
    EXPECT_EQ(2u, EventsReading(L"Failed to stop Print Spooler during recovery.").size());
    EXPECT_EQ(2u + 2 * 2, sim::Events().size()) << "no other recovery";
    EXPECT_EQ(SERVICE_RUNNING, sim::Spooler().state);
}

} // namespace
} // namespace nimbrel::test
