#include "app/dispatcher.h"

#include "app/install.h"
#include "app/status.h"
#include "platform/text.h"
#include "recovery/recovery.h"
#include "service/service_host.h"

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

} // namespace

int Dispatch(int argc, WCHAR** argv) {
    if (argc > 1 && argv[1] != nullptr) {
        for (const Command& command : kCommands) {
            if (EqualsIgnoreAsciiCase(argv[1], command.word)) {
                return command.handler();
            }
        }
    }
    return RunServiceMode();
}

} // namespace nimbrel
