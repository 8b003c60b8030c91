#include "app/dispatcher.h"

#include "app/console.h"
#include "app/install.h"
#include "app/recover.h"
#include "app/status.h"
#include "service/service_host.h"
#include "text/text.h"

namespace nimbrel {
namespace {

struct Command {
    const WCHAR* word;
    int (*handler)();
};

// Examined in this order; the first whole-word match runs.
const Command kCommands[] = {
    {L"install", RunInstallCommand},
    {L"uninstall", RunUninstallCommand},
    {L"recover", RunRecoverCommand},
    {L"status", RunStatusCommand},
};

// "/json", "-json" or "--json", in any ASCII case.
bool IsJsonSwitch(const WCHAR* word) {
    return word != nullptr &&
           (EqualsIgnoreAsciiCase(word, L"/json") || EqualsIgnoreAsciiCase(word, L"-json") ||
            EqualsIgnoreAsciiCase(word, L"--json"));
}

} // namespace

int RunServiceMode() {
    const SERVICE_TABLE_ENTRYW table[] = {{g_ServiceName, ServiceMain}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherW(table)) {
        ConsolePrint(L"StartServiceCtrlDispatcher failed: %u\n", GetLastError());
        return 1;
    }
    return 0;
}

int Dispatch(int argc, WCHAR** argv) {
    if (argc > 1 && argv[1] != nullptr) {
        for (const Command& command : kCommands) {
            if (EqualsIgnoreAsciiCase(argv[1], command.word)) {
                // Any other second word is ignored, as it always was.
                if (command.handler == RunStatusCommand && argc > 2 && IsJsonSwitch(argv[2])) {
                    return RunStatusJsonCommand();
                }
                return command.handler();
            }
        }
    }
    return RunServiceMode();
}

} // namespace nimbrel
