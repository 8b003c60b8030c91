// Rows staged on the simulated Windows.

#include "platform/sim/sim.h"
#include "tests/contract/stage.h"

#include <gtest/gtest.h>

namespace nimbrel::contract {

void Fresh() {
    EXPECT_EQ(0u, sim::OpenHandles() + sim::LiveHeapBlocks()) << "left open by the last row";
    sim::Reset();
    sim::AddFolder(kFolder);
}

void StageFolder(const std::wstring& path) {
    sim::AddFolder(path);
}

void StageFile(const std::wstring& path, const std::string& bytes, bool readOnly) {
    sim::SetFileBytes(path, bytes);
    if (readOnly) {
        sim::FindFile(path)->attributes |= FILE_ATTRIBUTE_READONLY;
    }
}

void StageRegistry(const wchar_t* name, DWORD type, const std::vector<BYTE>& bytes) {
    sim::SetRegistryValue(kKey, name, type, bytes);
}

void StageEnvironment(const wchar_t* name, const wchar_t* value) {
    sim::SetEnvironmentValue(name, value);
}

bool OnRealWindows() {
    return false;
}

// What every test checks at its end (nothing open, nothing misused) has to
// be seen in the first place: Windows itself does not count.
TEST(ContractTest, SimulatorCountsHandlesAndSeesMisuse) {
    sim::Reset();
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    void* block = HeapAlloc(GetProcessHeap(), 0, 8);
    EXPECT_EQ(2u, sim::OpenHandles(sim::HandleKind::Event) + sim::LiveHeapBlocks());
    CloseServiceHandle(static_cast<SC_HANDLE>(event));
    EXPECT_EQ(TRUE + FALSE, CloseHandle(event) + CloseHandle(event));
    HeapFree(GetProcessHeap(), 0, block);
    EXPECT_EQ(2u, sim::Misuses().size());
    EXPECT_EQ(0u, sim::OpenHandles() + sim::LiveHeapBlocks());
    sim::ClearMisuses();
}

} // namespace nimbrel::contract
