// The machine a contract row runs on: the simulated Windows natively, the
// real one (Wine) in the Windows build. Only what a row needs arranged is
// here; everything a row checks goes through the platform seam itself.
#pragma once

#include "platform/platform.h"

#include <string>

namespace nimbrel::contract {

// A folder no one else uses, emptied of what earlier rows staged.
constexpr wchar_t kFolder[] = L"C:\\nimbrel-contract";
void Fresh();
void StageFolder(const std::wstring& path);
void StageFile(const std::wstring& path, const std::string& bytes, bool readOnly = false);
bool OnRealWindows();

} // namespace nimbrel::contract
