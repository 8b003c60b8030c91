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
    for (const TextKey& k : kTextKeys) {
        DWORD length = GetPrivateProfileStringW(k.section, k.key, k.defaultText(), scratch,
                                                static_cast<DWORD>(k.capacity), iniPath);
        // A present but empty value keeps the default rather than clearing it.
        if (length != 0) {
            scratch[k.capacity - 1] = 0;
            CopyText(k.field(Settings), k.capacity, scratch);
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
    WCHAR iniPath[MAX_PATH];
    if (!GetSettingsFilePath(iniPath)) {
        return;
    }
    ReadIntegerKeys(iniPath);
    ReadTextKeys(iniPath);
    for (const TextKey& k : kTextKeys) {
        if (k.trim) {
            TrimBlanks(k.field(Settings));
        }
    }
    ApplyLowerBounds();
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
