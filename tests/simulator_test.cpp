// The simulated Windows itself, where the logic's tests rely on it behaving
// as Windows does beyond what the contract tests can show on Wine (printers,
// the registry), and on it catching what they check at their end.
// Its faults, clock and waits are exercised by every other test (the fault
// sweep checks that each fault fired where it was meant to).

#include "platform/registry.h"
#include "tests/support.h"

#include <functional>

namespace nimbrel::test {
namespace {

class SimulatorTest : public SimTest {};

// What every test checks at its end has to be seen in the first place.
TEST_F(SimulatorTest, CountsHandlesAndSeesMisuse) {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(1u, sim::OpenHandles(sim::HandleKind::Event));
    EXPECT_EQ(FALSE, CloseServiceHandle(static_cast<SC_HANDLE>(event)));
    EXPECT_EQ(TRUE, CloseHandle(event));
    EXPECT_EQ(FALSE, CloseHandle(event));
    EXPECT_EQ(2u, sim::Misuses().size());
    void* block = HeapAlloc(GetProcessHeap(), 0, 8);
    EXPECT_EQ(1u, sim::LiveHeapBlocks());
    HeapFree(GetProcessHeap(), 0, block);
    EXPECT_EQ(0u, sim::OpenHandles() + sim::LiveHeapBlocks());
    sim::ClearMisuses();
}

TEST_F(SimulatorTest, EnumerationReportsItsSizeThenPacksRecordsAndStrings) {
    sim::AddPrinter(L"Front Desk");
    sim::AddPrinter(L"Caf\u00e9 Laser", PRINTER_STATUS_OFFLINE);
    DWORD needed = 0;
    DWORD returned = 7;
    SetLastError(0xdeadbeef);
    EXPECT_EQ(FALSE, EnumPrintersW(6, nullptr, 2, nullptr, 0, &needed, &returned));
    EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, GetLastError());
    EXPECT_EQ(2 * sizeof(PRINTER_INFO_2W) + (11 + 11) * sizeof(WCHAR), needed);
    std::vector<BYTE> block(needed);
    EXPECT_EQ(FALSE, EnumPrintersW(6, nullptr, 2, block.data(), needed - 1, &needed, &returned));
    ASSERT_EQ(TRUE, EnumPrintersW(6, nullptr, 2, block.data(), needed, &needed, &returned));
    ASSERT_EQ(2u, returned);
    const auto* name = reinterpret_cast<const BYTE*>(
        reinterpret_cast<const PRINTER_INFO_2W*>(block.data())[1].pPrinterName);
    EXPECT_TRUE(name >= block.data() && name < block.data() + needed) << "inside the block";
}

// A value is read only whole and of its type: whatever the buffer rules of
// RegQueryValueExW leave in doubt (a text too long, one stored without its
// terminator at the very end, a size that is not whole characters, another
// type) reads as nothing.
TEST_F(SimulatorTest, RegistryValuesAreReadWholeAndOfTheirTypeOnly) {
    const std::wstring key = L"SOFTWARE\\Policies\\Nimbrel\\Monitor";
    const struct {
        const char* name;
        std::function<void()> store; // the value "V", if any
        int result;
        std::wstring text; // read into 8 characters
    } texts[] = {
        {"terminated", [&] { sim::SetRegistryText(key, L"V", L"abc"); }, 1, L"abc"},
        {"expandable", [&] { sim::SetRegistryText(key, L"V", L"%X%", REG_EXPAND_SZ); }, 1, L"%X%"},
        {"no terminator", [&] { sim::SetRegistryText(key, L"V", L"abc", REG_SZ, false); }, 1,
         L"abc"},
        {"7, no terminator", [&] { sim::SetRegistryText(key, L"V", L"1234567", REG_SZ, false); }, 1,
         L"1234567"},
        {"8, no terminator", [&] { sim::SetRegistryText(key, L"V", L"12345678", REG_SZ, false); },
         0, L""},
        {"7 and terminator", [&] { sim::SetRegistryText(key, L"V", L"1234567"); }, 1, L"1234567"},
        {"8 and terminator", [&] { sim::SetRegistryText(key, L"V", L"12345678"); }, 0, L""},
        {"empty", [&] { sim::SetRegistryText(key, L"V", L"", REG_SZ, false); }, 1, L""},
        {"inner terminator", [&] { sim::SetRegistryText(key, L"V", std::wstring(L"ab\0cd", 5)); },
         1, L"ab"},
        {"half a character",
         [&] {
             sim::SetRegistryValue(key, L"V", REG_SZ, std::vector<BYTE>(sizeof(WCHAR) + 1, 0x41));
         },
         0, L""},
        {"a number", [&] { sim::SetRegistryNumber(key, L"V", 5); }, 0, L""},
        {"a list", [&] { sim::SetRegistryText(key, L"V", L"a", REG_MULTI_SZ); }, 0, L""},
        {"no value", [&] { sim::AddRegistryKey(key); }, 0, L""},
        {"no key", [] {}, 0, L""},
        {"key denied",
         [&] {
             sim::SetRegistryText(key, L"V", L"abc");
             sim::SetRegistryKeyDenied(key, true);
         },
         0, L""},
    };
    for (const auto& c : texts) {
        SCOPED_TRACE(c.name);
        Fresh();
        c.store();
        WCHAR buffer[8] = {L'?'};
        DWORD type = 99;
        EXPECT_EQ(c.result, ReadRegistryText(key.c_str(), L"v", buffer, 8, &type));
        EXPECT_EQ(c.text, buffer);
        EXPECT_EQ(!c.result ? 99u : c.text == L"%X%" ? REG_EXPAND_SZ : REG_SZ, type);
        ExpectNothingLeftOpen();
    }

    const struct {
        DWORD type;
        std::size_t bytes;
        int result;
    } numbers[] = {{REG_DWORD, 4, 1}, {REG_DWORD, 2, 0}, {REG_QWORD, 8, 0}, {REG_BINARY, 4, 0}};
    for (const auto& c : numbers) {
        Fresh();
        sim::SetRegistryValue(key, L"N", c.type, std::vector<BYTE>(c.bytes, 0x01));
        DWORD value = 7;
        EXPECT_EQ(c.result, ReadRegistryNumber(key.c_str(), L"N", &value)) << c.type << c.bytes;
        EXPECT_EQ(c.result ? 0x01010101u : 7u, value);
    }
}

// Variables by name in any case; a name that is not set stays as written,
// and its closing '%' may open the next one. Only a whole result is taken.
TEST_F(SimulatorTest, EnvironmentStringsExpandWholeOrNotAtAll) {
    const std::pair<const WCHAR*, const WCHAR*> cases[] = {
        {L"%SystemRoot%\\x", L"C:\\Windows\\x"},     {L"%systemdrive%%WINDIR%", L"C:C:\\Windows"},
        {L"%Unset%\\%SystemDrive%", L"%Unset%\\C:"}, {L"100%", L"100%"},
        {L"%SystemRoot%\\System32\\x", L""}, // 21 characters and the terminator
    };
    for (const auto& [source, expanded] : cases) {
        WCHAR buffer[20];
        EXPECT_EQ(*expanded != 0 ? 1 : 0, ExpandEnvironmentText(source, buffer, 20));
        EXPECT_EQ(std::wstring(expanded), buffer) << Narrow(source);
    }
}

// A spooler that does not answer holds the calling thread only, until it is
// released or its process ends; the others and the clock go on meanwhile.
TEST_F(SimulatorTest, AHungSpoolerHoldsOnlyTheCallingThreadUntilReleasedOrEnded) {
    struct Outcome {
        BOOL result = 7;
        DWORD error = 0;
        DWORD returned = 7;
    };
    const struct {
        const char* name;
        std::function<void()> release;
        Outcome expected;
    } cases[] = {
        {"released", [] { sim::ReleaseSpooler(); }, {TRUE, 0, 1}},
        {"process terminated",
         [] {
             HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, sim::Spooler().pid);
             TerminateProcess(process, 1);
             CloseHandle(process);
         },
         {FALSE, RPC_S_CALL_FAILED, 7 /* untouched */}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Fresh();
        sim::AddPrinter(L"Office");
        sim::HangSpooler();
        static Outcome outcome;
        outcome = {};
        HANDLE worker = CreateThread(
            nullptr, 0,
            [](LPVOID) -> DWORD {
                std::vector<BYTE> block(4096);
                DWORD needed = 0;
                outcome.result = EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 2, block.data(), 4096,
                                               &needed, &outcome.returned);
                outcome.error = outcome.result ? 0 : GetLastError();
                return 0;
            },
            nullptr, 0, nullptr);
        const std::uint64_t start = sim::ElapsedMs();
        EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(worker, 5000));
        EXPECT_EQ(5000u, sim::ElapsedMs() - start);
        EXPECT_EQ(1u, sim::HeldSpoolerCalls());
        sim::After(1000, c.release);
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(worker, INFINITE));
        EXPECT_EQ(6000u, sim::ElapsedMs() - start);
        EXPECT_EQ(c.expected.result, outcome.result);
        EXPECT_EQ(c.expected.error, outcome.error);
        EXPECT_EQ(c.expected.returned, outcome.returned);
        CloseHandle(worker);
        EXPECT_EQ(0u, sim::LiveThreads() + sim::HeldSpoolerCalls());
        ExpectNothingLeftOpen();
    }
    // A restarted spooler answers again.
    sim::SetServiceState(L"Spooler", SERVICE_STOPPED);
    sim::SetServiceState(L"Spooler", SERVICE_RUNNING);
    DWORD needed = 0, returned = 0;
    EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 2, nullptr, 0, &needed, &returned);
    EXPECT_NE(0u, needed);
}

// A test that ends with a thread still held must not hang or break the next.
TEST_F(SimulatorTest, ResetEndsThreadsWhereverTheyAreBlocked) {
    sim::AddPrinter(L"Office");
    sim::HangSpooler();
    auto enumerate = [](LPVOID) -> DWORD {
        DWORD needed = 0, returned = 0;
        EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 2, nullptr, 0, &needed, &returned);
        return 0;
    };
    auto wait = [](LPVOID) -> DWORD {
        Sleep(60000);
        return 0;
    };
    HANDLE threads[] = {CreateThread(nullptr, 0, enumerate, nullptr, 0, nullptr),
                        CreateThread(nullptr, 0, wait, nullptr, 0, nullptr),
                        CreateThread(nullptr, 0, wait, nullptr, 0, nullptr)};
    sim::AdvanceMs(10);
    EXPECT_EQ(3u, sim::LiveThreads());
    EXPECT_EQ(1u, sim::HeldSpoolerCalls());
    for (HANDLE thread : threads) {
        CloseHandle(thread);
    }
    Fresh();
    EXPECT_EQ(0u, sim::LiveThreads());
}

} // namespace
} // namespace nimbrel::test
