// The simulated registry (HKEY_LOCAL_MACHINE only) and process environment.

#include "platform/sim/impl.h"

#include <algorithm>
#include <cstring>

namespace nimbrel::sim {
namespace {

constexpr BYTE kUndefined = 0xCD; // what a call leaves in a buffer it did not fill

std::wstring ParentKey(const std::wstring& key) {
    std::size_t slash = key.find_last_of(L'\\');
    return slash == std::wstring::npos ? std::wstring() : key.substr(0, slash);
}

// The key a path names: "" is HKEY_LOCAL_MACHINE itself. Empty components
// (a doubled or a leading backslash) name no key.
std::optional<std::wstring> KeyPath(const std::wstring& base, LPCWSTR subKey) {
    std::wstring sub = subKey != nullptr ? subKey : L"";
    if (!sub.empty() && (sub.front() == L'\\' || sub.find(L"\\\\") != std::wstring::npos)) {
        return std::nullopt;
    }
    while (!sub.empty() && sub.back() == L'\\') {
        sub.pop_back();
    }
    if (sub.empty()) {
        return base;
    }
    return Upper(base.empty() ? sub : base + L"\\" + sub);
}

HandleEntry* KeyEntry(HKEY key) {
    return Lookup(key, HandleKind::RegistryKey);
}

// Fills what the caller did not get with bytes it must not read.
void Spoil(LPBYTE data, DWORD size) {
    if (data != nullptr) {
        std::memset(data, kUndefined, size);
    }
}

} // namespace

void ResetRegistryAndEnvironment() {
    SetRegistryText(L"SYSTEM\\CurrentControlSet\\Control\\Print\\Printers",
                    L"DefaultSpoolDirectory", L"C:\\Windows\\system32\\spool\\PRINTERS");
    SetEnvironmentValue(L"SystemRoot", L"C:\\Windows");
    SetEnvironmentValue(L"windir", L"C:\\Windows");
    SetEnvironmentValue(L"SystemDrive", L"C:");
}

void AddRegistryKey(const std::wstring& key) {
    const std::wstring path = Upper(key);
    if (!path.empty() && M().registry.count(path) == 0) {
        AddRegistryKey(ParentKey(path));
        M().registry[path];
    }
}

void SetRegistryValue(const std::wstring& key, const std::wstring& name, DWORD type,
                      std::vector<BYTE> data) {
    AddRegistryKey(key);
    M().registry[Upper(key)].values[Upper(name)] = {type, std::move(data)};
}

void SetRegistryText(const std::wstring& key, const std::wstring& name, const std::wstring& text,
                     DWORD type, bool terminated) {
    // In the caller's wide characters, which are 32 bits outside Windows.
    const std::size_t bytes = (text.size() + (terminated ? 1 : 0)) * sizeof(WCHAR);
    std::vector<BYTE> data(bytes);
    if (bytes != 0) {
        std::memcpy(data.data(), text.c_str(), bytes);
    }
    SetRegistryValue(key, name, type, std::move(data));
}

void SetRegistryNumber(const std::wstring& key, const std::wstring& name, DWORD value) {
    std::vector<BYTE> data(sizeof value);
    std::memcpy(data.data(), &value, sizeof value);
    SetRegistryValue(key, name, REG_DWORD, std::move(data));
}

void RemoveRegistryValue(const std::wstring& key, const std::wstring& name) {
    auto it = M().registry.find(Upper(key));
    if (it != M().registry.end()) {
        it->second.values.erase(Upper(name));
    }
}

void RemoveRegistryKey(const std::wstring& key) {
    const std::wstring path = Upper(key);
    auto& registry = M().registry;
    for (auto it = registry.begin(); it != registry.end();) {
        const bool below = it->first.size() > path.size() &&
                           it->first.compare(0, path.size(), path) == 0 &&
                           it->first[path.size()] == L'\\';
        it = it->first == path || below ? registry.erase(it) : ++it;
    }
}

void SetRegistryKeyDenied(const std::wstring& key, bool denied) {
    AddRegistryKey(key);
    M().registry[Upper(key)].denied = denied;
}

void SetEnvironmentValue(const std::wstring& name, const std::wstring& value) {
    if (value.empty()) {
        M().environment.erase(Upper(name));
    } else {
        M().environment[Upper(name)] = {name, value};
    }
}

LONG RegistryFailure(HKEY* result) {
    if (result != nullptr) {
        *result = nullptr;
    }
    return static_cast<LONG>(M().lastError);
}

// ---- Operations ----------------------------------------------------------------------

LONG Sim_RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD, REGSAM access, HKEY* result) {
    if (result == nullptr) {
        return static_cast<LONG>(ERROR_INVALID_PARAMETER);
    }
    *result = nullptr;
    std::wstring base;
    if (key != HKEY_LOCAL_MACHINE) {
        const HandleEntry* entry = KeyEntry(key);
        if (entry == nullptr) {
            return static_cast<LONG>(ERROR_INVALID_HANDLE);
        }
        base = entry->name;
    }
    const std::optional<std::wstring> path = KeyPath(base, subKey);
    if (!path) {
        return static_cast<LONG>(ERROR_BAD_PATHNAME);
    }
    auto found = M().registry.find(*path);
    if (!path->empty() && found == M().registry.end()) {
        return static_cast<LONG>(ERROR_FILE_NOT_FOUND);
    }
    if (found != M().registry.end() && found->second.denied) {
        return static_cast<LONG>(ERROR_ACCESS_DENIED);
    }
    HandleEntry entry{HandleKind::RegistryKey};
    entry.access = access;
    entry.name = *path;
    *result = static_cast<HKEY>(NewHandle(entry));
    return static_cast<LONG>(ERROR_SUCCESS);
}

// The buffer rules of the real call: without a buffer, the size is told;
// with one too small, ERROR_MORE_DATA, the size needed, and a buffer whose
// contents are undefined; a text comes as it was stored, with or without its
// terminator.
LONG Sim_RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                          LPDWORD size) {
    const HandleEntry* entry = key == HKEY_LOCAL_MACHINE ? nullptr : KeyEntry(key);
    if (key != HKEY_LOCAL_MACHINE && entry == nullptr) {
        return static_cast<LONG>(ERROR_INVALID_HANDLE);
    }
    if (reserved != nullptr || (data != nullptr && size == nullptr)) {
        return static_cast<LONG>(ERROR_INVALID_PARAMETER);
    }
    if (entry != nullptr && (entry->access & KEY_QUERY_VALUE) == 0) {
        return static_cast<LONG>(ERROR_ACCESS_DENIED);
    }
    auto found = M().registry.find(entry != nullptr ? entry->name : std::wstring());
    if (found == M().registry.end()) {
        return static_cast<LONG>(ERROR_FILE_NOT_FOUND);
    }
    auto value = found->second.values.find(Upper(name != nullptr ? name : L""));
    if (value == found->second.values.end()) {
        return static_cast<LONG>(ERROR_FILE_NOT_FOUND);
    }
    const std::vector<BYTE>& bytes = value->second.data;
    if (type != nullptr) {
        *type = value->second.type;
    }
    if (data != nullptr && *size < bytes.size()) {
        Spoil(data, *size);
        *size = static_cast<DWORD>(bytes.size());
        return static_cast<LONG>(ERROR_MORE_DATA);
    }
    if (data != nullptr) {
        std::copy(bytes.begin(), bytes.end(), data);
    }
    if (size != nullptr) {
        *size = static_cast<DWORD>(bytes.size());
    }
    return static_cast<LONG>(ERROR_SUCCESS);
}

LONG Sim_RegCloseKey(HKEY key) {
    if (key == HKEY_LOCAL_MACHINE) {
        return static_cast<LONG>(ERROR_SUCCESS);
    }
    return static_cast<LONG>(Release(key, HandleKind::RegistryKey, "RegCloseKey")
                                 ? ERROR_SUCCESS
                                 : ERROR_INVALID_HANDLE);
}

// "%name%" becomes the variable's value, names compared without regard to
// case. A name that is not set stays as it is written, and its closing '%'
// may open the next name, as Windows reads it.
DWORD Sim_ExpandEnvironmentStringsW(LPCWSTR source, LPWSTR buffer, DWORD size) {
    if (source == nullptr) {
        Fail(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const std::wstring text = source;
    std::wstring out;
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t close = text[i] == L'%' ? text.find(L'%', i + 1) : std::wstring::npos;
        if (close == std::wstring::npos) {
            out += text[i++];
            continue;
        }
        auto variable = M().environment.find(Upper(text.substr(i + 1, close - i - 1)));
        if (variable != M().environment.end() && close > i + 1) {
            out += variable->second.second;
            i = close + 1;
        } else {
            out += text.substr(i, close - i);
            i = close;
        }
    }
    const DWORD needed = static_cast<DWORD>(out.size() + 1);
    if (buffer != nullptr && size >= needed) {
        out.copy(buffer, out.size());
        buffer[out.size()] = 0;
    } else if (buffer != nullptr) {
        Spoil(reinterpret_cast<LPBYTE>(buffer), size * static_cast<DWORD>(sizeof(WCHAR)));
    }
    return needed;
}

} // namespace nimbrel::sim
