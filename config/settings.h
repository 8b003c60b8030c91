// The Settings: every value that tells Nimbrel how often to check, how long
// to wait, what to check and when to restart, read from "Nimbrel.ini" in the
// executable's folder. The file is only ever read, never written.
#pragma once

#include "platform/platform.h"

namespace nimbrel {

constexpr std::size_t kSpoolDirectoryCapacity = 260;
constexpr std::size_t kPrinterNameCapacity = 256;
constexpr std::size_t kPluginPathCapacity = 260;
constexpr std::size_t kRestartTimeCapacity = 8;
constexpr std::size_t kRestartDaysCapacity = 64;
constexpr std::size_t kMetricsFileCapacity = 260;

// Each field bears the name of its key in the file. Switches hold 0 or 1.
struct SettingsRecord {
    // [Monitor]
    DWORD CheckIntervalMs;
    DWORD HangTimeoutMs;
    DWORD MaxRestartsPerHour;
    DWORD ClearSpoolOnRecovery;
    WCHAR SpoolDirectory[kSpoolDirectoryCapacity];
    WCHAR MetricsFile[kMetricsFileCapacity];
    // [Recovery]
    DWORD StopTimeoutMs;
    DWORD StartTimeoutMs;
    DWORD RestartDelayMs;
    // [HealthCheck]
    DWORD EnableQueueCheck;
    DWORD StuckJobTimeoutMs;
    DWORD MaxQueueJobs;
    DWORD QueueCheckTimeoutMs;
    DWORD EnablePluginCheck;
    DWORD PluginIntervalMs;
    DWORD PluginTimeoutMs;
    WCHAR PrinterName[kPrinterNameCapacity];
    WCHAR PluginPath[kPluginPathCapacity];
    // [Schedule]
    DWORD EnableScheduledRestart;
    DWORD ClearSpoolOnScheduledRestart;
    WCHAR RestartTime[kRestartTimeCapacity];
    WCHAR RestartDays[kRestartDaysCapacity];
};

extern const SettingsRecord kDefaultSettings;

// Process-wide; holds the defaults from process start. Written only by
// LoadSettings, before any other thread exists; read freely afterwards.
extern SettingsRecord g_Settings;

// Resets the Settings to their defaults, then reads "Nimbrel.ini" from the
// executable's folder and holds each number to its lower bound. Never fails:
// whatever cannot be read keeps its default.
void LoadSettings();

// Set by LoadSettings when "Nimbrel.ini" begins with a UTF-8 byte-order
// mark. Windows reads the mark as part of the first line, so the section
// header there is not seen and that section's settings are lost; LoadSettings
// reads that section itself, and the status report and the service's start
// say how to save the file instead.
extern bool g_SettingsFileHasUtf8Mark;
extern const WCHAR kUtf8MarkNotice[];

// Where the value in effect came from.
enum class SettingSource { Default, File, Policy };

enum class SettingKind { Number, Switch, Text };

// One setting as the program reads it, with its value in effect: the one
// list that the machine-readable status and the administrative templates
// are checked against, so that a new setting cannot be left out of either.
struct SettingEntry {
    const WCHAR* section;
    const WCHAR* key;
    SettingKind kind;
    DWORD lowerBound;     // numbers: the least value kept, 0 for none
    std::size_t capacity; // texts: wide characters, terminator included
    DWORD number;         // numbers and switches
    const WCHAR* text;    // texts
    SettingSource source;
};

std::size_t SettingCount();
SettingEntry DescribeSetting(std::size_t index); // index below SettingCount()

// "default", "file" or "policy".
const WCHAR* SettingSourceName(SettingSource source);

} // namespace nimbrel
