// Simulated files, folders, folder searches and profile (INI) files.

#include "platform/sim/impl.h"

#include <algorithm>

namespace nimbrel::sim {
namespace {

std::wstring StripTrailingBackslashes(std::wstring path) {
    while (path.size() > 3 && path.back() == L'\\') {
        path.pop_back();
    }
    return path;
}

std::wstring ParentOf(const std::wstring& path) {
    std::size_t slash = path.find_last_of(L'\\');
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

std::wstring NameOf(const std::wstring& path) {
    std::size_t slash = path.find_last_of(L'\\');
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

void AddParents(const std::wstring& path) {
    std::wstring parent = ParentOf(path);
    if (parent.size() > 2 && !Exists(parent)) {
        AddFolder(parent);
    }
}

WIN32_FIND_DATAW FindRecord(const std::wstring& name, const File& file) {
    WIN32_FIND_DATAW record{};
    record.dwFileAttributes = file.attributes;
    record.nFileSizeLow = static_cast<DWORD>(file.text.size());
    std::wstring cut = name.substr(0, MAX_PATH - 1);
    cut.copy(record.cFileName, cut.size());
    return record;
}

WIN32_FIND_DATAW RawFindRecord(const File& file) {
    WIN32_FIND_DATAW record = FindRecord(L"", file);
    std::wstring raw = file.listedName.substr(0, MAX_PATH);
    raw.copy(record.cFileName, raw.size());
    return record;
}

// ---- Profile files ----------------------------------------------------------------

bool IsBlank(WCHAR c) {
    return c == L' ' || c == L'\t';
}

std::wstring TrimmedBlanks(const std::wstring& text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && IsBlank(text[begin])) {
        ++begin;
    }
    while (end > begin && IsBlank(text[end - 1])) {
        --end;
    }
    return text.substr(begin, end - begin);
}

struct ProfileEntry {
    std::wstring section; // upper-cased
    std::wstring key;     // as written
    std::wstring value;
};

// The entries of a profile file as the profile functions read it: section
// and key names without regard to case, blanks around names and values
// dropped, one pair of quotes around a value dropped, lines that begin with
// ';' ignored.
std::vector<ProfileEntry> ProfileEntries(const std::wstring& text) {
    std::vector<ProfileEntry> entries;
    std::wstring section;
    bool inSection = false;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find(L'\n', start);
        if (end == std::wstring::npos) {
            end = text.size();
        }
        std::wstring line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == L'\r') {
            line.pop_back();
        }
        line = TrimmedBlanks(line);
        if (line.empty() || line[0] == L';') {
            continue;
        }
        if (line[0] == L'[') {
            std::size_t close = line.find(L']');
            std::wstring name =
                line.substr(1, close == std::wstring::npos ? std::wstring::npos : close - 1);
            section = Upper(TrimmedBlanks(name));
            inSection = true;
            continue;
        }
        std::size_t equals = line.find(L'=');
        if (!inSection || equals == std::wstring::npos) {
            continue;
        }
        std::wstring value = TrimmedBlanks(line.substr(equals + 1));
        if (value.size() >= 2 && (value[0] == L'"' || value[0] == L'\'') &&
            value.back() == value[0]) {
            value = value.substr(1, value.size() - 2);
        }
        entries.push_back({section, TrimmedBlanks(line.substr(0, equals)), value});
    }
    return entries;
}

// The profile functions read a file that begins with the UTF-16LE
// byte-order mark as UTF-16 and any other as ANSI, one character a byte: a
// UTF-8 mark stays in front of the first line.
std::wstring ProfileText(const File& file) {
    if (!file.raw) {
        return file.text;
    }
    const std::string& b = file.bytes;
    std::wstring text;
    if (b.size() >= 2 && static_cast<unsigned char>(b[0]) == 0xFF &&
        static_cast<unsigned char>(b[1]) == 0xFE) {
        for (std::size_t i = 2; i + 1 < b.size(); i += 2) {
            text += static_cast<WCHAR>(static_cast<unsigned char>(b[i]) |
                                       static_cast<unsigned char>(b[i + 1]) << 8);
        }
        return text;
    }
    for (char c : b) {
        text += static_cast<WCHAR>(static_cast<unsigned char>(c));
    }
    return text;
}

std::optional<std::vector<ProfileEntry>> ReadProfile(LPCWSTR fileName) {
    const File* file = fileName != nullptr ? FindFile(fileName) : nullptr;
    if (file == nullptr || (file->attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        Fail(ERROR_FILE_NOT_FOUND);
        return std::nullopt;
    }
    return ProfileEntries(ProfileText(*file));
}

std::optional<std::wstring> ProfileValue(LPCWSTR section, LPCWSTR key, LPCWSTR fileName) {
    if (section == nullptr || key == nullptr) {
        return std::nullopt;
    }
    const auto entries = ReadProfile(fileName);
    if (!entries) {
        return std::nullopt;
    }
    for (const ProfileEntry& entry : *entries) {
        if (entry.section == Upper(section) && Upper(entry.key) == Upper(key)) {
            return entry.value;
        }
    }
    return std::nullopt;
}

// The names of a section's keys, each terminated, then one more terminator;
// cut as Windows cuts it: the last name shortened, two terminators, and the
// size less two returned.
DWORD ProfileKeyList(LPCWSTR section, LPWSTR buffer, DWORD size, LPCWSTR fileName) {
    if (buffer == nullptr || size < 2) {
        return 0;
    }
    std::wstring list;
    const auto entries = section != nullptr ? ReadProfile(fileName) : std::nullopt;
    for (const ProfileEntry& entry : entries ? *entries : std::vector<ProfileEntry>{}) {
        if (entry.section == Upper(section)) {
            list += entry.key + L'\0';
        }
    }
    if (list.size() + 1 > size) {
        list.copy(buffer, size - 2);
        buffer[size - 2] = 0;
        buffer[size - 1] = 0;
        return size - 2;
    }
    list.copy(buffer, list.size());
    buffer[list.size()] = 0;
    if (list.empty()) {
        buffer[1] = 0;
    }
    return static_cast<DWORD>(list.size());
}

DWORD CopyOut(const std::wstring& text, LPWSTR buffer, DWORD size) {
    if (buffer == nullptr || size == 0) {
        return 0;
    }
    std::size_t count = std::min<std::size_t>(text.size(), size - 1);
    text.copy(buffer, count);
    buffer[count] = 0;
    return static_cast<DWORD>(count);
}

// The integer conversion of the profile functions: blanks, an optional sign,
// then decimal digits, or hexadecimal ones after "0x"; the first other
// character ends the number; the result wraps to 32 bits.
UINT ProfileInteger(const std::wstring& text) {
    std::size_t i = 0;
    while (i < text.size() && (IsBlank(text[i]))) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == L'-' || text[i] == L'+')) {
        negative = text[i] == L'-';
        ++i;
    }
    unsigned base = 10;
    if (i + 1 < text.size() && text[i] == L'0' && (text[i + 1] == L'x' || text[i + 1] == L'X')) {
        base = 16;
        i += 2;
    }
    std::uint32_t value = 0;
    for (; i < text.size(); ++i) {
        WCHAR c = text[i];
        unsigned digit;
        if (c >= L'0' && c <= L'9') {
            digit = static_cast<unsigned>(c - L'0');
        } else if (base == 16 && c >= L'a' && c <= L'f') {
            digit = static_cast<unsigned>(c - L'a' + 10);
        } else if (base == 16 && c >= L'A' && c <= L'F') {
            digit = static_cast<unsigned>(c - L'A' + 10);
        } else {
            break;
        }
        value = value * base + digit;
    }
    return negative ? 0u - value : value;
}

} // namespace

void SetModulePath(const std::wstring& path) {
    M().modulePath = path;
}

void SetSystemDirectory(const std::wstring& path) {
    M().systemDirectory = path;
}

void AddFolder(const std::wstring& path) {
    std::wstring clean = StripTrailingBackslashes(path);
    AddParents(clean);
    File folder;
    folder.path = clean;
    folder.attributes = FILE_ATTRIBUTE_DIRECTORY;
    M().files[Upper(clean)] = folder;
}

void AddFile(const std::wstring& path, DWORD attributes) {
    AddParents(path);
    File file;
    file.path = path;
    file.attributes = attributes;
    M().files[Upper(path)] = file;
}

void SetFileText(const std::wstring& path, const std::wstring& text) {
    if (!Exists(path)) {
        AddFile(path);
    }
    FindFile(path)->text = text;
}

void SetFileBytes(const std::wstring& path, const std::string& bytes) {
    if (!Exists(path)) {
        AddFile(path);
    }
    File* file = FindFile(path);
    file->raw = true;
    file->bytes = bytes;
}

File* FindFile(const std::wstring& path) {
    auto it = M().files.find(Upper(StripTrailingBackslashes(path)));
    return it == M().files.end() ? nullptr : &it->second;
}

bool Exists(const std::wstring& path) {
    return FindFile(path) != nullptr;
}

const std::vector<std::wstring>& DeletedFiles() {
    return M().deleted;
}

std::vector<std::wstring> Listing(const std::wstring& folder) {
    std::vector<std::wstring> names;
    const std::wstring parent = Upper(StripTrailingBackslashes(folder));
    for (const auto& [key, file] : M().files) {
        if (ParentOf(key) == parent) {
            names.push_back(NameOf(file.path));
        }
    }
    return names;
}

DWORD ProfileStringDefault(LPCWSTR defaultValue, LPWSTR buffer, DWORD size) {
    std::wstring text = defaultValue ? defaultValue : L"";
    while (!text.empty() && text.back() == L' ') {
        text.pop_back();
    }
    return CopyOut(text, buffer, size);
}

// ---- Operations ----------------------------------------------------------------------

DWORD Sim_GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size) {
    if (module != nullptr || buffer == nullptr) {
        Fail(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const std::wstring& path = M().modulePath;
    if (size == 0) {
        Fail(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (path.size() >= size) {
        // As Windows does: the path cut to fit, terminated, and the size returned.
        path.copy(buffer, size - 1);
        buffer[size - 1] = 0;
        Fail(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    path.copy(buffer, path.size());
    buffer[path.size()] = 0;
    return static_cast<DWORD>(path.size());
}

UINT Sim_GetSystemDirectoryW(LPWSTR buffer, UINT size) {
    const std::wstring& path = M().systemDirectory;
    if (buffer == nullptr || path.size() >= size) {
        return static_cast<UINT>(path.size() + 1); // the size needed, terminator included
    }
    path.copy(buffer, path.size());
    buffer[path.size()] = 0;
    return static_cast<UINT>(path.size());
}

UINT Sim_GetPrivateProfileIntW(LPCWSTR section, LPCWSTR key, INT defaultValue, LPCWSTR fileName) {
    std::optional<std::wstring> value = ProfileValue(section, key, fileName);
    if (!value || value->empty()) {
        return static_cast<UINT>(defaultValue);
    }
    return ProfileInteger(*value);
}

DWORD Sim_GetPrivateProfileStringW(LPCWSTR section, LPCWSTR key, LPCWSTR defaultValue,
                                   LPWSTR buffer, DWORD size, LPCWSTR fileName) {
    if (key == nullptr) {
        return ProfileKeyList(section, buffer, size, fileName);
    }
    std::optional<std::wstring> value = ProfileValue(section, key, fileName);
    if (!value) {
        return ProfileStringDefault(defaultValue, buffer, size);
    }
    return CopyOut(*value, buffer, size);
}

DWORD Sim_GetFileAttributesW(LPCWSTR path) {
    const File* file = path ? FindFile(path) : nullptr;
    if (file == nullptr) {
        Fail(path && Exists(ParentOf(path)) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
        return INVALID_FILE_ATTRIBUTES;
    }
    return file->attributes;
}

HANDLE Sim_FindFirstFileW(LPCWSTR pattern, WIN32_FIND_DATAW* data) {
    if (pattern == nullptr || data == nullptr) {
        Fail(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::wstring text = pattern;
    HandleEntry entry{HandleKind::Find};
    if (text.size() >= 2 && text.compare(text.size() - 2, 2, L"\\*") == 0) {
        std::wstring folderPath = StripTrailingBackslashes(text.substr(0, text.size() - 2));
        const File* folder = FindFile(folderPath);
        if (folder == nullptr || (folder->attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            Fail(ERROR_PATH_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
        entry.found.push_back(FindRecord(L".", *folder));
        entry.found.push_back(FindRecord(L"..", *folder));
        const std::wstring parent = Upper(folderPath);
        for (const auto& [key, file] : M().files) {
            if (ParentOf(key) == parent) {
                entry.found.push_back(file.listedName.empty() ? FindRecord(NameOf(file.path), file)
                                                              : RawFindRecord(file));
            }
        }
    } else if (text.find(L'*') != std::wstring::npos || text.find(L'?') != std::wstring::npos) {
        Fail(ERROR_INVALID_NAME); // other wildcards are not simulated
        return INVALID_HANDLE_VALUE;
    } else {
        const File* file = FindFile(text);
        if (file == nullptr) {
            Fail(ERROR_FILE_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
        entry.found.push_back(FindRecord(NameOf(file->path), *file));
    }
    *data = entry.found[0];
    entry.cursor = 1;
    entry.name = text;
    return NewHandle(entry);
}

BOOL Sim_FindNextFileW(HANDLE search, WIN32_FIND_DATAW* data) {
    HandleEntry* entry = Lookup(search, HandleKind::Find);
    if (entry == nullptr || data == nullptr) {
        Fail(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (entry->cursor >= entry->found.size()) {
        Fail(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    *data = entry->found[entry->cursor++];
    return TRUE;
}

BOOL Sim_FindClose(HANDLE search) {
    return Release(search, HandleKind::Find, "FindClose") ? TRUE : FALSE;
}

BOOL Sim_DeleteFileW(LPCWSTR path) {
    File* file = path ? FindFile(path) : nullptr;
    if (file == nullptr) {
        Fail(path && Exists(ParentOf(path)) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    bool directory = (file->attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    bool readOnly = (file->attributes & FILE_ATTRIBUTE_READONLY) != 0;
    if (directory || readOnly) {
        Fail(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (file->deleteError != 0) {
        Fail(file->deleteError);
        return FALSE;
    }
    M().deleted.push_back(file->path);
    M().files.erase(Upper(StripTrailingBackslashes(path)));
    return TRUE;
}

// ---- Reading and writing files ------------------------------------------------------

std::string FileBytes(const std::wstring& path) {
    const File* file = FindFile(path);
    if (file == nullptr) {
        return {};
    }
    if (file->raw) {
        return file->bytes;
    }
    std::string bytes = "\xFF\xFE";
    for (WCHAR c : file->text) {
        bytes += static_cast<char>(c & 0xFF);
        bytes += static_cast<char>((c >> 8) & 0xFF);
    }
    return bytes;
}

const std::vector<std::wstring>& Moves() {
    return M().moves;
}

HANDLE Sim_CreateFileW(LPCWSTR path, DWORD access, DWORD, LPVOID, DWORD disposition, DWORD,
                       HANDLE) {
    if (path == nullptr || (disposition != OPEN_EXISTING && disposition != CREATE_ALWAYS)) {
        Fail(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    File* file = FindFile(path);
    if (file == nullptr && (disposition == OPEN_EXISTING || !Exists(ParentOf(path)))) {
        Fail(Exists(ParentOf(path)) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    const bool writing = (access & GENERIC_WRITE) != 0;
    if (file != nullptr && ((file->attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
                            (writing && (file->attributes & FILE_ATTRIBUTE_READONLY) != 0))) {
        Fail(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    if (disposition == CREATE_ALWAYS) {
        SetFileBytes(path, "");
    }
    HandleEntry entry{HandleKind::File};
    entry.access = access;
    entry.name = path;
    return NewHandle(entry);
}

BOOL Sim_ReadFile(HANDLE handle, LPVOID bytes, DWORD length, LPDWORD read, LPVOID) {
    HandleEntry* entry = Lookup(handle, HandleKind::File);
    if (entry == nullptr || bytes == nullptr || (entry->access & GENERIC_READ) == 0) {
        Fail(entry == nullptr ? ERROR_INVALID_HANDLE : ERROR_ACCESS_DENIED);
        return FALSE;
    }
    const std::string content = FileBytes(entry->name);
    const std::size_t from = std::min(entry->cursor, content.size());
    const std::size_t count = std::min<std::size_t>(length, content.size() - from);
    content.copy(static_cast<char*>(bytes), count, from);
    entry->cursor = from + count;
    if (read != nullptr) {
        *read = static_cast<DWORD>(count);
    }
    return TRUE;
}

// Writes to a file opened for writing; the program's own standard output is
// handled with the console.
bool WriteSimFile(HANDLE handle, LPCVOID bytes, DWORD length, LPDWORD written) {
    HandleEntry* entry = Lookup(handle, HandleKind::File);
    File* file = entry != nullptr ? FindFile(entry->name) : nullptr;
    if (file == nullptr || (entry->access & GENERIC_WRITE) == 0) {
        Fail(entry == nullptr ? ERROR_INVALID_HANDLE : ERROR_ACCESS_DENIED);
        return false;
    }
    file->bytes.append(static_cast<const char*>(bytes), length);
    if (written != nullptr) {
        *written = length;
    }
    return true;
}

BOOL Sim_FlushFileBuffers(HANDLE handle) {
    HandleEntry* entry = Lookup(handle, HandleKind::File);
    if (entry == nullptr || (entry->access & GENERIC_WRITE) == 0) {
        Fail(entry == nullptr ? ERROR_INVALID_HANDLE : ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return TRUE;
}

// A rename within the machine: the file keeps its contents under the new
// name, replacing a file there only when asked to.
BOOL Sim_MoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags) {
    const File* source = from != nullptr ? FindFile(from) : nullptr;
    if (source == nullptr || to == nullptr) {
        Fail(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    const File* target = FindFile(to);
    if (!Exists(ParentOf(to))) {
        Fail(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    if (target != nullptr && ((flags & MOVEFILE_REPLACE_EXISTING) == 0 ||
                              (target->attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
                              (target->attributes & FILE_ATTRIBUTE_READONLY) != 0)) {
        Fail((flags & MOVEFILE_REPLACE_EXISTING) == 0 ? ERROR_ALREADY_EXISTS : ERROR_ACCESS_DENIED);
        return FALSE;
    }
    File moved = *source;
    moved.path = to;
    M().files.erase(Upper(StripTrailingBackslashes(from)));
    M().files[Upper(StripTrailingBackslashes(to))] = moved;
    M().moves.push_back(std::wstring(from) + L" -> " + to + L", " + std::to_wstring(flags));
    return TRUE;
}

} // namespace nimbrel::sim
