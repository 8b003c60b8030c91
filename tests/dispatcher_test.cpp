// The process entry: command words, and service mode for anything else.

#include "app/dispatcher.h"
#include "tests/support.h"

namespace nimbrel::test {
namespace {

class DispatcherTest : public SimTest {
  protected:
    static int Run(std::vector<std::wstring> args) { return RunNimbrel(std::move(args)); }
};

// From a console the dispatcher cannot connect, and says so with its error.
TEST_F(DispatcherTest, AnythingButACommandWordIsServiceMode) {
    const std::vector<std::vector<std::wstring>> cases = {
        {},    {L"/status"},  {L"-status"},     {L" status"}, {L"status "}, {L"stat"},
        {L""}, {L"statuses"}, {L"St\u00e5tus"}, {L"start"},   {L"stop"},    {L"x", L"status"},
    };
    for (const auto& args : cases) {
        Fresh();
        EXPECT_EQ(1, Run(args)) << (args.empty() ? "" : Narrow(args[0]));
        EXPECT_EQ("StartServiceCtrlDispatcher failed: 1063\n", sim::StdoutBytes());
        EXPECT_EQ(1u, sim::CountCalls(sim::Op::StartServiceCtrlDispatcherW));
    }
    Fresh();
    sim::FailCall(sim::Op::StartServiceCtrlDispatcherW, ERROR_ACCESS_DENIED);
    EXPECT_EQ(1, Run({}));
    EXPECT_EQ("StartServiceCtrlDispatcher failed: 5\n", sim::StdoutBytes());
}

TEST_F(DispatcherTest, CommandWordsMatchWholeInAnyAsciiCaseAndIgnoreFurtherArguments) {
    const std::pair<std::vector<std::wstring>, const char*> cases[] = {
        {{L"STATUS"}, "Unable to query Print Spooler status.\n"},
        {{L"sTaTuS", L"now", L"-v"}, "Unable to query Print Spooler status.\n"},
        {{L"Recover"}, "Print Spooler recovery failed.\n"},
        {{L"INSTALL"}, "OpenSCManager failed: 5\n"},
        {{L"UnInstall", L"x"}, "OpenSCManager failed: 5\n"},
    };
    for (const auto& [args, output] : cases) {
        Fresh();
        sim::SetManagerAccessDenied(true);
        EXPECT_EQ(1, Run(args)) << Narrow(args[0]);
        EXPECT_EQ(output, sim::StdoutBytes()) << Narrow(args[0]);
        EXPECT_EQ(0u, sim::CountCalls(sim::Op::StartServiceCtrlDispatcherW));
    }
    Fresh();
    EXPECT_EQ(0, Run({L"uninstall"}));
    EXPECT_EQ("OpenService failed: 1060\n", sim::StdoutBytes())
        << "not installed: nothing to remove";
}

} // namespace
} // namespace nimbrel::test
