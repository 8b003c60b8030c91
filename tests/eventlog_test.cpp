#include "eventlog/eventlog.h"

#include "tests/support.h"

namespace nimbrel::test {
namespace {

class LogEventTest : public SimTest {};

TEST_F(LogEventTest, WritesOneStringUnderTheSourceForEveryType) {
    const WORD types[] = {EVENTLOG_ERROR_TYPE, EVENTLOG_WARNING_TYPE, EVENTLOG_INFORMATION_TYPE};
    for (WORD type : types) {
        LogEvent(type, L"Nimbrel service started.");
    }
    ASSERT_EQ(3u, sim::Events().size());
    for (std::size_t i = 0; i < 3; ++i) {
        const sim::Event& event = sim::Events()[i];
        EXPECT_EQ(L"Nimbrel", event.source);
        EXPECT_EQ(types[i], event.type);
        EXPECT_EQ(0, event.category);
        EXPECT_EQ(0u, event.eventId);
        EXPECT_FALSE(event.userGiven);
        EXPECT_EQ(0u, event.dataSize);
        EXPECT_FALSE(event.dataGiven);
        EXPECT_EQ(std::vector<std::wstring>{L"Nimbrel service started."}, event.strings);
    }
    // A fresh registration per message, on the local computer.
    ASSERT_EQ(3u, sim::CountCalls(sim::Op::RegisterEventSourceW));
    EXPECT_EQ(L"RegisterEventSourceW(null, Nimbrel)",
              sim::Describe(sim::CallsOf(sim::Op::RegisterEventSourceW)[0]));
    EXPECT_EQ(3u, sim::CountCalls(sim::Op::DeregisterEventSource));
}

TEST_F(LogEventTest, PercentSignsAreNotAFormat) {
    const WCHAR text[] = L"Stuck print job on '100%s %d %n %%' (job 7, document: %u%)";
    LogEvent(EVENTLOG_WARNING_TYPE, text);
    ASSERT_EQ(1u, sim::Events().size());
    EXPECT_EQ(std::vector<std::wstring>{text}, sim::Events()[0].strings);
}

TEST_F(LogEventTest, FailuresLoseOnlyTheMessage) {
    sim::SetEventLogAvailable(false);
    LogEvent(EVENTLOG_ERROR_TYPE, L"lost");
    EXPECT_EQ(0u, sim::CountCalls(sim::Op::ReportEventW));

    sim::SetEventLogAvailable(true);
    sim::FailCall(sim::Op::ReportEventW);
    LogEvent(EVENTLOG_ERROR_TYPE, L"lost too");
    EXPECT_EQ(1u, sim::CountCalls(sim::Op::DeregisterEventSource)); // released all the same
    LogEvent(EVENTLOG_INFORMATION_TYPE, L"kept");
    ASSERT_EQ(1u, sim::Events().size());
    EXPECT_EQ(L"kept", sim::Events()[0].strings.at(0));
}

} // namespace
} // namespace nimbrel::test
