#include "service/schedule.h"

#include "config/settings.h"
#include "recovery/recovery.h"
#include "service/metrics.h"
#include "service/monitor.h"
#include "text/text.h"

namespace nimbrel {

DWORD g_LastScheduledRestartDate = 0;

namespace {

// Indexed by SYSTEMTIME.wDayOfWeek, 0 being Sunday.
const WCHAR* const kDayNames[7] = {L"Sun", L"Mon", L"Tue", L"Wed", L"Thu", L"Fri", L"Sat"};

DWORD DateKey(const SYSTEMTIME& time) {
    return time.wYear * 10000u + time.wMonth * 100u + time.wDay;
}

// Whether today's name is one of the comma-separated RestartDays. Empty
// pieces are no tokens; a blank piece is a token that names no day.
bool IsRestartDay(WORD dayOfWeek) {
    const WCHAR* today = kDayNames[dayOfWeek % 7];
    WCHAR days[kRestartDaysCapacity];
    CopyText(days, kRestartDaysCapacity, g_Settings.RestartDays);
    WCHAR* piece = days;
    for (;;) {
        WCHAR* end = piece;
        while (*end != 0 && *end != L',') {
            ++end;
        }
        const bool last = *end == 0;
        *end = 0;
        if (end != piece) {
            TrimBlanks(piece);
            if (EqualsIgnoreAsciiCase(piece, today)) {
                return true;
            }
        }
        if (last) {
            return false;
        }
        piece = end + 1;
    }
}

bool IsScanBlank(WCHAR c) {
    return c == L' ' || c == L'\t' || c == L'\n' || c == L'\v' || c == L'\f' || c == L'\r';
}

bool IsDigit(WCHAR c) {
    return c >= L'0' && c <= L'9';
}

// One "%d" conversion: blanks, an optional sign, at least one digit. Moves
// `text` past what it read. Returns 1 on a number, 0 when the text holds
// something else, -1 when nothing but blanks is left. A number beyond the
// 32-bit range saturates at INT32_MAX or INT32_MIN instead of overflowing.
int ScanInteger(const WCHAR*& text, std::int32_t* value) {
    while (IsScanBlank(*text)) {
        ++text;
    }
    if (*text == 0) {
        return -1;
    }
    const WCHAR* p = text;
    bool negative = false;
    if (*p == L'+' || *p == L'-') {
        negative = *p == L'-';
        ++p;
    }
    if (!IsDigit(*p)) {
        return 0;
    }
    constexpr std::int64_t kLimit = std::int64_t{1} << 31; // |INT32_MIN|
    std::int64_t magnitude = 0;
    for (; IsDigit(*p); ++p) {
        if (magnitude <= kLimit) {
            magnitude = magnitude * 10 + (*p - L'0');
        }
    }
    if (magnitude > kLimit) {
        magnitude = kLimit;
    }
    std::int64_t signedValue = negative ? -magnitude : magnitude;
    if (signedValue > INT32_MAX) {
        signedValue = INT32_MAX;
    }
    *value = static_cast<std::int32_t>(signedValue);
    text = p;
    return 1;
}

} // namespace

int ParseRestartTime(const WCHAR* text, std::int32_t* hour, std::int32_t* minute) {
    int first = ScanInteger(text, hour);
    if (first < 1) {
        return first;
    }
    if (*text != L':') {
        return 1;
    }
    ++text;
    return ScanInteger(text, minute) == 1 ? 2 : 1;
}

bool CheckSchedule() {
    if (g_Settings.EnableScheduledRestart == 0) {
        return false;
    }
    SYSTEMTIME now{};
    GetLocalTime(&now);
    if (g_Settings.RestartDays[0] != 0 && !IsRestartDay(now.wDayOfWeek)) {
        return false;
    }
    // Any date but the last restart's is a new day. A clock set back across
    // midnight may give a date a second restart, which harms nothing; a
    // clock set forward by mistake and corrected must not silence the
    // restart until that future date comes round.
    if (DateKey(now) == g_LastScheduledRestartDate) {
        return false;
    }
    std::int32_t hour = 2;
    std::int32_t minute = 0;
    if (ParseRestartTime(g_Settings.RestartTime, &hour, &minute) < 1) {
        return false;
    }
    // Minutes past 59 run over into the hours. A target of a day or more, or
    // below zero, is never reached; 64 bits keep the sum exact.
    const std::int64_t target = std::int64_t{hour} * 60 + minute;
    const std::int64_t minuteOfDay = now.wHour * 60 + now.wMinute;
    if (target < 0 || minuteOfDay < target) {
        return false;
    }
    // Done for the day whatever the outcome: a restart that fails is not
    // repeated every cycle until midnight. A disabled spooler is left alone,
    // and its day counts as done too, so that enabling it later in the day
    // does not bring a restart in working hours.
    if (!g_SpoolerDisabled) {
        CountRecovery(true, RunRecovery(L"Scheduled nightly restart",
                                        SpoolFilesBySwitch(g_Settings.ClearSpoolOnScheduledRestart),
                                        Counting::Uncounted));
    }
    // The date after the recovery: one that ends past midnight counts for the
    // new day.
    SYSTEMTIME after{};
    GetLocalTime(&after);
    g_LastScheduledRestartDate = DateKey(after);
    return true;
}

} // namespace nimbrel
