#include "config/settings.h"

#include "platform/owned.h"
#include "platform/registry.h"
#include "text/text.h"

namespace nimbrel {

const SettingsRecord kDefaultSettings = {
    10000,    // CheckIntervalMs
    120000,   // HangTimeoutMs
    3,        // MaxRestartsPerHour
    1,        // ClearSpoolOnRecovery
    L"",      // SpoolDirectory: the spooler's own
    L"",      // MetricsFile: none
    30000,    // StopTimeoutMs
    60000,    // StartTimeoutMs
    3000,     // RestartDelayMs
    1,        // EnableQueueCheck
    300000,   // StuckJobTimeoutMs
    0,        // MaxQueueJobs
    60000,    // QueueCheckTimeoutMs
    0,        // EnablePluginCheck
    60000,    // PluginIntervalMs
    30000,    // PluginTimeoutMs
    L"",      // PrinterName
    L"",      // PluginPath
    1,        // EnableScheduledRestart
    0,        // ClearSpoolOnScheduledRestart
    L"02:00", // RestartTime
    L"",      // RestartDays
};

SettingsRecord g_Settings = kDefaultSettings;

bool g_SettingsFileHasUtf8Mark = false;

const WCHAR kUtf8MarkNotice[] =
    L"Nimbrel.ini begins with a UTF-8 byte-order mark, which Windows takes as part of the "
    L"first line: Nimbrel reads that first section itself. Save the file as UTF-16 "
    L"(\"Unicode\") or as UTF-8 without the mark.";

namespace {

constexpr WCHAR kMonitor[] = L"Monitor";
constexpr WCHAR kRecovery[] = L"Recovery";
constexpr WCHAR kHealthCheck[] = L"HealthCheck";
constexpr WCHAR kSchedule[] = L"Schedule";
constexpr WCHAR kFileName[] = L"Nimbrel.ini";
constexpr WCHAR kPolicyKey[] = L"SOFTWARE\\Policies\\Nimbrel";

struct IntegerKey {
    const WCHAR* section;
    const WCHAR* key;
    DWORD SettingsRecord::*field;
    DWORD lowerBound; // 0: none
    bool isSwitch;
};

// In the order they are read.
const IntegerKey kIntegerKeys[] = {
    {kMonitor, L"CheckIntervalMs", &SettingsRecord::CheckIntervalMs, 1000, false},
    {kMonitor, L"HangTimeoutMs", &SettingsRecord::HangTimeoutMs, 5000, false},
    {kMonitor, L"MaxRestartsPerHour", &SettingsRecord::MaxRestartsPerHour, 1, false},
    {kMonitor, L"ClearSpoolOnRecovery", &SettingsRecord::ClearSpoolOnRecovery, 0, true},
    {kRecovery, L"StopTimeoutMs", &SettingsRecord::StopTimeoutMs, 0, false},
    {kRecovery, L"StartTimeoutMs", &SettingsRecord::StartTimeoutMs, 0, false},
    {kRecovery, L"RestartDelayMs", &SettingsRecord::RestartDelayMs, 0, false},
    {kHealthCheck, L"EnableQueueCheck", &SettingsRecord::EnableQueueCheck, 0, true},
    {kHealthCheck, L"StuckJobTimeoutMs", &SettingsRecord::StuckJobTimeoutMs, 10000, false},
    {kHealthCheck, L"MaxQueueJobs", &SettingsRecord::MaxQueueJobs, 0, false},
    {kHealthCheck, L"QueueCheckTimeoutMs", &SettingsRecord::QueueCheckTimeoutMs, 5000, false},
    {kHealthCheck, L"EnablePluginCheck", &SettingsRecord::EnablePluginCheck, 0, true},
    {kHealthCheck, L"PluginIntervalMs", &SettingsRecord::PluginIntervalMs, 5000, false},
    {kHealthCheck, L"PluginTimeoutMs", &SettingsRecord::PluginTimeoutMs, 1000, false},
    {kSchedule, L"EnableScheduledRestart", &SettingsRecord::EnableScheduledRestart, 0, true},
    {kSchedule, L"ClearSpoolOnScheduledRestart", &SettingsRecord::ClearSpoolOnScheduledRestart, 0,
     true},
};

struct TextKey {
    const WCHAR* section;
    const WCHAR* key;
    WCHAR* (*field)(SettingsRecord& settings);
    const WCHAR* (*defaultText)();
    std::size_t capacity;
    bool trim;
};

// In the order they are read; the trimmed ones are trimmed in this order too.
const TextKey kTextKeys[] = {
    {kMonitor, L"SpoolDirectory", [](SettingsRecord& s) { return s.SpoolDirectory; },
     [] { return kDefaultSettings.SpoolDirectory; }, kSpoolDirectoryCapacity, false},
    {kHealthCheck, L"PrinterName", [](SettingsRecord& s) { return s.PrinterName; },
     [] { return kDefaultSettings.PrinterName; }, kPrinterNameCapacity, true},
    {kHealthCheck, L"PluginPath", [](SettingsRecord& s) { return s.PluginPath; },
     [] { return kDefaultSettings.PluginPath; }, kPluginPathCapacity, true},
    {kSchedule, L"RestartTime", [](SettingsRecord& s) { return s.RestartTime; },
     [] { return kDefaultSettings.RestartTime; }, kRestartTimeCapacity, true},
    {kSchedule, L"RestartDays", [](SettingsRecord& s) { return s.RestartDays; },
     [] { return kDefaultSettings.RestartDays; }, kRestartDaysCapacity, true},
    {kMonitor, L"MetricsFile", [](SettingsRecord& s) { return s.MetricsFile; },
     [] { return kDefaultSettings.MetricsFile; }, kMetricsFileCapacity, true},
};

constexpr std::size_t kIntegerCount = sizeof kIntegerKeys / sizeof kIntegerKeys[0];
constexpr std::size_t kTextCount = sizeof kTextKeys / sizeof kTextKeys[0];

// Indexed as the settings are listed: the numbers, then the texts.
SettingSource g_Sources[kIntegerCount + kTextCount];

// Room for the names of one section's keys, each terminated, and a final
// terminator. Names beyond it only lose their "file" label.
constexpr DWORD kKeyListCapacity = 1024;

// Finds "Nimbrel.ini" beside the executable. A path that had to be cut to
// fit its buffer would name some other file, so it is not used at all.
bool GetSettingsFilePath(WCHAR (&iniPath)[MAX_PATH]) {
    WCHAR folder[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return false;
    }
    folder[length] = 0;
    WCHAR* lastBackslash = nullptr;
    for (WCHAR* p = folder; *p; ++p) {
        if (*p == L'\\') {
            lastBackslash = p;
        }
    }
    if (lastBackslash != nullptr) {
        *lastBackslash = 0;
    }
    return FormatWhole(iniPath, MAX_PATH, L"%s\\%s", folder, kFileName);
}

void ReadIntegerKeys(const WCHAR* iniPath) {
    for (const IntegerKey& k : kIntegerKeys) {
        UINT value = GetPrivateProfileIntW(k.section, k.key,
                                           static_cast<INT>(kDefaultSettings.*k.field), iniPath);
        g_Settings.*k.field = k.isSwitch ? (value != 0 ? 1u : 0u) : static_cast<DWORD>(value);
    }
}

void ReadTextKeys(const WCHAR* iniPath) {
    WCHAR scratch[kSpoolDirectoryCapacity];
    for (std::size_t i = 0; i < kTextCount; ++i) {
        const TextKey& k = kTextKeys[i];
        DWORD length = GetPrivateProfileStringW(k.section, k.key, k.defaultText(), scratch,
                                                static_cast<DWORD>(k.capacity), iniPath);
        // A present but empty value keeps the default rather than clearing it.
        if (length != 0) {
            scratch[k.capacity - 1] = 0;
            CopyText(k.field(g_Settings), k.capacity, scratch);
            g_Sources[kIntegerCount + i] = SettingSource::File;
        }
    }
}

bool KeyListed(const WCHAR* list, const WCHAR* key) {
    for (const WCHAR* name = list; *name != 0; name += TextLength(name) + 1) {
        if (EqualsIgnoreAsciiCase(name, key)) {
            return true;
        }
    }
    return false;
}

// A read gives the default both when the key is missing and when it holds
// that very value (or, for a text, when the file cannot be read); the
// section's list of key names tells them apart. A text marked by its read
// keeps the mark only when the file names it.
void MarkSettingsFromFile(const WCHAR* iniPath) {
    const WCHAR* const sections[] = {kMonitor, kRecovery, kHealthCheck, kSchedule};
    WCHAR names[kKeyListCapacity];
    for (const WCHAR* section : sections) {
        names[0] = 0;
        names[1] = 0;
        const DWORD length =
            GetPrivateProfileStringW(section, nullptr, L"", names, kKeyListCapacity, iniPath);
        // Two terminators end the list, even where a failed or cut read left none.
        const DWORD end = length + 1 < kKeyListCapacity ? length : kKeyListCapacity - 2;
        names[end] = 0;
        names[end + 1] = 0;
        for (std::size_t i = 0; i < kIntegerCount; ++i) {
            if (kIntegerKeys[i].section == section && KeyListed(names, kIntegerKeys[i].key)) {
                g_Sources[i] = SettingSource::File;
            }
        }
        for (std::size_t i = 0; i < kTextCount; ++i) {
            if (kTextKeys[i].section == section && !KeyListed(names, kTextKeys[i].key)) {
                g_Sources[kIntegerCount + i] = SettingSource::Default;
            }
        }
    }
}

void ApplyLowerBounds() {
    for (const IntegerKey& k : kIntegerKeys) {
        if (g_Settings.*k.field < k.lowerBound) {
            g_Settings.*k.field = k.lowerBound;
        }
    }
}

// ---- A settings file that begins with a UTF-8 byte-order mark ----------------

// The first section of a settings file lies near its top; what lies beyond
// this many bytes is left to the profile functions.
constexpr std::size_t kHeadCapacity = 8192;
constexpr std::size_t kLineCapacity = 1024;

std::size_t ReadFileHead(const WCHAR* path, char* bytes, std::size_t capacity) {
    const FileHandle file(CreateFileW(path, GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return 0;
    }
    std::size_t total = 0;
    DWORD got = 0;
    while (
        total < capacity &&
        ReadFile(file.get(), bytes + total, static_cast<DWORD>(capacity - total), &got, nullptr) &&
        got > 0) {
        total += got;
    }
    return total;
}

// Decodes one line of UTF-8 (up to, not including, its line feed) into
// `line`, cut to fit; a byte that does not belong becomes U+FFFD. Returns
// where the next line begins.
std::size_t DecodeLine(const char* bytes, std::size_t size, std::size_t at, WCHAR* line) {
    std::size_t used = 0;
    auto put = [&](std::uint32_t c) {
        if constexpr (sizeof(WCHAR) == 2) {
            if (c > 0xFFFF && used + 2 < kLineCapacity) {
                line[used++] = static_cast<WCHAR>(0xD800 + ((c - 0x10000) >> 10));
                line[used++] = static_cast<WCHAR>(0xDC00 + ((c - 0x10000) & 0x3FF));
                return;
            }
        }
        if (used + 1 < kLineCapacity) {
            line[used++] = static_cast<WCHAR>(c);
        }
    };
    while (at < size && bytes[at] != '\n') {
        const unsigned char lead = static_cast<unsigned char>(bytes[at++]);
        const std::size_t extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
        std::uint32_t c = extra == 3 ? lead & 0x07u : extra == 2 ? lead & 0x0Fu : lead & 0x1Fu;
        bool valid = lead < 0x80 || (lead >= 0xC2 && lead <= 0xF4);
        if (lead < 0x80) {
            c = lead;
        }
        for (std::size_t i = 0; valid && i < extra; ++i) {
            const unsigned char next = at < size ? static_cast<unsigned char>(bytes[at]) : 0;
            valid = (next & 0xC0) == 0x80;
            if (valid) {
                c = (c << 6) | (next & 0x3Fu);
                ++at;
            }
        }
        put(valid && c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF) ? c : 0xFFFD);
    }
    line[used] = 0;
    if (used > 0 && line[used - 1] == L'\r') {
        line[used - 1] = 0;
    }
    return at + 1;
}

// The profile functions' reading of a number: blanks, a sign, then decimal
// digits, or hexadecimal ones after "0x"; the first other character ends it
// and the result wraps to 32 bits.
DWORD ProfileNumber(const WCHAR* text) {
    while (*text == L' ' || *text == L'\t') {
        ++text;
    }
    const bool negative = *text == L'-';
    if (*text == L'-' || *text == L'+') {
        ++text;
    }
    DWORD base = 10;
    if (text[0] == L'0' && (text[1] == L'x' || text[1] == L'X')) {
        base = 16;
        text += 2;
    }
    DWORD value = 0;
    for (;; ++text) {
        const WCHAR c = *text;
        DWORD digit = 16;
        if (c >= L'0' && c <= L'9') {
            digit = static_cast<DWORD>(c - L'0');
        } else if (c >= L'a' && c <= L'f') {
            digit = static_cast<DWORD>(c - L'a' + 10);
        } else if (c >= L'A' && c <= L'F') {
            digit = static_cast<DWORD>(c - L'A' + 10);
        }
        if (digit >= base) {
            break;
        }
        value = value * base + digit;
    }
    return negative ? 0u - value : value;
}

// A value as the profile functions give it: blanks around it dropped, then
// one pair of matching quotes.
WCHAR* ProfileValueText(WCHAR* value) {
    TrimBlanks(value);
    const std::size_t length = TextLength(value);
    if (length >= 2 && (value[0] == L'"' || value[0] == L'\'') && value[length - 1] == value[0]) {
        value[length - 1] = 0;
        return value + 1;
    }
    return value;
}

// The first of the section's keys with this name is the one that counts.
void ApplyFirstSectionValue(const WCHAR* section, const WCHAR* key, WCHAR* value,
                            bool (&seen)[kIntegerCount + kTextCount]) {
    for (std::size_t i = 0; i < kIntegerCount + kTextCount; ++i) {
        const bool number = i < kIntegerCount;
        const WCHAR* ownSection =
            number ? kIntegerKeys[i].section : kTextKeys[i - kIntegerCount].section;
        const WCHAR* ownKey = number ? kIntegerKeys[i].key : kTextKeys[i - kIntegerCount].key;
        if (seen[i] || !EqualsIgnoreAsciiCase(section, ownSection) ||
            !EqualsIgnoreAsciiCase(key, ownKey)) {
            continue;
        }
        seen[i] = true;
        const WCHAR* text = ProfileValueText(value);
        if (text[0] == 0) {
            return; // as a present but empty value: the default stands
        }
        if (number) {
            const IntegerKey& k = kIntegerKeys[i];
            const DWORD read = ProfileNumber(text);
            g_Settings.*k.field = k.isSwitch ? (read != 0 ? 1u : 0u) : read;
        } else {
            const TextKey& k = kTextKeys[i - kIntegerCount];
            CopyText(k.field(g_Settings), k.capacity, text);
        }
        g_Sources[i] = SettingSource::File;
        return;
    }
}

// Windows takes a UTF-8 byte-order mark as part of the first line, so a
// section header there is not seen; the settings of that section are read
// here instead, the same way on every platform.
void ReadSectionBehindUtf8Mark(const WCHAR* iniPath) {
    char head[kHeadCapacity];
    const std::size_t size = ReadFileHead(iniPath, head, kHeadCapacity);
    if (size < 3 || static_cast<unsigned char>(head[0]) != 0xEF ||
        static_cast<unsigned char>(head[1]) != 0xBB ||
        static_cast<unsigned char>(head[2]) != 0xBF) {
        return;
    }
    g_SettingsFileHasUtf8Mark = true;
    WCHAR section[kLineCapacity];
    std::size_t at = DecodeLine(head, size, 3, section);
    TrimBlanks(section);
    WCHAR* close = section;
    while (*close != 0 && *close != L']') {
        ++close;
    }
    if (section[0] != L'[' || *close != L']') {
        return; // no section header on the first line: nothing is lost
    }
    *close = 0;
    WCHAR* name = section + 1;
    TrimBlanks(name);
    bool seen[kIntegerCount + kTextCount] = {};
    WCHAR line[kLineCapacity];
    while (at < size) {
        const std::size_t next = DecodeLine(head, size, at, line);
        // A last line cut off by the end of what was read is not used.
        if (next > size && size == kHeadCapacity) {
            break;
        }
        at = next;
        TrimBlanks(line);
        if (line[0] == L'[') {
            break;
        }
        WCHAR* equals = line;
        while (*equals != 0 && *equals != L'=') {
            ++equals;
        }
        if (line[0] == L';' || *equals == 0) {
            continue;
        }
        *equals = 0;
        TrimBlanks(line);
        ApplyFirstSectionValue(name, line, equals + 1, seen);
    }
}

// ---- Group Policy ------------------------------------------------------------------

// A policy value overrides the file: REG_DWORD for numbers and switches,
// REG_SZ for texts, under the section's key. A value of another type or size,
// or a text too long for its setting, is not used at all, so no cut path
// is ever acted on; an empty text, as an empty value in the file, leaves what
// was there.
void ReadPolicies() {
    WCHAR keyPath[64];
    for (std::size_t i = 0; i < kIntegerCount; ++i) {
        const IntegerKey& k = kIntegerKeys[i];
        FormatBounded(keyPath, 64, L"%s\\%s", kPolicyKey, k.section);
        DWORD value = 0;
        if (ReadRegistryNumber(keyPath, k.key, &value)) {
            g_Settings.*k.field = k.isSwitch ? (value != 0 ? 1u : 0u) : value;
            g_Sources[i] = SettingSource::Policy;
        }
    }
    WCHAR scratch[kSpoolDirectoryCapacity];
    for (std::size_t i = 0; i < kTextCount; ++i) {
        const TextKey& k = kTextKeys[i];
        FormatBounded(keyPath, 64, L"%s\\%s", kPolicyKey, k.section);
        DWORD type = REG_NONE;
        if (ReadRegistryText(keyPath, k.key, scratch, k.capacity, &type) && type == REG_SZ &&
            scratch[0] != 0) {
            CopyText(k.field(g_Settings), k.capacity, scratch);
            g_Sources[kIntegerCount + i] = SettingSource::Policy;
        }
    }
}

} // namespace

void LoadSettings() {
    g_Settings = kDefaultSettings;
    g_SettingsFileHasUtf8Mark = false;
    for (std::size_t i = 0; i < kIntegerCount + kTextCount; ++i) {
        g_Sources[i] = SettingSource::Default; // cppcheck-suppress useStlAlgorithm
    }
    // Without the file's own path no file is read; policies still apply.
    WCHAR iniPath[MAX_PATH];
    if (GetSettingsFilePath(iniPath)) {
        ReadIntegerKeys(iniPath);
        ReadTextKeys(iniPath);
        MarkSettingsFromFile(iniPath);
        ReadSectionBehindUtf8Mark(iniPath);
    }
    ReadPolicies();
    for (const TextKey& k : kTextKeys) {
        if (k.trim) {
            TrimBlanks(k.field(g_Settings));
        }
    }
    ApplyLowerBounds();
}

std::size_t SettingCount() {
    return kIntegerCount + kTextCount;
}

SettingEntry DescribeSetting(std::size_t index) {
    if (index < kIntegerCount) {
        const IntegerKey& k = kIntegerKeys[index];
        return {k.section,
                k.key,
                k.isSwitch ? SettingKind::Switch : SettingKind::Number,
                k.lowerBound,
                0,
                g_Settings.*k.field,
                nullptr,
                g_Sources[index]};
    }
    // An index past the last text key names no setting; the last one stands in rather than
    // reading past the table.
    std::size_t text = index - kIntegerCount < kTextCount ? index - kIntegerCount : kTextCount - 1;
    const TextKey& k = kTextKeys[text];
    return {k.section,  k.key, SettingKind::Text,   0,
            k.capacity, 0,     k.field(g_Settings), g_Sources[kIntegerCount + text]};
}

const WCHAR* SettingSourceName(SettingSource source) {
    switch (source) {
    case SettingSource::File:
        return L"file";
    case SettingSource::Policy:
        return L"policy";
    default:
        return L"default";
    }
}

} // namespace nimbrel
