#include "config/settings.h"

#include "platform/text.h"

namespace nimbrel {

const SettingsRecord kDefaultSettings = {
    10000,    // CheckIntervalMs
    120000,   // HangTimeoutMs
    3,        // MaxRestartsPerHour
    1,        // ClearSpoolOnRecovery
    L"",      // SpoolDirectory: the spooler's own
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

SettingsRecord Settings = kDefaultSettings;

namespace {

constexpr WCHAR kMonitor[] = L"Monitor";
constexpr WCHAR kRecovery[] = L"Recovery";
constexpr WCHAR kHealthCheck[] = L"HealthCheck";
constexpr WCHAR kSchedule[] = L"Schedule";
constexpr WCHAR kFileName[] = L"Nimbrel.ini";

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
};

constexpr std::size_t kIntegerCount = sizeof kIntegerKeys / sizeof kIntegerKeys[0];
constexpr std::size_t kTextCount = sizeof kTextKeys / sizeof kTextKeys[0];

// Indexed as the settings are listed: the numbers, then the texts.
SettingSource Sources[kIntegerCount + kTextCount];

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
    int full = FormatBounded(iniPath, MAX_PATH, L"%s\\%s", folder, kFileName);
    return full > 0 && static_cast<std::size_t>(full) < MAX_PATH;
}

void ReadIntegerKeys(const WCHAR* iniPath) {
    for (const IntegerKey& k : kIntegerKeys) {
        UINT value = GetPrivateProfileIntW(k.section, k.key,
                                           static_cast<INT>(kDefaultSettings.*k.field), iniPath);
        Settings.*k.field = k.isSwitch ? (value != 0 ? 1u : 0u) : static_cast<DWORD>(value);
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
            CopyText(k.field(Settings), k.capacity, scratch);
            Sources[kIntegerCount + i] = SettingSource::File;
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
                Sources[i] = SettingSource::File;
            }
        }
        for (std::size_t i = 0; i < kTextCount; ++i) {
            if (kTextKeys[i].section == section && !KeyListed(names, kTextKeys[i].key)) {
                Sources[kIntegerCount + i] = SettingSource::Default;
            }
        }
    }
}

void ApplyLowerBounds() {
    for (const IntegerKey& k : kIntegerKeys) {
        if (Settings.*k.field < k.lowerBound) {
            Settings.*k.field = k.lowerBound;
        }
    }
}

} // namespace

void LoadSettings() {
    Settings = kDefaultSettings;
    for (SettingSource& source : Sources) {
        source = SettingSource::Default;
    }
    WCHAR iniPath[MAX_PATH];
    if (!GetSettingsFilePath(iniPath)) {
        return;
    }
    ReadIntegerKeys(iniPath);
    ReadTextKeys(iniPath);
    MarkSettingsFromFile(iniPath);
    for (const TextKey& k : kTextKeys) {
        if (k.trim) {
            TrimBlanks(k.field(Settings));
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
                Settings.*k.field,
                nullptr,
                Sources[index]};
    }
    const TextKey& k = kTextKeys[index - kIntegerCount];
    return {k.section,  k.key, SettingKind::Text, 0,
            k.capacity, 0,     k.field(Settings), Sources[index]};
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

void TrimBlanks(WCHAR* text) {
    std::size_t length = TextLength(text);
    while (length > 0 && (text[length - 1] == L' ' || text[length - 1] == L'\t')) {
        text[--length] = 0;
    }
    std::size_t lead = 0;
    while (text[lead] == L' ' || text[lead] == L'\t') {
        ++lead;
    }
    if (lead > 0) {
        for (std::size_t i = 0; i + lead <= length; ++i) {
            text[i] = text[i + lead];
        }
    }
}

} // namespace nimbrel
