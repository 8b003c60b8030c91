#include "platform/registry.h"

#include "platform/owned.h"

namespace nimbrel {
namespace {

// Reads `name` of HKEY_LOCAL_MACHINE\`key` into `size` bytes at `data`; on
// success `size` holds the bytes stored. A value larger than the buffer
// fails like any other.
bool QueryValue(const WCHAR* key, const WCHAR* name, DWORD* type, void* data, DWORD* size) {
    HKEY opened = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_QUERY_VALUE, &opened) != ERROR_SUCCESS) {
        return false;
    }
    const KeyHandle handle(opened);
    return RegQueryValueExW(handle.get(), name, nullptr, type, static_cast<LPBYTE>(data), size) ==
           static_cast<LONG>(ERROR_SUCCESS);
}

} // namespace

bool ReadRegistryNumber(const WCHAR* key, const WCHAR* name, DWORD* value) {
    DWORD type = REG_NONE;
    DWORD number = 0;
    DWORD size = sizeof number;
    if (!QueryValue(key, name, &type, &number, &size) || type != REG_DWORD ||
        size != sizeof number) {
        return false;
    }
    *value = number;
    return true;
}

bool ReadRegistryText(const WCHAR* key, const WCHAR* name, WCHAR* buffer, std::size_t capacity,
                      DWORD* type) {
    if (capacity == 0) {
        return false;
    }
    DWORD stored = REG_NONE;
    DWORD size = static_cast<DWORD>(capacity * sizeof(WCHAR));
    const bool read = QueryValue(key, name, &stored, buffer, &size);
    // A text is whole characters; one stored without its terminator gets one
    // here, if there is room for it.
    const std::size_t length = size / sizeof(WCHAR);
    if (!read || (stored != REG_SZ && stored != REG_EXPAND_SZ) || size % sizeof(WCHAR) != 0 ||
        (length == capacity && buffer[length - 1] != 0)) {
        buffer[0] = 0;
        return false;
    }
    if (length < capacity) {
        buffer[length] = 0;
    }
    if (type != nullptr) {
        *type = stored;
    }
    return true;
}

bool ExpandEnvironmentText(const WCHAR* source, WCHAR* buffer, std::size_t capacity) {
    const DWORD needed = ExpandEnvironmentStringsW(source, buffer, static_cast<DWORD>(capacity));
    if (needed == 0 || needed > capacity) {
        if (capacity > 0) {
            buffer[0] = 0;
        }
        return false;
    }
    return true;
}

} // namespace nimbrel
