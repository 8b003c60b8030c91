// Whole runs of the service on the simulated Windows: a fresh service
// process, its settings file, a start at a chosen local time and a stop
// control sent by the simulated service manager later on.
#pragma once

#include "config/settings.h"
#include "health/health.h"
#include "recovery/restart_history.h"
#include "service/schedule.h"
#include "service/service_host.h"
#include "tests/support.h"

#include <string>
#include <utility>
#include <vector>

namespace nimbrel::test {

class ServiceTest : public SimTest {
  protected:
    static constexpr std::uint64_t kSecond = 1000;
    static constexpr std::uint64_t kMinute = 60 * kSecond;
    static constexpr std::uint64_t kHour = 60 * kMinute;
    static constexpr std::uint64_t kDay = 24 * kHour;

    void SetUp() override {
        SimTest::SetUp();
        StartFreshProcess();
        sim::SetStartedByServiceManager(true);
        StartClockAt(2026, 12, 7, 9, 0); // a Monday
    }

    // What a new service process begins with.
    static void StartFreshProcess() {
        Settings = kDefaultSettings;
        LastIssue[0] = 0;
        PendingWatch = {0, 0};
        LastPluginRunTick = 0;
        RestartHistory = {};
        LastScheduledRestartDate = 0;
        CheckPointCounter = 1;
        ServiceStatus = {};
        StopEvent = nullptr;
    }

    // Sets the local (here also UTC) clock; later times are told from it.
    void StartClockAt(int year, int month, int day, int hour, int minute) {
        sim::SetUtc(year, month, day, hour, minute, 0);
        baseElapsedMs_ = sim::ElapsedMs();
        baseUtc_ = sim::UtcNow();
    }

    // "Nimbrel.ini" beside the executable, from key=value pairs, each key in
    // its own section.
    static void WriteIni(std::initializer_list<std::pair<const wchar_t*, std::wstring>> values) {
        std::wstring text;
        for (const wchar_t* section : {L"Monitor", L"Recovery", L"HealthCheck", L"Schedule"}) {
            text += L"[" + std::wstring(section) + L"]\r\n";
            for (const auto& [key, value] : values) {
                if (SectionOf(key) == section) {
                    text += std::wstring(key) + L"=" + value + L"\r\n";
                }
            }
        }
        sim::SetFileText(L"C:\\Program Files\\Nimbrel\\Nimbrel.ini", text);
    }

    // Runs the service until the stop control that comes `stopAfterMs` from
    // now (and, if the service is busy then, until it has finished).
    static int RunServiceFor(std::uint64_t stopAfterMs) {
        sim::After(stopAfterMs, [] { sim::SendControl(SERVICE_CONTROL_STOP); });
        return RunServiceMode();
    }

    // Virtual milliseconds from the start of the clock to the local time
    // `day` days later at hh:mm.
    static std::uint64_t At(std::uint64_t day, std::uint64_t hour, std::uint64_t minute) {
        return day * kDay + hour * kHour + minute * kMinute;
    }

    // Milliseconds since StartClockAt at which an event was written.
    std::uint64_t SinceStart(const sim::Event& event) const {
        return event.elapsedMs - baseElapsedMs_;
    }

    SYSTEMTIME LocalTimeOf(const sim::Event& event) const {
        return sim::FromFileTime(baseUtc_ + SinceStart(event) * 10000);
    }

    static std::vector<std::wstring> EventTexts() {
        std::vector<std::wstring> texts;
        for (const sim::Event& event : sim::Events()) {
            texts.push_back(event.strings.empty() ? L"" : event.strings[0]);
        }
        return texts;
    }

    static std::vector<sim::Event> EventsReading(const std::wstring& text) {
        std::vector<sim::Event> found;
        for (const sim::Event& event : sim::Events()) {
            if (!event.strings.empty() && event.strings[0] == text) {
                found.push_back(event);
            }
        }
        return found;
    }

    static std::vector<sim::Event> ScheduledRestarts() {
        return EventsReading(L"Recovery started: Scheduled nightly restart");
    }

    static std::string Hhmm(const SYSTEMTIME& t) {
        std::string text = std::to_string(100 + t.wHour).substr(1) + ":" +
                           std::to_string(100 + t.wMinute).substr(1);
        return text;
    }

  private:
    static std::wstring SectionOf(const std::wstring& key) {
        static const std::pair<const wchar_t*, const wchar_t*> kSections[] = {
            {L"CheckIntervalMs", L"Monitor"},
            {L"HangTimeoutMs", L"Monitor"},
            {L"MaxRestartsPerHour", L"Monitor"},
            {L"ClearSpoolOnRecovery", L"Monitor"},
            {L"StopTimeoutMs", L"Recovery"},
            {L"StartTimeoutMs", L"Recovery"},
            {L"RestartDelayMs", L"Recovery"},
            {L"EnableQueueCheck", L"HealthCheck"},
            {L"EnablePluginCheck", L"HealthCheck"},
            {L"PluginPath", L"HealthCheck"},
            {L"EnableScheduledRestart", L"Schedule"},
            {L"RestartTime", L"Schedule"},
            {L"RestartDays", L"Schedule"},
        };
        for (const auto& [known, section] : kSections) {
            if (key == known) {
                return section;
            }
        }
        ADD_FAILURE() << "no section known for " << Narrow(key);
        return L"";
    }

    std::uint64_t baseElapsedMs_ = 0;
    std::uint64_t baseUtc_ = 0;
};

} // namespace nimbrel::test
