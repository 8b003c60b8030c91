// The simulator's rules of Windows, each row run on it and on the real API under Wine.
// A row Wine is known to get wrong cites what Windows does and is skipped there.

#include "platform/registry.h"
#include "tests/contract/stage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace nimbrel::contract {
namespace {

using Run = std::function<std::string()>; // the outcome: "ok ...", "error N ..." or a value

struct Row {
    const char* name;
    Run run;
    std::string windows; // what Windows gives
    const char* wineDiffers = nullptr;
};

std::string Outcome(BOOL ok, const std::string& detail = "") {
    std::string text = ok ? "ok" : "error " + std::to_string(GetLastError());
    return detail.empty() ? text : text + " " + detail;
}

std::string Narrow(const WCHAR* text) {
    std::string narrow = text == nullptr ? "null" : "";
    for (; text != nullptr && *text; ++text) {
        narrow += *text < 0x80 ? static_cast<char>(*text) : '?';
    }
    return narrow;
}

std::wstring In(const wchar_t* name) {
    return std::wstring(kFolder) + L"\\" + name;
}

void RunRows(
    const std::vector<Row>& rows, const std::function<void()>& stage = [] {}) {
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

Run Int(const WCHAR* section, const WCHAR* key, const wchar_t* file = L"a.ini") {
    return [=] { return std::to_string(GetPrivateProfileIntW(section, key, 7, In(file).c_str())); };
}

Run Text(const WCHAR* key, const WCHAR* fallback, DWORD size) {
    return [=] {
        WCHAR buffer[32] = {L'?', 0};
        DWORD length =
            GetPrivateProfileStringW(L"Monitor", key, fallback, buffer, size, In(L"a.ini").c_str());
        return std::to_string(length) + " " + Narrow(buffer);
    };
}

TEST(ContractTest, ProfileFiles) {
    std::vector<Row> rows = {
        {"section and key in any case, blanks, digits up to a letter",
         Int(L"MONITOR", L"CheckIntervalMs"), "12"},
        {"hexadecimal", Int(L"Monitor", L"Hex"), "16"},
        {"negative", Int(L"Monitor", L"Neg"), "4294967291"},
        {"wraps to 32 bits", Int(L"Monitor", L"Big"), "0"},
        {"empty value: the default", Int(L"Monitor", L"Empty"), "7"},
        {"no such key: the default", Int(L"Monitor", L"Missing"), "7"},
        {"no such file: the default", Int(L"Monitor", L"Hex", L"missing.ini"), "7"},
        {"UTF-16 after its byte-order mark", Int(L"Other", L"Hex", L"u.ini"), "9"},
        {"quotes dropped, cut to the buffer", Text(L"Quoted", L"", 8), "7 two  wo"},
        {"empty value, not the default", Text(L"Empty", L"dflt", 8), "0 "},
        {"default without trailing blanks", Text(L"None", L"dflt  ", 8), "4 dflt"},
        {"';' inside a value is text", Text(L"Inline", L"", 32), "19 abc ; not a comment"},
    };
    RunRows(rows, [] {
        StageFile(In(L"a.ini"), "; comment\r\n[Monitor]\r\n  checkintervalms = 12abc \r\n"
                                "Hex=0x10\r\nNeg=-5\r\nBig=4294967296\r\nEmpty=\r\n"
                                "Quoted=\"two  words\"\r\nInline=abc ; not a comment\r\n");
        std::string utf16 = "\xFF\xFE";
        for (char c : std::string("[Other]\r\nHex=9\r\n")) {
            utf16 += std::string(1, c) + '\0';
        }
        StageFile(In(L"u.ini"), utf16);
    });
}

std::string AttributesOf(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return Outcome(FALSE);
    }
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? "folder" : "file";
}

Run Attributes(const wchar_t* name) {
    return [=] { return AttributesOf(In(name)); };
}

// The names a search finds, sorted without case: Windows promises no order.
Run Listing(const wchar_t* pattern) {
    return [=] {
        WIN32_FIND_DATAW found;
        HANDLE search = FindFirstFileW(In(pattern).c_str(), &found);
        if (search == INVALID_HANDLE_VALUE) {
            return Outcome(FALSE);
        }
        std::vector<std::string> names;
        do {
            names.push_back(Narrow(found.cFileName));
        } while (FindNextFileW(search, &found));
        const std::string end = Outcome(FALSE);
        FindClose(search);
        std::sort(names.begin(), names.end(), [](std::string a, std::string b) {
            std::transform(a.begin(), a.end(), a.begin(), ::toupper);
            std::transform(b.begin(), b.end(), b.begin(), ::toupper);
            return a < b;
        });
        std::string text;
        for (const std::string& name : names) {
            text += name + " ";
        }
        return text + "then " + end;
    };
}

Run Delete(const wchar_t* name) {
    return [=] {
        std::string deleted = Outcome(DeleteFileW(In(name).c_str()));
        return deleted + " " + AttributesOf(In(name));
    };
}

TEST(ContractTest, FilesAndFolders) {
    std::vector<Row> rows = {
        {"attributes of a file", Attributes(L"A.SPL"), "file"},
        {"attributes of a folder", Attributes(L"sub\\"), "folder"},
        {"attributes of no file", Attributes(L"none"), "error 2"},
        {"attributes in no folder", Attributes(L"none\\x"), "error 3"},
        {"a folder's names", Listing(L"*"), ". .. A.SPL b.shd ro.SPL sub then error 18"},
        {"an empty folder's names", Listing(L"sub\\*"), ". .. then error 18"},
        {"no such folder", Listing(L"none\\*"), "error 3"},
        {"one file by name, any case", Listing(L"a.spl"), "A.SPL then error 18"},
        {"no such file by name", Listing(L"none.spl"), "error 2"},
        {"delete a file", Delete(L"b.shd"), "ok error 2"},
        {"delete no file", Delete(L"none"), "error 2 error 2"},
        {"delete in no folder", Delete(L"none\\x"), "error 3 error 3"},
        {"delete a read-only file", Delete(L"ro.SPL"), "error 5 file"},
        {"delete a folder", Delete(L"sub"), "error 5 folder"},
    };
    RunRows(rows, [] {
        StageFile(In(L"A.SPL"), "xy");
        StageFile(In(L"b.shd"), "");
        StageFile(In(L"ro.SPL"), "", true);
        StageFolder(In(L"sub"));
    });
}

std::vector<BYTE> Bytes(const std::wstring& text, bool terminated = true) {
    std::vector<BYTE> bytes((text.size() + (terminated ? 1 : 0)) * sizeof(WCHAR));
    std::memcpy(bytes.data(), text.c_str(), bytes.size());
    return bytes;
}

// A value "V" stored as given (none when `type` is REG_NONE), read whole as
// a text into 8 characters and as a number.
Run Read(DWORD type, const std::vector<BYTE>& bytes, const wchar_t* key = kKey) {
    return [=] {
        StageRegistry(type == REG_NONE ? L"Other" : L"V", type, bytes);
        WCHAR buffer[8] = {L'?'};
        DWORD read = 99;
        DWORD value = 7;
        const int text = ReadRegistryText(key, L"v", buffer, 8, &read);
        const int number = ReadRegistryNumber(key, L"v", &value);
        return std::to_string(text) + " [" + Narrow(buffer) + "] " + std::to_string(read) + ", " +
               std::to_string(number) + " " + std::to_string(value);
    };
}

Run ReadText(const std::wstring& text, bool terminated = true, DWORD type = REG_SZ) {
    return Read(type, Bytes(text, terminated));
}

TEST(ContractTest, RegistryValuesAreReadWholeAndOfTheirTypeOnly) {
    const std::string none = "0 [] 99, 0 7";
    std::vector<Row> rows = {
        {"terminated", ReadText(L"abc"), "1 [abc] 1, 0 7"},
        {"expandable", ReadText(L"%X%", true, REG_EXPAND_SZ), "1 [%X%] 2, 0 7"},
        {"no terminator", ReadText(L"abc", false), "1 [abc] 1, 0 7"},
        {"7, no terminator", ReadText(L"1234567", false), "1 [1234567] 1, 0 7"},
        {"8, no terminator", ReadText(L"12345678", false), none},
        {"7 and terminator", ReadText(L"1234567"), "1 [1234567] 1, 0 7"},
        {"8 and terminator", ReadText(L"12345678"), none},
        {"empty", Read(REG_SZ, {}), "1 [] 1, 0 7"},
        {"inner terminator", ReadText(std::wstring(L"ab\0cd", 5)), "1 [ab] 1, 0 7"},
        {"half a character", Read(REG_SZ, std::vector<BYTE>(sizeof(WCHAR) + 1, 0x41)), none},
        {"a list", ReadText(std::wstring(L"a\0", 2), true, REG_MULTI_SZ), none},
        {"no value", Read(REG_NONE, {}), none},
        {"no key", Read(REG_NONE, {}, L"SOFTWARE\\NimbrelContract\\None"), none},
        {"a number of four bytes", Read(REG_DWORD, {1, 1, 1, 1}), "0 [] 99, 1 16843009"},
        {"a number of two", Read(REG_DWORD, {1, 1}), none},
        {"a number of eight", Read(REG_QWORD, std::vector<BYTE>(8, 1)), none},
        {"four bytes of another type", Read(REG_BINARY, {1, 1, 1, 1}), none},
    };
    RunRows(rows);
}

// Expanded into 20 characters, and the size needed.
Run Expand(const WCHAR* source) {
    return [=] {
        StageEnvironment(L"NimbrelRoot", L"C:\\Windows");
        StageEnvironment(L"NimbrelDrive", L"C:");
        WCHAR buffer[20];
        const int whole = ExpandEnvironmentText(source, buffer, 20);
        return std::to_string(whole) + " " + Narrow(buffer) + " needs " +
               std::to_string(ExpandEnvironmentStringsW(source, nullptr, 0));
    };
}

TEST(ContractTest, EnvironmentStringsExpandWholeOrNotAtAll) {
    std::vector<Row> rows = {
        {"a variable", Expand(L"%NimbrelRoot%\\x"), "1 C:\\Windows\\x needs 13"},
        {"names in any case", Expand(L"%nimbreldrive%%NIMBRELROOT%"), "1 C:C:\\Windows needs 13"},
        {"a name not set stays; its '%' may open the next",
         Expand(L"%NimbrelUnset%\\%NimbrelDrive%"), "1 %NimbrelUnset%\\C: needs 18"},
        {"a lone '%'", Expand(L"100%"), "1 100% needs 5"},
        {"just fits", Expand(L"%NimbrelRoot%\\System32"), "1 C:\\Windows\\System32 needs 20"},
        {"one too many", Expand(L"%NimbrelRoot%\\System32\\"), "0  needs 21"},
    };
    RunRows(rows);
}

using Act = std::function<std::string(SC_HANDLE)>;

// Brings the Spooler to `state` (0: leaves it) and returns the state it was in.
DWORD SpoolerTo(DWORD state) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE spooler = OpenServiceW(manager, L"Spooler", SERVICE_ALL_ACCESS);
    DWORD found = 0;
    for (int tries = 0; tries < 200; ++tries, Sleep(50)) {
        SERVICE_STATUS_PROCESS status{};
        DWORD needed = 0;
        QueryServiceStatusEx(spooler, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status),
                             sizeof status, &needed);
        found = found != 0 ? found : status.dwCurrentState;
        SERVICE_STATUS ignored;
        if (state == 0 || status.dwCurrentState == state) {
            break;
        } else if (status.dwCurrentState == SERVICE_RUNNING) {
            ControlService(spooler, SERVICE_CONTROL_STOP, &ignored);
        } else if (status.dwCurrentState == SERVICE_STOPPED) {
            StartServiceW(spooler, 0, nullptr);
        }
    }
    CloseServiceHandle(spooler);
    CloseServiceHandle(manager);
    return found;
}

// Runs `act` on the service `name` opened with `rights`, the Spooler first
// brought to `state`.
Run On(DWORD state, const Act& act, const WCHAR* name = L"Spooler",
       DWORD rights = SERVICE_ALL_ACCESS) {
    return [=] {
        SpoolerTo(state);
        SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
        SC_HANDLE service = OpenServiceW(manager, name, rights);
        std::string outcome = service == nullptr ? Outcome(FALSE) : act(service);
        for (SC_HANDLE handle : {service, manager}) {
            if (handle != nullptr) {
                CloseServiceHandle(handle);
            }
        }
        return outcome;
    };
}

// Runs `act` on a service created for it (stopped, starting as `start`
// says), then deletes it; without `act`, creates it again and deletes twice.
Run OnCreated(const Act& act, DWORD start = SERVICE_DEMAND_START) {
    return [=] {
        SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
        auto create = [&] {
            return CreateServiceW(manager, L"NimbrelContract", L"Nimbrel contract",
                                  SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, start,
                                  SERVICE_ERROR_NORMAL, L"C:\\nimbrel-contract\\none.exe", nullptr,
                                  nullptr, nullptr, nullptr, nullptr);
        };
        SC_HANDLE service = create();
        SC_HANDLE again = act ? nullptr : create();
        std::string outcome = act ? act(service) : Outcome(again != nullptr);
        if (!act) {
            outcome += ", " + Outcome(DeleteService(service));
        }
        outcome += ", " + Outcome(DeleteService(service));
        for (SC_HANDLE handle : {again, service, manager}) {
            if (handle != nullptr) {
                CloseServiceHandle(handle);
            }
        }
        return outcome;
    };
}

Act Status(DWORD level, DWORD size) {
    return [=](SC_HANDLE service) {
        SERVICE_STATUS_PROCESS status{};
        DWORD needed = 0;
        BOOL ok =
            QueryServiceStatusEx(service, level, reinterpret_cast<LPBYTE>(&status), size, &needed);
        return Outcome(ok, !ok ? "needs " + std::to_string(needed)
                               : "state " + std::to_string(status.dwCurrentState) +
                                     (status.dwProcessId != 0 ? " with" : " without") + " process");
    };
}

// Sized first, then one byte short, then as needed.
std::string Config(SC_HANDLE service) {
    DWORD needed = 0;
    std::string outcome = Outcome(QueryServiceConfigW(service, nullptr, 0, &needed));
    std::vector<BYTE> block(needed + 4096); // whatever `needed` says
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(block.data());
    outcome += ", " + Outcome(QueryServiceConfigW(service, config, needed - 1, &needed));
    if (!QueryServiceConfigW(service, config, needed, &needed)) {
        return outcome + ", " + Outcome(FALSE);
    }
    return outcome + ", ok " + std::to_string(config->dwStartType) + " " +
           Narrow(config->lpBinaryPathName) + " " + Narrow(config->lpServiceStartName) + " " +
           Narrow(config->lpDisplayName) + " [" + Narrow(config->lpDependencies) + "]";
}

std::string Dependents(SC_HANDLE service) {
    DWORD needed = 99;
    DWORD returned = 99;
    BOOL ok = EnumDependentServicesW(service, SERVICE_ACTIVE, nullptr, 0, &needed, &returned);
    // The size needed is told only when the block is too small.
    return Outcome(ok, std::to_string(ok ? returned : needed));
}

Act Control(DWORD control) {
    return [=](SC_HANDLE service) {
        SERVICE_STATUS status{};
        return Outcome(ControlService(service, control, &status));
    };
}

std::string Start(SC_HANDLE service) {
    return Outcome(StartServiceW(service, 0, nullptr));
}

Act Printers(DWORD level) {
    return [=](SC_HANDLE) {
        DWORD needed = 99;
        DWORD returned = 99;
        BOOL ok = EnumPrintersW(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS, nullptr, level,
                                nullptr, 0, &needed, &returned);
        return Outcome(ok, ok ? std::to_string(needed) + " " + std::to_string(returned) : "");
    };
}

TEST(ContractTest, ServicesAndEnumerations) {
    const DWORD running = SERVICE_RUNNING;
    std::vector<Row> rows = {
        {"no such service", On(running, Start, L"NoSuchService"), "error 1060"},
        {"status of a running service", On(running, Status(SC_STATUS_PROCESS_INFO, 36)),
         "ok state 4 with process"},
        {"status into too small a block", On(running, Status(SC_STATUS_PROCESS_INFO, 8)),
         "error 122 needs 36"},
        {"status at an unknown level", On(running, Status(1, 36)), "error 124 needs 0"},
        {"start a running service", On(running, Start), "error 1056"},
        {"stop a stopped service", On(SERVICE_STOPPED, Control(SERVICE_CONTROL_STOP)),
         "error 1062"},
        {"a control it does not accept", On(running, Control(SERVICE_CONTROL_PAUSE)), "error 1052"},
        {"stop without the right to",
         On(running, Control(SERVICE_CONTROL_STOP), L"Spooler", SERVICE_QUERY_STATUS), "error 5"},
        {"create, create again, delete, delete again", OnCreated({}), "error 1073, ok, error 1072"},
        {"a created service's status", OnCreated(Status(SC_STATUS_PROCESS_INFO, 36)),
         "ok state 1 without process, ok"},
        {"its configuration", OnCreated(Config),
         "error 122, error 122, ok 3 C:\\nimbrel-contract\\none.exe LocalSystem Nimbrel contract "
         "[], ok"},
        {"its dependents", OnCreated(Dependents), "ok 0, ok"},
        {"start it when disabled", OnCreated(Start, SERVICE_DISABLED), "error 1058, ok"},
        {"no printers: nothing needed", On(running, Printers(2)), "ok 0 0"},
        {"printers at an unknown level", On(running, Printers(3)), "error 124"},
        {"printers, the spooler stopped", On(SERVICE_STOPPED, Printers(2)), "error 1722",
         "Windows asks the spooler by remote procedure call (MS-RPRN RpcEnumPrinters, "
         "learn.microsoft.com/openspecs/windows_protocols/ms-rprn); Wine answers in the "
         "client"},
    };
    // The Spooler left as it was found: other tests share the machine.
    const DWORD found = SpoolerTo(0);
    RunRows(rows);
    SpoolerTo(found);
}

} // namespace
} // namespace nimbrel::contract
