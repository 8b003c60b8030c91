// The daily restart's reading of its settings. ParseRestartTime reads any
// text as "%d:%d" does (the C library's swscanf is the model); CheckSchedule,
// with any RestartDays and RestartTime (cut and trimmed as loading does) at
// any local time on the simulated clock, runs the restart exactly when the
// day is listed and the time has come, once a day, and leaves nothing open.
//
// Input: three bytes for the weekday, hour and minute, then RestartDays up
// to a byte 0x0A, then RestartTime, one character per byte.

#include "config/settings.h"
#include "health/health.h"
#include "platform/sim/sim.h"
#include "recovery/restart_history.h"
#include "service/schedule.h"
#include "tests/fuzz/fuzz.h"
#include "text/text.h"

#include <cwchar>

using namespace nimbrel;
using nimbrel::fuzz::Check;

namespace {

const WCHAR* const kDays[7] = {L"Sun", L"Mon", L"Tue", L"Wed", L"Thu", L"Fri", L"Sat"};

bool HasLongNumber(const std::wstring& text) {
    std::size_t run = 0;
    for (WCHAR c : text) {
        run = (c >= L'0' && c <= L'9') ? run + 1 : 0;
        if (run >= 10) {
            return true;
        }
    }
    return false;
}

void CheckParse(const std::wstring& text) {
    std::int32_t hour = -7, minute = -7;
    int modelHour = -7, modelMinute = -7;
    const int result = ParseRestartTime(text.c_str(), &hour, &minute);
    const int model = std::swscanf(text.c_str(), L"%d:%d", &modelHour, &modelMinute);
    Check(result == model, "a count other than swscanf's");
    if (!HasLongNumber(text)) {
        Check(hour == modelHour && minute == modelMinute, "values other than swscanf's");
    }
}

bool SameAsciiFolded(const std::wstring& a, const std::wstring& b) {
    auto fold = [](WCHAR c) { return (c >= L'A' && c <= L'Z') ? c - L'A' + L'a' : c; };
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (fold(a[i]) != fold(b[i])) {
            return false;
        }
    }
    return true;
}

bool DayListed(const std::wstring& days, int weekday) {
    if (days.empty()) {
        return true;
    }
    std::size_t start = 0;
    for (;;) {
        std::size_t comma = days.find(L',', start);
        std::wstring piece =
            days.substr(start, comma == std::wstring::npos ? comma : comma - start);
        if (!piece.empty() && SameAsciiFolded(fuzz::Trimmed(piece), kDays[weekday])) {
            return true;
        }
        if (comma == std::wstring::npos) {
            return false;
        }
        start = comma + 1;
    }
}

// The setting as loading leaves it: cut to its capacity, then trimmed.
std::wstring AsLoaded(const std::wstring& text, std::size_t capacity) {
    return fuzz::Trimmed(text.substr(0, std::min(text.size(), capacity - 1)));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    const int weekday = in.Byte() % 7;
    const int hour = in.Byte() % 24;
    const int minute = in.Byte() % 60;
    std::wstring days = in.Text('\n');
    std::wstring time = in.Text();
    for (std::wstring* text : {&days, &time}) {
        for (WCHAR& c : *text) {
            c = c == 0 ? L'0' : c; // a terminator would end the setting early
        }
    }
    CheckParse(time);
    CheckParse(days);

    sim::Reset();
    sim::SetRecording(false);
    sim::SetUtc(2026, 12, 6 + weekday, hour, minute, 0); // 2026-12-06 is a Sunday
    Settings = kDefaultSettings;
    LastIssue[0] = 0;
    RestartHistory = {};
    LastScheduledRestartDate = 0;
    const std::wstring loadedDays = AsLoaded(days, kRestartDaysCapacity);
    const std::wstring loadedTime = AsLoaded(time, kRestartTimeCapacity);
    CopyText(Settings.RestartDays, kRestartDaysCapacity, loadedDays.c_str());
    CopyText(Settings.RestartTime, kRestartTimeCapacity, loadedTime.c_str());

    int targetHour = 2, targetMinute = 0;
    const int converted = std::swscanf(loadedTime.c_str(), L"%d:%d", &targetHour, &targetMinute);
    const long long target = static_cast<long long>(targetHour) * 60 + targetMinute;
    const bool due = DayListed(loadedDays, weekday) && converted >= 1 && target >= 0 &&
                     hour * 60 + minute >= target;

    Check((CheckSchedule() != 0) == due, "the restart ran when not due, or not when due");
    Check(CheckSchedule() == 0, "a second restart on the same day");
    Check(std::wstring(Settings.RestartDays) == loadedDays, "RestartDays was changed");
    Check(sim::Events().size() == (due ? 2u : 0u), "not one whole recovery per restart");
    Check(RestartHistory.count == 0, "a daily restart was counted against the hourly limit");
    fuzz::CheckNothingLeft();
    return 0;
}
