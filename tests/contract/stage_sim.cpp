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
    sim::SetFileText(path, std::wstring(bytes.begin(), bytes.end()));
    if (readOnly) {
        sim::FindFile(path)->attributes |= FILE_ATTRIBUTE_READONLY;
    }
}

bool OnRealWindows() {
    return false;
}

} // namespace nimbrel::contract
