// The process entry: command words, and service mode for anything else.
#include "app/dispatcher.h"
#include "tests/support.h"

namespace nimbrel::test {
namespace {

class DispatcherTest : public SimTest {};

// Whole words in any ASCII case; anything else is service mode, which fails from a console.
TEST_F(DispatcherTest, CommandWordsMatchWholeAndAnythingElseIsServiceMode) {
    const char* const kServiceMode = "StartServiceCtrlDispatcher failed: 1063\n";
    const std::pair<std::vector<std::wstring>, const char*> cases[] = {
        {{}, kServiceMode},
        {{L"/status"}, kServiceMode},
        {{L"status "}, kServiceMode},
        {{L"statuses"}, kServiceMode},
        {{L"St\u00e5tus"}, kServiceMode},
        {{L"x", L"status"}, kServiceMode},
        {{L"sTaTuS", L"now"}, "Unable to query Print Spooler status.\n"},
        {{L"Recover"}, "Print Spooler recovery failed.\n"},
        {{L"INSTALL"}, "OpenSCManager failed: 5\n"},
        {{L"UnInstall", L"x"}, "OpenSCManager failed: 5\n"},
    };
    for (const auto& [args, output] : cases) {
        Fresh();
        sim::SetManagerAccessDenied(true);
        EXPECT_EQ(1, RunNimbrel(args)) << output;
        EXPECT_EQ(output, sim::StdoutBytes());
    }
    Fresh();
    EXPECT_EQ(0, RunNimbrel({L"uninstall"})) << "not installed: nothing to remove";
    EXPECT_EQ("OpenService failed: 1060\n", sim::StdoutBytes());
}

} // namespace
} // namespace nimbrel::test
