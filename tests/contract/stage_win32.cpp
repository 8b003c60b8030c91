// Rows staged on the real Windows, with the C runtime's file calls and the
// few calls that write (the seam has none, and needs none).

#include "tests/contract/stage.h"

#include <direct.h>
#include <io.h>
#include <stdio.h>
#include <sys/stat.h>

using nimbrel::DWORD, nimbrel::HKEY, nimbrel::LONG;
extern "C" {
__declspec(dllimport) LONG __stdcall RegCreateKeyExW(HKEY, const wchar_t*, DWORD, wchar_t*, DWORD,
                                                     DWORD, void*, HKEY*, DWORD*);
__declspec(dllimport) LONG
    __stdcall RegSetValueExW(HKEY, const wchar_t*, DWORD, DWORD, const nimbrel::BYTE*, DWORD);
__declspec(dllimport) LONG __stdcall RegDeleteKeyW(HKEY, const wchar_t*);
__declspec(dllimport) int __stdcall SetEnvironmentVariableW(const wchar_t*, const wchar_t*);
}

namespace nimbrel::contract {
namespace {
std::vector<std::wstring> staged; // newest last
}

void Fresh() {
    for (auto it = staged.rbegin(); it != staged.rend(); ++it) {
        _wchmod(it->c_str(), _S_IREAD | _S_IWRITE);
        if (_wremove(it->c_str()) != 0) {
            _wrmdir(it->c_str());
        }
    }
    staged.clear();
    _wmkdir(kFolder);
    ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, kKey);
}

void StageFolder(const std::wstring& path) {
    _wmkdir(path.c_str());
    staged.push_back(path);
}

void StageFile(const std::wstring& path, const std::string& bytes, bool readOnly) {
    FILE* file = _wfopen(path.c_str(), L"wb");
    if (file != nullptr) {
        fwrite(bytes.data(), 1, bytes.size(), file);
        fclose(file);
    }
    staged.push_back(path);
    if (readOnly) {
        _wchmod(path.c_str(), _S_IREAD);
    }
}

void StageRegistry(const wchar_t* name, DWORD type, const std::vector<BYTE>& bytes) {
    // Windows adds a terminator a text was stored without when the next
    // character is one: letters there keep the value as given.
    std::vector<BYTE> data(bytes);
    data.insert(data.end(), 4, 0x41);
    HKEY key = nullptr;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, 0x0002 /* KEY_SET_VALUE */,
                          nullptr, &key, nullptr) == 0) {
        ::RegSetValueExW(key, name, 0, type, data.data(), static_cast<DWORD>(bytes.size()));
        RegCloseKey(key);
    }
}

void StageEnvironment(const wchar_t* name, const wchar_t* value) {
    ::SetEnvironmentVariableW(name, value);
}

bool OnRealWindows() {
    return true;
}

} // namespace nimbrel::contract
