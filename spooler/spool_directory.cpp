#include "spooler/spool_directory.h"

#include "config/settings.h"
#include "platform/registry.h"
#include "text/text.h"

namespace nimbrel {
namespace {

constexpr WCHAR kPrintersKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Print\\Printers";
constexpr WCHAR kDefaultSpoolDirectory[] = L"DefaultSpoolDirectory";

// A drive's folder or a share's: a relative path would be taken from the
// current folder, which is no place to delete anything in.
bool IsFullPath(const WCHAR* path) {
    const WCHAR letter = static_cast<WCHAR>(path[0] | 0x20);
    return (letter >= L'a' && letter <= L'z' && path[1] == L':' && path[2] == L'\\') ||
           (path[0] == L'\\' && path[1] == L'\\');
}

// Keeps the backslash of a drive's root ("D:\").
void DropTrailingBackslashes(WCHAR* path) {
    std::size_t length = TextLength(path);
    while (length > 3 && path[length - 1] == L'\\') {
        path[--length] = 0;
    }
}

bool ReadConfiguredFolder(WCHAR* folder, std::size_t capacity) {
    WCHAR stored[MAX_PATH];
    if (!ReadRegistryText(kPrintersKey, kDefaultSpoolDirectory, stored, MAX_PATH, nullptr) ||
        !ExpandEnvironmentText(stored, folder, capacity)) {
        return false;
    }
    DropTrailingBackslashes(folder);
    if (!IsFullPath(folder)) {
        return false;
    }
    const DWORD attributes = GetFileAttributesW(folder);
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    }
    // Only a folder known to be missing sends the spooler to its default; one
    // that cannot be looked at from here may still be the one it uses.
    const DWORD error = GetLastError();
    return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
}

bool SystemSpoolFolder(WCHAR* folder, std::size_t capacity) {
    WCHAR system[MAX_PATH];
    const UINT length = GetSystemDirectoryW(system, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return false;
    }
    return FormatWhole(folder, capacity, L"%s\\spool\\PRINTERS", system);
}

} // namespace

bool GetSpoolDirectoryInEffect(WCHAR* folder, std::size_t capacity) {
    if (g_Settings.SpoolDirectory[0] != 0) {
        CopyText(folder, capacity, g_Settings.SpoolDirectory);
        return true;
    }
    if (ReadConfiguredFolder(folder, capacity) || SystemSpoolFolder(folder, capacity)) {
        return true;
    }
    folder[0] = 0;
    return false;
}

} // namespace nimbrel
