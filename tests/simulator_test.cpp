// The simulated Windows itself, where the logic's tests rely on it behaving
// as Windows (and Wine) do, and on it catching what they check at their end.
// Its faults, clock and waits are exercised by every other test (the fault
// sweep checks that each fault fired where it was meant to).

#include "tests/support.h"

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

    sim::SetServiceState(L"Spooler", SERVICE_STOPPED);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(FALSE, EnumPrintersW(6, nullptr, 2, nullptr, 0, &needed, &returned));
    EXPECT_EQ(RPC_S_SERVER_UNAVAILABLE, GetLastError());
}

TEST_F(SimulatorTest, ProfileReadingFollowsTheWindowsRules) {
    sim::SetFileText(L"C:\\a.ini",
                     L"; comment\r\n[Monitor]\r\n  checkintervalms = 12abc \r\n"
                     L"Hex=0x10\nNeg=-5\nBig=4294967296\nEmpty=\nQuoted=\"two  words\"\n"
                     L"Inline=abc ; not a comment\n[Other]\nHex=1\n");
    const std::pair<const WCHAR*, UINT> numbers[] = {{L"CheckIntervalMs", 12},
                                                     {L"Hex", 16},
                                                     {L"Neg", static_cast<UINT>(-5)},
                                                     {L"Big", 0},
                                                     {L"Empty", 7},
                                                     {L"Missing", 7}};
    for (const auto& [key, value] : numbers) {
        EXPECT_EQ(value, GetPrivateProfileIntW(L"MONITOR", key, 7, L"C:\\a.ini")) << Narrow(key);
    }
    EXPECT_EQ(7u, GetPrivateProfileIntW(L"Monitor", L"Hex", 7, L"C:\\missing.ini"));
    WCHAR text[8];
    EXPECT_EQ(7u, GetPrivateProfileStringW(L"Monitor", L"Quoted", L"", text, 8, L"C:\\a.ini"));
    EXPECT_EQ(std::wstring(L"two  wo"), text);
    EXPECT_EQ(0u, GetPrivateProfileStringW(L"Monitor", L"Empty", L"dflt", text, 8, L"C:\\a.ini"));
    EXPECT_EQ(4u, GetPrivateProfileStringW(L"Monitor", L"None", L"dflt  ", text, 8, L"C:\\a.ini"));
    EXPECT_EQ(std::wstring(L"dflt"), text);
    WCHAR wide[32];
    GetPrivateProfileStringW(L"Monitor", L"Inline", L"", wide, 32, L"C:\\a.ini");
    EXPECT_EQ(std::wstring(L"abc ; not a comment"), wide);
}

} // namespace
} // namespace nimbrel::test
