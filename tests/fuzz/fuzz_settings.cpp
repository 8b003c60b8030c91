// LoadSettings over any "Nimbrel.ini": every text ends within its capacity, the trimmed ones
// without outer blanks, every switch is 0 or 1, every bounded number at or above its bound;
// nothing is left open, and loading twice gives the same record. Input: a byte that picks the
// executable's path (ordinary; a settings path of exactly 259 characters; one longer; no
// folder), then the file: UTF-16 after a byte-order mark (FF FE), else one character per byte.

#include "config/settings.h"
#include "tests/fuzz/fuzz.h"

#include <cstring>

using namespace nimbrel;
using nimbrel::fuzz::Check;

namespace {

void CheckText(const WCHAR* field, std::size_t capacity, bool trimmed) {
    const std::wstring text(field, std::find(field, field + capacity, 0));
    Check(text.size() < capacity, "a text not terminated within its capacity");
    Check(!trimmed || fuzz::Trimmed(text) == text, "a blank left at an end of a trimmed text");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in{data, size};
    sim::Reset();
    sim::SetRecording(false);
    // "\Nimbrel.ini" is 12 characters: a folder of 247 gives a path of 259.
    const std::wstring folders[] = {L"C:\\Program Files\\Nimbrel",
                                    L"C:\\" + std::wstring(244, L'n'),
                                    L"C:\\" + std::wstring(245, L'n'), L""};
    const std::wstring& folder = folders[in.Byte() % 4];
    sim::SetModulePath(folder.empty() ? L"Nimbrel.exe" : folder + L"\\Nimbrel.exe");
    std::wstring text;
    if (size >= 3 && data[1] == 0xFF && data[2] == 0xFE) {
        for (std::size_t i = 3; i + 1 < size; i += 2) {
            text += static_cast<WCHAR>(data[i] | data[i + 1] << 8);
        }
    } else {
        text = in.Text();
    }
    const std::wstring ini = (folder.empty() ? L"Nimbrel.exe" : folder) + L"\\Nimbrel.ini";
    if (ini.size() < MAX_PATH) {
        sim::SetFileText(ini, text);
    }

    std::memset(&g_Settings, 0xA5, sizeof g_Settings); // whatever a previous load left
    LoadSettings();
    const SettingsRecord& s = g_Settings;
    CheckText(s.SpoolDirectory, kSpoolDirectoryCapacity, false);
    CheckText(s.PrinterName, kPrinterNameCapacity, true);
    CheckText(s.PluginPath, kPluginPathCapacity, true);
    CheckText(s.RestartTime, kRestartTimeCapacity, true);
    CheckText(s.RestartDays, kRestartDaysCapacity, true);
    for (DWORD value : {s.ClearSpoolOnRecovery, s.EnableQueueCheck, s.EnablePluginCheck,
                        s.EnableScheduledRestart, s.ClearSpoolOnScheduledRestart}) {
        Check(value <= 1, "a switch is neither 0 nor 1");
    }
    Check(s.CheckIntervalMs >= 1000 && s.HangTimeoutMs >= 5000 && s.MaxRestartsPerHour >= 1 &&
              s.StuckJobTimeoutMs >= 10000 && s.PluginIntervalMs >= 5000 &&
              s.PluginTimeoutMs >= 1000,
          "a number below its bound");
    fuzz::CheckNothingLeft();
    const SettingsRecord first = g_Settings;
    LoadSettings();
    Check(std::memcmp(&first, &g_Settings, sizeof first) == 0, "a second load differs");
    return 0;
}
