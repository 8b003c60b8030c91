// The simulated Windows itself, where the logic's tests rely on it behaving
// as Windows (and Wine) do.

#include "tests/support.h"

namespace nimbrel::test {
namespace {

class SimulatorTest : public SimTest {};

TEST_F(SimulatorTest, FaultsFireOnceOrFromTheNthCallOn) {
    sim::FailCall(sim::Op::OpenSCManagerW, ERROR_ACCESS_DENIED, 2);
    SC_HANDLE first = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(nullptr, OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    EXPECT_EQ(ERROR_ACCESS_DENIED, GetLastError());
    SC_HANDLE third = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    EXPECT_NE(nullptr, third);
    CloseServiceHandle(first);
    CloseServiceHandle(third);

    sim::FailCall(sim::Op::HeapAlloc, 0, 1, /*persistent=*/true);
    EXPECT_EQ(nullptr, HeapAlloc(GetProcessHeap(), 0, 8));
    EXPECT_EQ(nullptr, HeapAlloc(GetProcessHeap(), 0, 8));
    EXPECT_EQ(3u, sim::FaultsFired());

    sim::ClearFaults();
    sim::FailNthCall(2);
    void* block = HeapAlloc(GetProcessHeap(), 0, 8);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(FALSE, DeleteFileW(L"C:\\nothing"));
    EXPECT_EQ(ERROR_ACCESS_DENIED, GetLastError()) << "the realistic error of DeleteFileW";
    HeapFree(GetProcessHeap(), 0, block);
}

TEST_F(SimulatorTest, CountsAndChecksHandles) {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(1u, sim::OpenHandles(sim::HandleKind::Event));
    EXPECT_EQ(FALSE, CloseServiceHandle(static_cast<SC_HANDLE>(event)));
    EXPECT_EQ(1u, sim::Misuses().size());
    EXPECT_EQ(TRUE, CloseHandle(event));
    EXPECT_EQ(FALSE, CloseHandle(event));
    EXPECT_EQ(2u, sim::Misuses().size());
    EXPECT_EQ(0u, sim::OpenHandles());
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
    const auto* records = reinterpret_cast<const PRINTER_INFO_2W*>(block.data());
    EXPECT_EQ(std::wstring(L"Front Desk"), records[0].pPrinterName);
    EXPECT_EQ(std::wstring(L"Caf\u00e9 Laser"), records[1].pPrinterName);
    EXPECT_EQ(PRINTER_STATUS_OFFLINE, records[1].Status);
    for (int i = 0; i < 2; ++i) {
        auto text = reinterpret_cast<const BYTE*>(records[i].pPrinterName);
        EXPECT_TRUE(text >= block.data() && text < block.data() + needed) << "inside the block";
    }

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
    EXPECT_EQ(12u, GetPrivateProfileIntW(L"MONITOR", L"CheckIntervalMs", 7, L"C:\\a.ini"));
    EXPECT_EQ(16u, GetPrivateProfileIntW(L"Monitor", L"Hex", 7, L"C:\\a.ini"));
    EXPECT_EQ(static_cast<UINT>(-5), GetPrivateProfileIntW(L"Monitor", L"Neg", 7, L"C:\\a.ini"));
    EXPECT_EQ(0u, GetPrivateProfileIntW(L"Monitor", L"Big", 7, L"C:\\a.ini"));
    EXPECT_EQ(7u, GetPrivateProfileIntW(L"Monitor", L"Empty", 7, L"C:\\a.ini"));
    EXPECT_EQ(7u, GetPrivateProfileIntW(L"Monitor", L"Missing", 7, L"C:\\a.ini"));
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

TEST_F(SimulatorTest, CalendarConversionsAgree) {
    sim::SetUtc(2026, 12, 7, 10, 0, 0);
    SYSTEMTIME now{};
    GetLocalTime(&now);
    EXPECT_EQ(2026, now.wYear);
    EXPECT_EQ(12, now.wMonth);
    EXPECT_EQ(7, now.wDay);
    EXPECT_EQ(1, now.wDayOfWeek) << "7 December 2026 is a Monday";
    EXPECT_EQ(1796637600, _time64(nullptr));
    sim::SetLocalOffsetMinutes(-11 * 60);
    GetLocalTime(&now);
    EXPECT_EQ(6, now.wDay);
    EXPECT_EQ(0, now.wDayOfWeek);
    EXPECT_EQ(23, now.wHour);

    SYSTEMTIME leap{2028, 2, 0, 29, 23, 59, 59, 999};
    FILETIME converted{};
    EXPECT_EQ(TRUE, SystemTimeToFileTime(&leap, &converted));
    SYSTEMTIME back = sim::FromFileTime((std::uint64_t{converted.dwHighDateTime} << 32) |
                                        converted.dwLowDateTime);
    EXPECT_EQ(29, back.wDay);
    EXPECT_EQ(999, back.wMilliseconds);
    SYSTEMTIME invalid{2027, 2, 0, 29, 0, 0, 0, 0};
    EXPECT_EQ(FALSE, SystemTimeToFileTime(&invalid, &converted));
}

TEST_F(SimulatorTest, WaitsMoveTheVirtualClockAndRunWhatFallsDue) {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    sim::After(2500, [event] { SetEvent(event); });
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event, 1000));
    EXPECT_EQ(1000u, sim::ElapsedMs());
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, INFINITE));
    EXPECT_EQ(2500u, sim::ElapsedMs());
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, 0));
    CloseHandle(event);
    const DWORD tick = GetTickCount();
    Sleep(500);
    EXPECT_EQ(tick + 500, GetTickCount());
}

} // namespace
} // namespace nimbrel::test
