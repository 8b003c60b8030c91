// Rows staged on the real Windows, with the C runtime's file calls and the
// few calls that write (the seam has none, and needs none).

#include "tests/contract/stage.h"

#include <direct.h>
#include <io.h>
#include <stdio.h>
#include <sys/stat.h>

using nimbrel::BOOL;
using nimbrel::BYTE;
using nimbrel::DWORD;
using nimbrel::HKEY;
using nimbrel::LONG;

extern "C" {
__declspec(dllimport) LONG __stdcall RegCreateKeyExW(HKEY, const wchar_t*, DWORD, wchar_t*, DWORD,
                                                     DWORD, void*, HKEY*, DWORD*);
__declspec(dllimport) LONG
    __stdcall RegSetValueExW(HKEY, const wchar_t*, DWORD, DWORD, const BYTE*, DWORD);
__declspec(dllimport) LONG __stdcall RegDeleteKeyW(HKEY, const wchar_t*);
__declspec(dllimport) BOOL __stdcall SetEnvironmentVariableW(const wchar_t*, const wchar_t*);
}

namespace nimbrel::contract {

void Fresh() {
    _wmkdir(kFolder);
    const std::wstring folder = std::wstring(kFolder) + L"\\";
    _wfinddata_t found;
    intptr_t search = _wfindfirst((folder + L"*").c_str(), &found);
    for (int more = search == -1 ? -1 : 0; more == 0; more = _wfindnext(search, &found)) {
        const std::wstring path = folder + found.name;
        _wchmod(path.c_str(), _S_IREAD | _S_IWRITE);
        if ((found.attrib & _A_SUBDIR) == 0) {
            _wremove(path.c_str());
        } else if (found.name[0] != L'.') {
            _wrmdir(path.c_str());
        }
    }
    if (search != -1) {
        _findclose(search);
    }
    ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, kKey);
}

void StageFolder(const std::wstring& path) {
    _wmkdir(path.c_str());
}

void StageFile(const std::wstring& path, const std::string& bytes, bool readOnly) {
    FILE* file = _wfopen(path.c_str(), L"wb");
    if (file != nullptr) {
        fwrite(bytes.data(), 1, bytes.size(), file);
        fclose(file);
    }
    if (readOnly) {
        _wchmod(path.c_str(), _S_IREAD);
    }
}

void StageRegistry(const wchar_t* name, DWORD type, const std::vector<BYTE>& bytes) {
    // Windows adds a terminator the writer left out when the next character
    // is one; letters there keep the value as given.
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
