// LoadSettings over any "Nimbrel.ini" on the simulated Windows: every text
// field ends up terminated within its capacity, every switch 0 or 1, every
// bounded number at or above its bound, the trimmed texts without outer
// blanks; nothing is left open or allocated, and loading twice gives the
// same record.
//
// Input: a byte that picks the executable's path (an ordinary one, one
// whose settings path is exactly 259 characters, one a character longer,
// one without a folder), then the file: UTF-16 after a byte-order mark
// (FF FE), else one character per byte.

#include "config/settings.h"
#include "platform/sim/sim.h"
#include "tests/fuzz/fuzz.h"

#include <cstring>

using namespace nimbrel;
using nimbrel::fuzz::Check;

namespace {

std::wstring ModulePath(std::uint8_t choice) {
    // "\Nimbrel.ini" is 12 characters: a folder of 247 gives a path of 259.
    switch (choice % 4) {
    case 1:
        return L"C:\\" + std::wstring(244, L'n') + L"\\Nimbrel.exe";
    case 2:
        return L"C:\\" + std::wstring(245, L'n') + L"\\Nimbrel.exe";
    case 3:
        return L"Nimbrel.exe";
    default:
        return L"C:\\Program Files\\Nimbrel\\Nimbrel.exe";
    }
}

std::wstring IniPathFor(const std::wstring& module) {
    std::size_t slash = module.rfind(L'\\');
    return (slash == std::wstring::npos ? module : module.substr(0, slash)) + L"\\Nimbrel.ini";
}

std::wstring FileText(fuzz::Input& in, const std::uint8_t* data, std::size_t size) {
    if (size >= 3 && data[1] == 0xFF && data[2] == 0xFE) {
        std::wstring text;
        for (std::size_t i = 3; i + 1 < size; i += 2) {
            text += static_cast<WCHAR>(data[i] | data[i + 1] << 8);
        }
        return text;
    }
    return in.Text();
}

void CheckText(const WCHAR* field, std::size_t capacity, bool trimmed, const char* name) {
    std::size_t length = 0;
    while (length < capacity && field[length] != 0) {
        ++length;
    }
    const bool blankEnd = trimmed && length > 0 && length < capacity &&
                          (fuzz::IsBlank(field[0]) || fuzz::IsBlank(field[length - 1]));
    if (length == capacity || blankEnd) {
        std::fprintf(stderr, "%s: ", name);
        fuzz::Fail(length == capacity ? "text not terminated within its capacity"
                                      : "blank left at an end of a trimmed text");
    }
}

void CheckRecord(const SettingsRecord& s) {
    CheckText(s.SpoolDirectory, kSpoolDirectoryCapacity, false, "SpoolDirectory");
    CheckText(s.PrinterName, kPrinterNameCapacity, true, "PrinterName");
    CheckText(s.PluginPath, kPluginPathCapacity, true, "PluginPath");
    CheckText(s.RestartTime, kRestartTimeCapacity, true, "RestartTime");
    CheckText(s.RestartDays, kRestartDaysCapacity, true, "RestartDays");
    for (DWORD value : {s.ClearSpoolOnRecovery, s.EnableQueueCheck, s.EnablePluginCheck,
                        s.EnableScheduledRestart, s.ClearSpoolOnScheduledRestart}) {
        Check(value == 0 || value == 1, "a switch is neither 0 nor 1");
    }
    Check(s.CheckIntervalMs >= 1000, "CheckIntervalMs below its bound");
    Check(s.HangTimeoutMs >= 5000, "HangTimeoutMs below its bound");
    Check(s.MaxRestartsPerHour >= 1, "MaxRestartsPerHour below its bound");
    Check(s.StuckJobTimeoutMs >= 10000, "StuckJobTimeoutMs below its bound");
    Check(s.PluginIntervalMs >= 5000, "PluginIntervalMs below its bound");
    Check(s.PluginTimeoutMs >= 1000, "PluginTimeoutMs below its bound");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    sim::Reset();
    sim::SetRecording(false);
    const std::wstring module = ModulePath(in.Byte());
    sim::SetModulePath(module);
    const std::wstring ini = IniPathFor(module);
    const std::wstring text = FileText(in, data, size);
    if (ini.size() < MAX_PATH) {
        sim::SetFileText(ini, text);
    }

    std::memset(&Settings, 0xA5, sizeof Settings); // whatever a previous load left
    LoadSettings();
    CheckRecord(Settings);
    fuzz::CheckNothingLeft();
    const SettingsRecord first = Settings;
    LoadSettings();
    Check(std::memcmp(&first, &Settings, sizeof first) == 0, "a second load differs");
    return 0;
}
