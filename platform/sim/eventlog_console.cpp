// The simulated event log and console.

#include "platform/sim/impl.h"

#include <cstring>

namespace nimbrel::sim {
namespace {

HANDLE StdoutHandle() {
    return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(0x0f00));
}

} // namespace

const std::vector<Event>& Events() {
    return M().events;
}

void SetEventLogAvailable(bool available) {
    M().eventLogAvailable = available;
}

void SetConsoleAttached(bool attached) {
    M().consoleAttached = attached;
}

std::string StdoutBytes() {
    return M().stdoutBytes;
}

std::wstring ConsoleText() {
    return M().consoleText;
}

void SetStdoutBroken(bool broken) {
    M().stdoutBroken = broken;
}

HANDLE Sim_RegisterEventSourceW(LPCWSTR server, LPCWSTR source) {
    if (!M().eventLogAvailable || (server != nullptr && server[0] != 0)) {
        Fail(RPC_S_SERVER_UNAVAILABLE);
        return nullptr;
    }
    if (source == nullptr || source[0] == 0) {
        Fail(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    HandleEntry entry{HandleKind::EventSource};
    entry.name = source;
    return NewHandle(entry);
}

BOOL Sim_ReportEventW(HANDLE source, WORD type, WORD category, DWORD eventId, PSID user,
                      WORD stringCount, DWORD dataSize, LPCWSTR* strings, LPVOID data) {
    HandleEntry* entry = Lookup(source, HandleKind::EventSource);
    if (entry == nullptr) {
        Fail(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!M().eventLogAvailable) {
        Fail(ERROR_LOG_FILE_FULL);
        return FALSE;
    }
    if (stringCount != 0 && strings == nullptr) {
        Fail(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Event event;
    event.source = entry->name;
    event.type = type;
    event.category = category;
    event.eventId = eventId;
    event.userGiven = user != nullptr;
    event.dataSize = dataSize;
    event.dataGiven = data != nullptr;
    event.elapsedMs = M().elapsedMs;
    event.utc = M().utc;
    for (WORD i = 0; i < stringCount; ++i) {
        event.strings.push_back(strings[i] ? strings[i] : L"");
    }
    M().events.push_back(event);
    return TRUE;
}

BOOL Sim_DeregisterEventSource(HANDLE source) {
    return Release(source, HandleKind::EventSource, "DeregisterEventSource") ? TRUE : FALSE;
}

HANDLE Sim_GetStdHandle(DWORD which) {
    if (which != STD_OUTPUT_HANDLE) {
        Fail(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    return StdoutHandle();
}

BOOL Sim_GetConsoleMode(HANDLE console, LPDWORD mode) {
    if (console != StdoutHandle() || !M().consoleAttached) {
        Fail(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *mode = 3;
    return TRUE;
}

BOOL Sim_WriteConsoleW(HANDLE console, LPCVOID text, DWORD length, LPDWORD written, LPVOID) {
    if (console != StdoutHandle() || !M().consoleAttached) {
        Fail(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    M().consoleText.append(static_cast<const WCHAR*>(text), length);
    if (written) {
        *written = length;
    }
    return TRUE;
}

BOOL Sim_WriteFile(HANDLE file, LPCVOID bytes, DWORD length, LPDWORD written, LPVOID) {
    if (file != StdoutHandle() && Lookup(file, HandleKind::File) != nullptr) {
        return WriteSimFile(file, bytes, length, written) ? TRUE : FALSE;
    }
    if (file != StdoutHandle()) {
        Fail(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (M().stdoutBroken) {
        Fail(ERROR_NO_DATA);
        return FALSE;
    }
    M().stdoutBytes.append(static_cast<const char*>(bytes), length);
    if (written) {
        *written = length;
    }
    return TRUE;
}

} // namespace nimbrel::sim
