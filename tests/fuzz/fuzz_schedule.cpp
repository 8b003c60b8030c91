// ParseRestartTime reads any text as swscanf's "%d:%d" does; CheckSchedule, with any RestartDays
// and RestartTime at any local time, restarts exactly when the day is listed and the time has
// come, once a day, as one whole recovery. Input: weekday, hour and minute bytes, then
// RestartDays up to a byte 0x0A, then RestartTime.

#include "config/settings.h"
#include "service/schedule.h"
#include "tests/fuzz/fuzz.h"
#include "text/text.h"

#include <cwchar>

using namespace nimbrel;
using nimbrel::fuzz::Check;

namespace {

void CheckParse(const std::wstring& text) {
    std::int32_t hour = -7, minute = -7;
    int modelHour = -7, modelMinute = -7;
    Check(ParseRestartTime(text.c_str(), &hour, &minute) ==
              std::swscanf(text.c_str(), L"%d:%d", &modelHour, &modelMinute),
          "a count other than swscanf's");
    // swscanf's value for a number of ten digits or more is undefined.
    const auto digit = [](WCHAR c, int) { return c >= L'0' && c <= L'9'; };
    Check(std::search_n(text.begin(), text.end(), 10, 0, digit) != text.end() ||
              (hour == modelHour && minute == modelMinute),
          "values other than swscanf's");
}

bool DayListed(const std::wstring& days, int weekday) {
    const wchar_t* const names[7] = {L"sun", L"mon", L"tue", L"wed", L"thu", L"fri", L"sat"};
    std::size_t start = 0;
    for (std::size_t comma = 0; !days.empty() && comma != std::wstring::npos; start = comma + 1) {
        comma = days.find(L',', start);
        std::wstring piece = fuzz::Trimmed(days.substr(start, comma - start));
        std::transform(piece.begin(), piece.end(), piece.begin(),
                       [](WCHAR c) { return c >= L'A' && c <= L'Z' ? c - L'A' + L'a' : c; });
        if (piece == names[weekday]) {
            return true;
        }
    }
    return days.empty();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in{data, size};
    const int weekday = in.Byte() % 7, hour = in.Byte() % 24, minute = in.Byte() % 60;
    std::wstring days = in.Text('\n');
    std::wstring time = in.Text();
    for (std::wstring* text : {&days, &time}) {
        std::replace(text->begin(), text->end(), L'\0', L'0'); // would end the setting early
        CheckParse(*text);
    }

    sim::Reset();
    sim::SetRecording(false);
    sim::SetUtc(2026, 12, 6 + weekday, hour, minute, 0); // 2026-12-06 is a Sunday
    g_Settings = kDefaultSettings;
    g_LastScheduledRestartDate = 0;
    // The settings as loading leaves them: cut to their capacity, then trimmed.
    const std::wstring loadedDays = fuzz::Trimmed(days.substr(0, kRestartDaysCapacity - 1));
    const std::wstring loadedTime = fuzz::Trimmed(time.substr(0, kRestartTimeCapacity - 1));
    CopyText(g_Settings.RestartDays, kRestartDaysCapacity, loadedDays.c_str());
    CopyText(g_Settings.RestartTime, kRestartTimeCapacity, loadedTime.c_str());
    int targetHour = 2, targetMinute = 0;
    const int converted = std::swscanf(loadedTime.c_str(), L"%d:%d", &targetHour, &targetMinute);
    const long long target = static_cast<long long>(targetHour) * 60 + targetMinute;
    const bool due = DayListed(loadedDays, weekday) && converted >= 1 && target >= 0 &&
                     hour * 60 + minute >= target;

    Check((CheckSchedule() != 0) == due, "the restart ran when not due, or not when due");
    Check(CheckSchedule() == 0, "a second restart on the same day");
    Check(sim::Events().size() == (due ? 2u : 0u), "not one whole recovery per restart");
    fuzz::CheckNothingLeft();
    return 0;
}
