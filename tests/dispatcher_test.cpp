// The process entry: command words, and service mode for anything else.

#include "app/dispatcher.h"
#include "tests/support.h"

namespace nimbrel::test {
namespace {

class DispatcherTest : public SimTest {
  protected:
    static int Run(std::vector<std::wstring> args) {
        args.insert(args.begin(), L"Nimbrel.exe");
        std::vector<WCHAR*> argv;
        for (std::wstring& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        return Dispatch(static_cast<int>(args.size()), argv.data());
    }
};

TEST_F(DispatcherTest, AnythingButACommandWordIsServiceMode) {
    const std::vector<std::vector<std::wstring>> cases = {
        {},    {L"/status"},  {L"-status"},     {L" status"}, {L"status "}, {L"stat"},
        {L""}, {L"statuses"}, {L"St\u00e5tus"}, {L"start"},   {L"stop"},
    };
    for (const auto& args : cases) {
        sim::Reset();
        EXPECT_EQ(1, Run(args)) << (args.empty() ? "" : Narrow(args[0]));
        EXPECT_EQ("StartServiceCtrlDispatcher failed: 1063\n", sim::StdoutBytes());
        auto dispatches = sim::CallsOf(sim::Op::StartServiceCtrlDispatcherW);
        EXPECT_EQ(1u, dispatches.size());
    }
}

TEST_F(DispatcherTest, CommandWordsMatchWholeInAnyAsciiCaseAndIgnoreFurtherArguments) {
    struct Case {
        std::vector<std::wstring> args;
        int exitCode;
        const char* output;
    };
    const Case cases[] = {
        {{L"STATUS"}, 1, "Unable to query Print Spooler status.\n"},
        {{L"sTaTuS", L"now", L"-v"}, 1, "Unable to query Print Spooler status.\n"},
        {{L"Recover"}, 1, "Print Spooler recovery failed.\n"},
        {{L"INSTALL"}, 1, "OpenSCManager failed: 5\n"},
        {{L"UnInstall", L"x"}, 1, "OpenSCManager failed: 5\n"},
    };
    for (const Case& c : cases) {
        sim::Reset();
        sim::SetManagerAccessDenied(true);
        EXPECT_EQ(c.exitCode, Run(c.args)) << Narrow(c.args[0]);
        EXPECT_EQ(c.output, sim::StdoutBytes()) << Narrow(c.args[0]);
        EXPECT_EQ(0u, sim::CountCalls(sim::Op::StartServiceCtrlDispatcherW));
    }
}

TEST_F(DispatcherTest, ServiceModeStartedByTheServiceManagerExitsWithZero) {
    sim::SetStartedByServiceManager(true);
    // The service runs until the service manager asks it to stop.
    sim::After(1000, [] { sim::SendControl(SERVICE_CONTROL_STOP); });
    EXPECT_EQ(0, Run({}));
    EXPECT_EQ(L"Nimbrel", sim::DispatchedServiceName());
    EXPECT_EQ("", sim::StdoutBytes());
}

TEST_F(DispatcherTest, ServiceModeReportsTheDispatchersOwnError) {
    sim::FailCall(sim::Op::StartServiceCtrlDispatcherW, ERROR_ACCESS_DENIED);
    EXPECT_EQ(1, Run({L"unknown", L"status"}));
    EXPECT_EQ("StartServiceCtrlDispatcher failed: 5\n", sim::StdoutBytes());
}

} // namespace
} // namespace nimbrel::test
