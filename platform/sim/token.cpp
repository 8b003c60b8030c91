// The simulated access token of this process: SeDebugPrivilege only.

#include "platform/sim/impl.h"

namespace nimbrel::sim {
namespace {

constexpr DWORD kDebugPrivilegeLuid = 20;

HANDLE CurrentProcess() {
    return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));
}

} // namespace

void SetDebugPrivilege(bool held, bool enabled) {
    M().debugPrivilegeHeld = held;
    M().debugPrivilegeEnabled = held && enabled;
}

bool DebugPrivilegeEnabled() {
    return M().debugPrivilegeEnabled;
}

HANDLE Sim_GetCurrentProcess() {
    return CurrentProcess();
}

BOOL Sim_OpenProcessToken(HANDLE process, DWORD access, HANDLE* token) {
    if (process != CurrentProcess()) {
        Misuse("OpenProcessToken of another process than this one");
    }
    if (token == nullptr) {
        Fail(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    HandleEntry entry{HandleKind::Token};
    entry.access = access;
    *token = NewHandle(entry);
    return TRUE;
}

BOOL Sim_LookupPrivilegeValueW(LPCWSTR system, LPCWSTR name, LUID* luid) {
    if (system != nullptr || name == nullptr || luid == nullptr) {
        Fail(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (Upper(name) != L"SEDEBUGPRIVILEGE") {
        Fail(ERROR_NO_SUCH_PRIVILEGE);
        return FALSE;
    }
    *luid = LUID{kDebugPrivilegeLuid, 0};
    return TRUE;
}

// As Windows does it: a privilege the token does not hold is passed over,
// and the call still succeeds, with ERROR_NOT_ALL_ASSIGNED as its error.
BOOL Sim_AdjustTokenPrivileges(HANDLE token, BOOL disableAll, TOKEN_PRIVILEGES* state, DWORD size,
                               TOKEN_PRIVILEGES* previous, LPDWORD needed) {
    HandleEntry* entry = Lookup(token, HandleKind::Token);
    if (entry == nullptr) {
        Fail(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    const DWORD rights = TOKEN_ADJUST_PRIVILEGES | (previous != nullptr ? TOKEN_QUERY : 0);
    if ((entry->access & rights) != rights) {
        Fail(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (disableAll || state == nullptr || state->PrivilegeCount != 1) {
        Misuse("AdjustTokenPrivileges asked for anything but one privilege");
        Fail(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (previous != nullptr && size < sizeof(TOKEN_PRIVILEGES)) {
        Fail(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    const LUID_AND_ATTRIBUTES asked = state->Privileges[0];
    const bool debug = asked.Luid.LowPart == kDebugPrivilegeLuid && asked.Luid.HighPart == 0;
    if (!debug || !M().debugPrivilegeHeld) {
        if (previous != nullptr) {
            previous->PrivilegeCount = 0;
        }
        Fail(ERROR_NOT_ALL_ASSIGNED);
        return TRUE;
    }
    const bool enable = (asked.Attributes & SE_PRIVILEGE_ENABLED) != 0;
    const bool changes = enable != M().debugPrivilegeEnabled;
    if (previous != nullptr) {
        previous->PrivilegeCount = changes ? 1 : 0;
        previous->Privileges[0] = {asked.Luid,
                                   M().debugPrivilegeEnabled ? SE_PRIVILEGE_ENABLED : 0};
    }
    if (needed != nullptr) {
        *needed = sizeof(TOKEN_PRIVILEGES);
    }
    M().debugPrivilegeEnabled = enable;
    Fail(ERROR_SUCCESS);
    return TRUE;
}

} // namespace nimbrel::sim
