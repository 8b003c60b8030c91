// The rules of Windows the simulator encodes, held to the real thing: every
// row runs natively on the simulator and, in the Windows build, on the real
// API under Wine. Each row states what Windows does. Where Wine is known to
// do otherwise the row says so, with the Microsoft documentation of what
// Windows does, and is not run there; any other disagreement fails.

#include "tests/contract/stage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

namespace nimbrel::contract {
namespace {

struct Row {
    const char* name;
    std::function<std::string()> run; // the outcome, as "ok ...", "error N ..." or a value
    std::string windows;              // what Windows gives
    const char* wineDiffers = nullptr;
};

std::string Outcome(BOOL ok, const std::string& detail = "") {
    std::string text = ok ? "ok" : "error " + std::to_string(GetLastError());
    return detail.empty() ? text : text + " " + detail;
}

std::string Narrow(const WCHAR* text) {
    std::string narrow;
    for (; *text; ++text) {
        narrow += *text < 0x80 ? static_cast<char>(*text) : '?';
    }
    return narrow;
}

std::wstring In(const wchar_t* name) {
    return std::wstring(kFolder) + L"\\" + name;
}

void RunRows(const std::vector<Row>& rows, const std::function<void()>& stage) {
    for (const Row& row : rows) {
        if (OnRealWindows() && row.wineDiffers != nullptr) {
            continue;
        }
        Fresh();
        stage();
        EXPECT_EQ(row.windows, row.run()) << row.name;
    }
    Fresh();
}

// ---- Profile files --------------------------------------------------------------------

const std::wstring kIni = In(L"a.ini");

std::string Int(const WCHAR* section, const WCHAR* key, const std::wstring& file = kIni) {
    return std::to_string(GetPrivateProfileIntW(section, key, 7, file.c_str()));
}

std::string Text(const WCHAR* key, const WCHAR* fallback, DWORD size) {
    WCHAR buffer[32] = {L'?', 0};
    DWORD length = GetPrivateProfileStringW(L"Monitor", key, fallback, buffer, size, kIni.c_str());
    return std::to_string(length) + " " + Narrow(buffer);
}

TEST(ContractTest, ProfileFiles) {
    std::vector<Row> rows = {
        {"section and key in any case, blanks, digits up to a letter",
         [] { return Int(L"MONITOR", L"CheckIntervalMs"); }, "12"},
        {"hexadecimal", [] { return Int(L"Monitor", L"Hex"); }, "16"},
        {"negative", [] { return Int(L"Monitor", L"Neg"); }, "4294967291"},
        {"wraps to 32 bits", [] { return Int(L"Monitor", L"Big"); }, "0"},
        {"empty value: the default", [] { return Int(L"Monitor", L"Empty"); }, "7"},
        {"no such key: the default", [] { return Int(L"Monitor", L"Missing"); }, "7"},
        {"no such file: the default", [] { return Int(L"Monitor", L"Hex", In(L"missing.ini")); },
         "7"},
        {"quotes dropped, cut to the buffer", [] { return Text(L"Quoted", L"", 8); }, "7 two  wo"},
        {"empty value, not the default", [] { return Text(L"Empty", L"dflt", 8); }, "0 "},
        {"default without trailing blanks", [] { return Text(L"None", L"dflt  ", 8); }, "4 dflt"},
        {"';' inside a value is text", [] { return Text(L"Inline", L"", 32); },
         "19 abc ; not a comment"},
    };
    RunRows(rows, [] {
        StageFile(kIni, "; comment\r\n[Monitor]\r\n  checkintervalms = 12abc \r\nHex=0x10\r\n"
                        "Neg=-5\r\nBig=4294967296\r\nEmpty=\r\nQuoted=\"two  words\"\r\n"
                        "Inline=abc ; not a comment\r\n[Other]\r\nHex=1\r\n");
    });
}

// ---- Files and folders ----------------------------------------------------------------

std::string Attributes(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return Outcome(FALSE);
    }
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? "folder" : "file";
}

// The names a search finds, in order of name without case (Windows lists in
// no promised order).
std::string Listing(const std::wstring& pattern) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return Outcome(FALSE);
    }
    std::vector<std::string> names;
    do {
        names.push_back(Narrow(found.cFileName));
    } while (FindNextFileW(search, &found));
    std::string end = Outcome(FALSE);
    FindClose(search);
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                            [](char x, char y) { return toupper(x) < toupper(y); });
    });
    std::string text;
    for (const std::string& name : names) {
        text += name + " ";
    }
    return text + "then " + end;
}

std::string Delete(const std::wstring& path) {
    std::string deleted = Outcome(DeleteFileW(path.c_str()));
    return deleted + " " + Attributes(path);
}

TEST(ContractTest, FilesAndFolders) {
    std::vector<Row> rows = {
        {"attributes of a file", [] { return Attributes(In(L"A.SPL")); }, "file"},
        {"attributes of a folder", [] { return Attributes(In(L"sub\\")); }, "folder"},
        {"attributes of no file", [] { return Attributes(In(L"none")); }, "error 2"},
        {"attributes in no folder", [] { return Attributes(In(L"none\\x")); }, "error 3"},
        {"a folder's names", [] { return Listing(In(L"*")); },
         ". .. A.SPL b.shd ro.SPL sub then error 18"},
        {"an empty folder's names", [] { return Listing(In(L"sub\\*")); }, ". .. then error 18"},
        {"no such folder", [] { return Listing(In(L"none\\*")); }, "error 3"},
        {"one file by name, any case", [] { return Listing(In(L"a.spl")); }, "A.SPL then error 18"},
        {"no such file by name", [] { return Listing(In(L"none.spl")); }, "error 2"},
        {"delete a file", [] { return Delete(In(L"b.shd")); }, "ok error 2"},
        {"delete no file", [] { return Delete(In(L"none")); }, "error 2 error 2"},
        {"delete in no folder", [] { return Delete(In(L"none\\x")); }, "error 3 error 3"},
        {"delete a read-only file", [] { return Delete(In(L"ro.SPL")); }, "error 5 file"},
        {"delete a folder", [] { return Delete(In(L"sub")); }, "error 5 folder"},
    };
    RunRows(rows, [] {
        StageFile(In(L"A.SPL"), "x");
        StageFile(In(L"b.shd"), "");
        StageFile(In(L"ro.SPL"), "", true);
        StageFolder(In(L"sub"));
    });
}

// ---- Services ---------------------------------------------------------------------------

DWORD SpoolerState(SC_HANDLE spooler) {
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    QueryServiceStatusEx(spooler, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status),
                         sizeof status, &needed);
    return status.dwCurrentState;
}

// Brings the Spooler to `state` (0: leaves it as it is) and returns the state
// it was in.
DWORD SpoolerTo(SC_HANDLE manager, DWORD state) {
    SC_HANDLE spooler = OpenServiceW(manager, L"Spooler", SERVICE_ALL_ACCESS);
    DWORD found = SpoolerState(spooler);
    for (int tries = 0; state != 0 && tries < 200 && SpoolerState(spooler) != state; ++tries) {
        SERVICE_STATUS ignored;
        if (SpoolerState(spooler) == SERVICE_RUNNING) {
            ControlService(spooler, SERVICE_CONTROL_STOP, &ignored);
        } else if (SpoolerState(spooler) == SERVICE_STOPPED) {
            StartServiceW(spooler, 0, nullptr);
        }
        Sleep(50);
    }
    CloseServiceHandle(spooler);
    return found;
}

// Runs `act` on the service `name` opened with every right, the Spooler
// first brought to `state` and left there.
std::string OnService(const WCHAR* name, DWORD state,
                      const std::function<std::string(SC_HANDLE)>& act) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SpoolerTo(manager, state);
    SC_HANDLE service = OpenServiceW(manager, name, SERVICE_ALL_ACCESS);
    std::string outcome = service == nullptr ? Outcome(FALSE) : act(service);
    if (service != nullptr) {
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return outcome;
}

DWORD SpoolerTo(DWORD state) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    DWORD found = SpoolerTo(manager, state);
    CloseServiceHandle(manager);
    return found;
}

// The Spooler left as it was found: other tests share the machine.
void RunServiceRows(const std::vector<Row>& rows) {
    DWORD found = SpoolerTo(0);
    RunRows(rows, [] {});
    SpoolerTo(found);
}

std::string StatusSized(SC_HANDLE service, DWORD level, DWORD size) {
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    BOOL ok =
        QueryServiceStatusEx(service, level, reinterpret_cast<LPBYTE>(&status), size, &needed);
    return Outcome(ok, "needs " + std::to_string(needed));
}

std::string ConfigSized(SC_HANDLE service) {
    DWORD needed = 0;
    BOOL ok = QueryServiceConfigW(service, nullptr, 0, &needed);
    return Outcome(ok, needed > sizeof(QUERY_SERVICE_CONFIGW) ? "needs more" : "needs less");
}

std::string Control(SC_HANDLE service, DWORD control) {
    SERVICE_STATUS status{};
    return Outcome(ControlService(service, control, &status));
}

std::string CreateTwiceThenDeleteTwice(const WCHAR* name) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
    auto create = [&] {
        return CreateServiceW(manager, name, name, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                              SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                              L"C:\\nimbrel-contract\\none.exe", nullptr, nullptr, nullptr, nullptr,
                              nullptr);
    };
    SC_HANDLE service = create();
    SC_HANDLE again = create();
    std::string outcome = Outcome(again != nullptr);
    if (again != nullptr) {
        CloseServiceHandle(again);
    }
    outcome += ", " + Outcome(DeleteService(service));
    outcome += ", " + Outcome(DeleteService(service));
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return outcome;
}

TEST(ContractTest, Services) {
    std::vector<Row> rows = {
        {"no such service", [] { return OnService(L"NoSuchService", SERVICE_RUNNING, {}); },
         "error 1060"},
        {"status into too small a block",
         [] {
             return OnService(L"Spooler", SERVICE_RUNNING, [](SC_HANDLE s) {
                 return StatusSized(s, SC_STATUS_PROCESS_INFO, 8);
             });
         },
         "error 122 needs 36"},
        {"status at an unknown level",
         [] {
             return OnService(L"Spooler", SERVICE_RUNNING,
                              [](SC_HANDLE s) { return StatusSized(s, 1, 36); });
         },
         "error 124 needs 0"},
        {"configuration sized first",
         [] { return OnService(L"Spooler", SERVICE_RUNNING, ConfigSized); },
         "error 122 needs more"},
        {"start a running service",
         [] {
             return OnService(L"Spooler", SERVICE_RUNNING,
                              [](SC_HANDLE s) { return Outcome(StartServiceW(s, 0, nullptr)); });
         },
         "error 1056"},
        {"stop a stopped service",
         [] {
             return OnService(L"Spooler", SERVICE_STOPPED,
                              [](SC_HANDLE s) { return Control(s, SERVICE_CONTROL_STOP); });
         },
         "error 1062"},
        {"a control the service does not accept",
         [] {
             return OnService(L"Spooler", SERVICE_RUNNING,
                              [](SC_HANDLE s) { return Control(s, SERVICE_CONTROL_PAUSE); });
         },
         "error 1052"},
        {"create, create again, delete, delete again",
         [] { return CreateTwiceThenDeleteTwice(L"NimbrelContract"); },
         "error 1073, ok, error 1072"},
    };
    RunServiceRows(rows);
}

// ---- Enumerations ------------------------------------------------------------------------

std::string Printers(DWORD level, DWORD spooler) {
    return OnService(L"Spooler", spooler, [level](SC_HANDLE) {
        DWORD needed = 99;
        DWORD returned = 99;
        BOOL ok = EnumPrintersW(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS, nullptr, level,
                                nullptr, 0, &needed, &returned);
        return Outcome(ok, ok ? std::to_string(needed) + " " + std::to_string(returned) : "");
    });
}

TEST(ContractTest, Enumerations) {
    std::vector<Row> rows = {
        {"no printers: nothing needed", [] { return Printers(2, SERVICE_RUNNING); }, "ok 0 0"},
        {"an unknown level", [] { return Printers(3, SERVICE_RUNNING); }, "error 124"},
        {"the spooler stopped", [] { return Printers(2, SERVICE_STOPPED); }, "error 1722",
         "Windows asks the spooler by remote procedure call (MS-RPRN RpcEnumPrinters, "
         "learn.microsoft.com/openspecs/windows_protocols/ms-rprn); Wine answers in the "
         "client"},
    };
    RunServiceRows(rows);
}

} // namespace
} // namespace nimbrel::contract
