// Prints the Settings LoadSettings reads from "Nimbrel.ini" beside it, one "Key=value" a line.

#include "app/console.h"
#include "config/settings.h"

using namespace nimbrel;

int wmain() {
    LoadSettings();
    const SettingsRecord& s = g_Settings;
    ConsolePrint(L"CheckIntervalMs=%u\nHangTimeoutMs=%u\nMaxRestartsPerHour=%u\n",
                 s.CheckIntervalMs, s.HangTimeoutMs, s.MaxRestartsPerHour);
    ConsolePrint(L"ClearSpoolOnRecovery=%u\nSpoolDirectory=%s\n", s.ClearSpoolOnRecovery,
                 s.SpoolDirectory);
    ConsolePrint(L"StopTimeoutMs=%u\nStartTimeoutMs=%u\nRestartDelayMs=%u\n", s.StopTimeoutMs,
                 s.StartTimeoutMs, s.RestartDelayMs);
    ConsolePrint(L"EnableQueueCheck=%u\nStuckJobTimeoutMs=%u\nMaxQueueJobs=%u\n",
                 s.EnableQueueCheck, s.StuckJobTimeoutMs, s.MaxQueueJobs);
    ConsolePrint(L"EnablePluginCheck=%u\nPluginIntervalMs=%u\nPluginTimeoutMs=%u\n",
                 s.EnablePluginCheck, s.PluginIntervalMs, s.PluginTimeoutMs);
    ConsolePrint(L"PrinterName=[%s]\nPluginPath=[%s]\n", s.PrinterName, s.PluginPath);
    ConsolePrint(L"EnableScheduledRestart=%u\nClearSpoolOnScheduledRestart=%u\n",
                 s.EnableScheduledRestart, s.ClearSpoolOnScheduledRestart);
    ConsolePrint(L"RestartTime=[%s]\nRestartDays=[%s]\n", s.RestartTime, s.RestartDays);
    return 0;
}
