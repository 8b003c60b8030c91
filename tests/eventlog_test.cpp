#include "eventlog/eventlog.h"

#include "tests/support.h"

namespace nimbrel::test {
namespace {

class LogEventTest : public SimTest {};

// One string under the source "Nimbrel", with no category, id or data, and
// never read as a format: a '%' from a printer or document name stays as it is.
TEST_F(LogEventTest, WritesTheTextAsItsOneStringForEveryType) {
    const WCHAR percent[] = L"Stuck print job on '100%s %d %n %%' (job 7, document: %u%)";
    LogEvent(EVENTLOG_ERROR_TYPE, L"Nimbrel service started.");
    LogEvent(EVENTLOG_WARNING_TYPE, percent);
    LogEvent(EVENTLOG_INFORMATION_TYPE, L"");
    EXPECT_EQ((std::vector<std::wstring>{L"E:Nimbrel service started.",
                                         L"W:" + std::wstring(percent), L"I:"}),
              Logged());
    for (const sim::Event& event : sim::Events()) {
        EXPECT_EQ(L"Nimbrel", event.source);
        EXPECT_EQ(0, event.category);
        EXPECT_EQ(0u, event.eventId);
        EXPECT_FALSE(event.userGiven || event.dataGiven || event.dataSize != 0);
        EXPECT_EQ(1u, event.strings.size());
    }
}

} // namespace
} // namespace nimbrel::test
