// What a contract row arranges, on the simulator or on the real Windows; what it
// checks goes through the platform seam itself.
#pragma once

#include "platform/platform.h"

#include <string>
#include <vector>

namespace nimbrel::contract {

// A folder and a key below HKEY_LOCAL_MACHINE no one else uses, emptied of
// what earlier rows staged.
constexpr wchar_t kFolder[] = L"C:\\nimbrel-contract";
constexpr wchar_t kKey[] = L"SOFTWARE\\NimbrelContract";
void Fresh();
void StageFolder(const std::wstring& path);
void StageFile(const std::wstring& path, const std::string& bytes, bool readOnly = false);
// A value of kKey stored byte for byte, as a careless writer can store it.
void StageRegistry(const wchar_t* name, DWORD type, const std::vector<BYTE>& bytes);
void StageEnvironment(const wchar_t* name, const wchar_t* value);
bool OnRealWindows();

} // namespace nimbrel::contract
